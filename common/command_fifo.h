// Named pipes that local tools write command lines into: the console's
// command pipe and the intercoms' control FIFO.
//
// A tool opens the pipe, writes whole lines and closes it. The reader has
// to outlive everything else that can happen at the path: the pipe
// removed, or replaced by a file, a directory or another pipe; a tool that
// dies in the middle of a line; several tools at once. CommandFifo keeps
// a pipe at the path and its read end open; CommandLines makes lines of
// what is read, and drops what a writer left unfinished.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <sys/types.h>

class CommandFifo {
public:
	using Clock = std::chrono::steady_clock;

	// What read() found.
	enum class Event {
		Data,        // bytes, count of them
		WriterGone,  // every writer has closed the pipe; the next one is read on
		Replaced,    // the path no longer named the pipe read: there is a pipe there again
		Timeout,     // nothing within the time given
		Interrupted, // interrupt()
		Failed,      // error() says why; the pipe is closed
	};
	// What failed.
	enum class Step { Make, Open, Read };

	// How often a reader looks whether its pipe is still at the path.
	static constexpr std::chrono::milliseconds kCheckInterval{ 1000 };

	explicit CommandFifo(std::string path, mode_t mode = 0660, std::chrono::milliseconds check = kCheckInterval);
	~CommandFifo();
	CommandFifo(const CommandFifo &) = delete;
	CommandFifo &operator=(const CommandFifo &) = delete;

	// Makes the pipe at the path, or takes the one there; whatever else
	// stands there goes first if it can: a file, a link, an empty
	// directory (one with something in it stays, and there is no pipe).
	// The read end opens without waiting for a writer; one open before is
	// closed only after it, so that a pipe that stays never lacks a reader
	// in between. False, with error() and failed_step(), when it cannot.
	bool open();
	void close();
	bool is_open() const { return fd_ >= 0; }
	// Removes the pipe, unless the path names something else by now.
	void remove();

	// Waits for input for at most timeout (negative: without limit).
	// Whenever every writer has gone the read end is opened afresh: the
	// old one would report the end for ever. While idle, and at each
	// writer's end, a pipe removed or replaced at the path is made anew
	// (Replaced, or Failed when it cannot be: then the pipe is closed).
	Event read(char *buf, size_t size, std::chrono::milliseconds timeout, size_t &count);

	// Ends a read() in progress and every later one; safe in a signal
	// handler.
	void interrupt();

	int error() const { return error_; }
	Step failed_step() const { return failed_step_; }
	// The last successful open() made the pipe rather than taking one.
	bool made() const { return made_; }
	const std::string &path() const { return path_; }

private:
	bool still_ours() const;
	Event reopen();
	Event renew();

	const std::string path_;
	const mode_t mode_;
	const std::chrono::milliseconds check_;
	int fd_ = -1;
	int wake_ = -1; // eventfd that interrupt() makes readable
	dev_t dev_ = 0;
	ino_t ino_ = 0;
	int error_ = 0;
	Step failed_step_ = Step::Make;
	bool made_ = false;
	Clock::time_point checked_;
};

// Lines as a pipe's writers send them. Each writer writes whole lines: a
// line that its writer left unfinished when it went, or that waited longer
// than the age limit for its end while more came, is no command and must
// not run into the next writer's line. A line cut between two reads of one
// writer that is still there is one line.
class CommandLines {
public:
	using Clock = std::chrono::steady_clock;

	enum class Ends {
		Newline, // LF ends a line; a CR is part of it
		Any,     // CR, LF or CR LF
	};
	static constexpr std::chrono::seconds kMaxAge{ 1 };

	// max: the longest line taken; a longer one is dropped whole, up to
	// its end.
	CommandLines(size_t max, Ends ends, Clock::duration max_age = kMaxAge);

	// Bytes as they were read at now: line(std::string_view) for each
	// line they complete, too_long() for each line over the limit.
	template <class Line, class TooLong>
	void feed(const char *data, size_t size, Clock::time_point now, Line line, TooLong too_long)
	{
		if (!empty() && now - begun_ > max_age_)
			drop();
		for (size_t i = 0; i < size; i++) {
			const char c = data[i];
			if (after_cr_ && c == '\n') {
				after_cr_ = false; // the second half of CR LF
				continue;
			}
			after_cr_ = false;
			if (empty())
				begun_ = now;
			if (c == '\n' || (c == '\r' && ends_ == Ends::Any)) {
				if (overlong_)
					too_long();
				else
					line(std::string_view(pending_));
				pending_.clear();
				overlong_ = false;
				after_cr_ = c == '\r';
			} else if (pending_.size() < max_)
				pending_ += c;
			else
				overlong_ = true;
		}
	}
	template <class Line> void feed(const char *data, size_t size, Clock::time_point now, Line line)
	{
		feed(data, size, now, line, [] {});
	}

	// The writer has gone (or the pipe it wrote to): what it left
	// unfinished is dropped.
	void writer_gone() { drop(); }
	// Nothing unfinished is held.
	bool empty() const { return pending_.empty() && !overlong_; }

private:
	void drop()
	{
		pending_.clear();
		overlong_ = false;
		after_cr_ = false;
	}

	const size_t max_;
	const Ends ends_;
	const Clock::duration max_age_;
	std::string pending_;
	bool overlong_ = false;
	bool after_cr_ = false;
	Clock::time_point begun_; // when the line in hand began
};
