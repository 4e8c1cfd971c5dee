// A scratch directory per test, used as KEL_ROOT, removed at the end.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

class TmpDir {
public:
	TmpDir()
	{
		char tmpl[] = "/tmp/kel-unit-XXXXXX";
		path_ = mkdtemp(tmpl);
		std::filesystem::create_directories(path_ + "/etc");
		setenv("KEL_ROOT", path_.c_str(), 1);
	}
	~TmpDir()
	{
		unsetenv("KEL_ROOT");
		std::filesystem::remove_all(path_);
	}
	TmpDir(const TmpDir &) = delete;
	TmpDir &operator=(const TmpDir &) = delete;

	std::string path(const std::string &rel) const { return path_ + "/" + rel; }

	void write(const std::string &rel, const std::string &text) const
	{
		std::ofstream(path(rel), std::ios::binary) << text;
	}

	std::string read(const std::string &rel) const
	{
		std::ifstream f(path(rel), std::ios::binary);
		std::stringstream s;
		s << f.rdbuf();
		return s.str();
	}

	// Names in etc/ other than the given one: leftovers of a rewrite.
	int others_in_etc(const std::string &keep) const
	{
		int n = 0;
		for (auto &e : std::filesystem::directory_iterator(path_ + "/etc"))
			n += e.path().filename() != keep;
		return n;
	}

private:
	std::string path_;
};
