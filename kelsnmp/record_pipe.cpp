#include "record_pipe.h"

#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <utility>

#include "snmp_record.h"

namespace kelsnmp {

void RecordAssembler::append(std::string &to, std::string_view line)
{
	if (to.size() + line.size() + 1 > kMaxRecord) {
		(&to == &record_ ? overlong_ : fragment_overlong_) = true;
		return;
	}
	to.append(line).push_back('\n');
}

void RecordAssembler::line(std::string_view line)
{
	if (line.starts_with(SNMP_KEY_DEVTYPE "=")) {
		finish(done_);
		in_record_ = true;
		append(record_, line);
	} else if (in_record_)
		append(record_, line);
	else
		append(fragment_, line);
	dirty_ = in_record_;
}

void RecordAssembler::overlong()
{
	if (in_record_)
		dirty_ = overlong_ = true;
	else
		fragment_overlong_ = true;
}

void RecordAssembler::finish(std::vector<PipeItem> &out)
{
	if (in_record_)
		out.push_back({ PipeItem::Kind::Record, std::move(record_), handed_, overlong_, true });
	record_.clear();
	in_record_ = dirty_ = handed_ = overlong_ = false;
}

// What is over: records that the next began, lines out of any record.
void RecordAssembler::drain(std::vector<PipeItem> &out)
{
	for (PipeItem &item : done_)
		out.push_back(std::move(item));
	done_.clear();
	if (!fragment_.empty() || fragment_overlong_) {
		out.push_back({ PipeItem::Kind::Fragment, std::move(fragment_), false, fragment_overlong_, true });
		fragment_.clear();
		fragment_overlong_ = false;
	}
}

void RecordAssembler::pause(std::vector<PipeItem> &out)
{
	drain(out);
	if (in_record_ && dirty_) {
		out.push_back({ PipeItem::Kind::Record, record_, handed_, overlong_, false });
		handed_ = true;
		dirty_ = false;
	}
}

void RecordAssembler::end(std::vector<PipeItem> &out)
{
	drain(out);
	finish(out);
}

RecordPipe::RecordPipe(std::string path, std::function<void()> wake)
	: fifo_(std::move(path), 0600), wake_(std::move(wake))
{
}

RecordPipe::~RecordPipe()
{
	stop();
	fifo_.remove();
}

bool RecordPipe::start()
{
	if (!fifo_.open()) {
		fprintf(stderr, "Cannot %s %s: %s\n", fifo_.failed_step() == CommandFifo::Step::Make ? "make" : "open",
			fifo_.path().c_str(), strerror(fifo_.error()));
		return false;
	}
	thread_ = std::thread([this] {
		pthread_setname_np(pthread_self(), "kelsnmp-pipe");
		run();
	});
	return true;
}

void RecordPipe::stop()
{
	if (!thread_.joinable())
		return;
	{
		std::lock_guard<std::mutex> hold(lock_);
		stopping_ = true;
	}
	stopped_.notify_all();
	fifo_.interrupt();
	thread_.join();
}

std::vector<PipeItem> RecordPipe::take()
{
	std::lock_guard<std::mutex> hold(lock_);
	return std::exchange(items_, {});
}

void RecordPipe::hand(Item item)
{
	{
		std::lock_guard<std::mutex> hold(lock_);
		if (items_.size() == kMaxItems)
			items_.erase(items_.begin());
		items_.push_back(std::move(item));
	}
	wake_();
}

// Waits, unless the thread is to stop; false then.
bool RecordPipe::pause(std::chrono::milliseconds d)
{
	std::unique_lock<std::mutex> hold(lock_);
	return !stopped_.wait_for(hold, d, [this] { return stopping_; });
}

void RecordPipe::said_failure()
{
	if (!failing_)
		fprintf(stderr, "Cannot read %s: %s; trying again\n", fifo_.path().c_str(), strerror(fifo_.error()));
	failing_ = true;
}

void RecordPipe::run()
{
	RecordAssembler records;
	CommandLines lines(kMaxLine, CommandLines::Ends::Newline);
	std::vector<Item> ready;
	char buf[4096];

	for (;;) {
		bool failed = false;
		if (!fifo_.is_open() && !fifo_.open()) {
			said_failure();
			if (!pause(std::chrono::seconds(1)))
				return;
			continue;
		}
		size_t n = 0;
		const auto wait = records.pending() ? kPause : std::chrono::milliseconds(-1);
		switch (fifo_.read(buf, sizeof(buf), wait, n)) {
		case CommandFifo::Event::Data:
			failing_ = false;
			lines.feed(
				buf, n, CommandLines::Clock::now(), [&](std::string_view line) { records.line(line); },
				[&] { records.overlong(); });
			break;
		case CommandFifo::Event::Timeout:
			records.pause(ready);
			break;
		case CommandFifo::Event::WriterGone:
		case CommandFifo::Event::Replaced:
			lines.writer_gone();
			records.end(ready);
			ready.push_back({ Item::Kind::WriterGone, {} });
			break;
		case CommandFifo::Event::Interrupted:
			return;
		case CommandFifo::Event::Failed:
			lines.writer_gone();
			records.end(ready);
			ready.push_back({ Item::Kind::WriterGone, {} });
			said_failure();
			failed = true;
			break;
		}
		for (Item &item : ready)
			hand(std::move(item));
		ready.clear();
		if (!pause(failed ? std::chrono::seconds(1) : std::chrono::milliseconds(0)))
			return;
	}
}

} // namespace kelsnmp
