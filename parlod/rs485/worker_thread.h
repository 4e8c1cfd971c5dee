// The intercom endpoint's own threads: named, with a priority, ended by
// their owner's stop event and joined within a time limit.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace rs485 {

enum class ThreadPriority {
	Normal,
	Highest, // above every ordinary thread: real-time where the system allows it
};

// The calling thread's scheduling, to be put back with restore_priority().
struct SavedPriority {
	int policy = -1;
	int rt_priority = 0;
	int nice = 0;
};

SavedPriority set_thread_priority(ThreadPriority priority);
void restore_priority(const SavedPriority &saved);

class WorkerThread {
public:
	// name: the thread's name in messages; os_name: at most 15 characters,
	// what ps and top show.
	WorkerThread(std::string name, const char *os_name, ThreadPriority priority, std::function<void()> body);
	// The thread must have been joined.
	~WorkerThread();
	WorkerThread(const WorkerThread &) = delete;
	WorkerThread &operator=(const WorkerThread &) = delete;

	const std::string &name() const { return name_; }

	// Waits for the body to return; false, with the thread still running,
	// when it does not within the limit.
	bool join_for(std::chrono::milliseconds limit);

private:
	const std::string name_;
	std::mutex mutex_;
	std::condition_variable cv_;
	bool done_ = false;
	std::thread thread_;
};

} // namespace rs485
