// What the sub-agent knows of the terminal, kept up to date from the
// daemon's records and the files it reads, and the notifications that the
// changes call for.
#pragma once

#include <ctime>
#include <string>
#include <sys/types.h>
#include <vector>

#include "mib_tree.h"
#include "record_pipe.h"
#include "watch.h"

namespace kelsnmp {

class Terminal {
public:
	explicit Terminal(Clock::time_point start) : watch_(start) {}

	const TerminalView &view() const { return view_; }

	// What the pipe's reader handed over at now.
	std::vector<Event> take(const PipeItem &item, Clock::time_point now);
	// Reads the files again where they have changed; the daemon's silence.
	std::vector<Event> refresh(Clock::time_point now);

	// For refresh(): the states file's text and when it was written, or
	// none with the error (-ENOENT: there is none).
	std::vector<Event> states(int error, const std::string &text, Clock::time_point written);

private:
	struct FileId {
		dev_t dev = 0;
		ino_t ino = 0;
		struct timespec mtime = {};
		off_t size = -1;
		bool operator==(const FileId &o) const
		{
			return dev == o.dev && ino == o.ino && mtime.tv_sec == o.mtime.tv_sec &&
			       mtime.tv_nsec == o.mtime.tv_nsec && size == o.size;
		}
	};
	static FileId identify(const char *path);
	void malformed(const std::string &why);
	void read_descriptions();

	TerminalView view_;
	Watch watch_;
	// How the record in hand, handed over piece by piece, was counted.
	enum class Counted { Nothing, Taken, Malformed };

	bool said_malformed_ = false; // since the last good record
	Counted counted_ = Counted::Nothing;
	std::string applied_; // the text of the record in hand, once served
	FileId device_, description_;
	bool read_once_ = false;
};

} // namespace kelsnmp
