// The pipe through which the monitoring daemon sends its state records.
// The sub-agent makes it and reads it on a thread of its own, at once:
// the daemon writes no record while the last one is unread.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "command_fifo.h"

namespace kelsnmp {

struct PipeItem {
	enum class Kind {
		Record,     // text: a record, from its device type line on
		Fragment,   // text: lines that no device type line began
		WriterGone, // the daemon closed the pipe
	};
	Kind kind;
	std::string text;
	// The record handed over before, with lines that came late.
	bool again = false;
	// A line too long for any record was in it, and is left out.
	bool overlong = false;
	// The record has ended: no line comes to it any more.
	bool final = false;
};

// Records from the lines of one writer: each begins at its device type
// line and ends at the next, or when the writer goes. At each pause of the
// writer the record so far is handed over, and again, final, at its end.
class RecordAssembler {
public:
	// Past this, a record or fragment is no record of the daemon's and is
	// not kept growing.
	static constexpr size_t kMaxRecord = 16384;

	void line(std::string_view line);
	void overlong();
	// The writer paused: what it wrote so far.
	void pause(std::vector<PipeItem> &out);
	// The writer has gone: what it left.
	void end(std::vector<PipeItem> &out);
	// Whether anything waits for the pause that ends it.
	bool pending() const { return dirty_ || !done_.empty() || !fragment_.empty() || fragment_overlong_; }

private:
	void append(std::string &to, std::string_view line);
	void finish(std::vector<PipeItem> &out);
	void drain(std::vector<PipeItem> &out);

	std::vector<PipeItem> done_; // records that the next began
	std::string record_;
	bool in_record_ = false;
	bool dirty_ = false;   // lines not handed over yet
	bool handed_ = false;  // handed over before
	bool overlong_ = false;
	std::string fragment_;
	bool fragment_overlong_ = false;
};

class RecordPipe {
public:
	using Item = PipeItem;

	// The daemon writes a record in a few pieces, at once: a pause this
	// long ends it.
	static constexpr std::chrono::milliseconds kPause{ 100 };
	// Longer than any line of a record.
	static constexpr size_t kMaxLine = 1024;
	// Items not yet taken, at most: a main loop that stalls loses the
	// oldest.
	static constexpr size_t kMaxItems = 64;

	// wake is called on the reading thread whenever items are ready.
	RecordPipe(std::string path, std::function<void()> wake);
	// Stops the thread and removes the pipe.
	~RecordPipe();
	RecordPipe(const RecordPipe &) = delete;
	RecordPipe &operator=(const RecordPipe &) = delete;

	// Makes the pipe and starts reading; false, with a message, when the
	// pipe cannot be made.
	bool start();
	void stop();
	std::vector<Item> take();

private:
	void run();
	void hand(Item item);
	bool pause(std::chrono::milliseconds d);
	void said_failure();

	CommandFifo fifo_;
	const std::function<void()> wake_;
	std::mutex lock_; // guards items_ and stopping_
	std::condition_variable stopped_;
	std::vector<Item> items_;
	bool stopping_ = false;
	bool failing_ = false; // reading thread only: a failure said and not over
	std::thread thread_;   // owned: started by start(), joined by stop()
};

} // namespace kelsnmp
