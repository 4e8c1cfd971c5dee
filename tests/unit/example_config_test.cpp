// The example configuration files that the package installs, read through
// the programs' own readers: a comment must never be taken for a setting,
// and the volume file must set exactly what it shows.
#include <algorithm>
#include <fstream>
#include <list>
#include <gtest/gtest.h>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "cfg.h"
#include "volume_file.h"

namespace {

struct Example {
	std::string name, where;
};

std::vector<Example> examples()
{
	std::ifstream list(KEL_MANUAL_DIR "/examples.list");
	std::vector<Example> all;
	Example e;
	while (list >> e.name >> e.where)
		all.push_back(e);
	return all;
}

std::string path_of(const std::string &name)
{
	return std::string(KEL_MANUAL_DIR "/examples/") + name;
}

std::string slurp(const std::string &path)
{
	std::ifstream f(path);
	std::stringstream s;
	s << f.rdbuf();
	return s.str();
}

class ExampleConfig : public ::testing::Test {
protected:
	void TearDown() override { cfg_cache_drop(); }
	// The cache keeps the path it was given by reference.
	std::list<std::string> paths;
};

TEST_F(ExampleConfig, EveryFileIsShipped)
{
	std::vector<std::string> names;
	for (const Example &e : examples())
		names.push_back(e.name);
	for (const char *name : { "kelvgd.conf", "device.conf", "disp.conf", "parlod.conf", "parlod_vol.conf" })
		EXPECT_NE(std::find(names.begin(), names.end(), name), names.end()) << name;
}

// Each commented setting "#key=value" reads as the key "#key", which no
// program asks for; the key itself stays absent, so its default holds.
TEST_F(ExampleConfig, CommentsSetNothing)
{
	const std::regex commented("^#([A-Za-z_][A-Za-z0-9_]*)=(.*)$");
	for (const Example &e : examples()) {
		if (e.name == "parlod_vol.conf")
			continue; // a reader of its own, below
		const std::string &path = paths.emplace_back(path_of(e.name));
		std::ifstream f(path);
		std::string line;
		int settings = 0;
		while (std::getline(f, line)) {
			ASSERT_TRUE(line.empty() || line[0] == '#') << e.name << ": " << line;
			std::smatch m;
			if (std::regex_match(line, m, commented)) {
				settings++;
				EXPECT_EQ(cfg_read_str(path.c_str(), m[1].str().c_str(), nullptr), nullptr)
					<< e.name << ": " << m[1];
				EXPECT_STREQ(cfg_read_str(path.c_str(), ("#" + m[1].str()).c_str(), nullptr),
					     m[2].str().c_str());
			}
		}
		EXPECT_GT(settings, 0) << e.name << " shows no setting";
		// Everything the reader found is a comment.
		cfg_read_str(path.c_str(), "", nullptr);
		for (cfg_entry *c = cfg_file_start(path.c_str()); c && c->cfile; c = c->next) {
			if (c->key && path == c->cfile) {
				EXPECT_TRUE(!*c->key || c->key[0] == '#') << e.name << ": " << c->key;
			}
		}
	}
}

TEST_F(ExampleConfig, VolumeFileSetsWhatItShows)
{
	const std::string text = slurp(path_of("parlod_vol.conf"));
	for (const char *key : { "mic", "spk" }) {
		StoredVolume v = find_stored_volume(text, key);
		EXPECT_TRUE(v.found) << key;
		EXPECT_EQ(v.error, "") << key;
		EXPECT_EQ(v.percent, 100u) << key;
		// Found on its own line, not in a comment.
		EXPECT_NE(text.find(std::string("\n") + key + "=100\n"), std::string::npos) << key;
		EXPECT_EQ(text.find(key), text.find(std::string("\n") + key + "=") + 1) << key;
	}
}

TEST(StoredVolume, ReadsAsTheConsoleAlwaysHas)
{
	EXPECT_FALSE(find_stored_volume("spk=120\n", "mic").found);
	EXPECT_EQ(find_stored_volume("spk=120\n", "spk").percent, 120u);
	EXPECT_EQ(find_stored_volume("mic=0x64", "mic").percent, 100u);
	EXPECT_EQ(find_stored_volume("mic=150", "mic").percent, 150u);
	EXPECT_EQ(find_stored_volume("mic=151", "mic").error, "\nmic volume out of range");
	EXPECT_EQ(find_stored_volume("mic=49", "mic").error, "\nmic volume out of range");
	EXPECT_EQ(find_stored_volume("mic=abc", "mic").error, "\nInvalid mic volume");
	EXPECT_EQ(find_stored_volume("mic", "mic").error, "\nInvalid format of /etc/parlod_vol.conf");
	// The search stops inside a longer word, and takes the next "=".
	EXPECT_EQ(find_stored_volume("# microphone\nmic=80\n", "mic").percent, 80u);
	// A commented line is a setting too: why the example has no comments.
	EXPECT_EQ(find_stored_volume("#mic=60\nmic=90\n", "mic").percent, 60u);
	// The text ends at a NUL.
	EXPECT_FALSE(find_stored_volume(std::string("x\0mic=80", 8), "mic").found);
}

} // namespace
