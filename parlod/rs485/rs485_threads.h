// The intercom endpoint's threads, and what they wait with.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <semaphore>
#include <stop_token>
#include <string>
#include <thread>

namespace rs485 {

using Clock = std::chrono::steady_clock;

// Monotonic whole seconds (the clock of the heartbeat and the test times).
uint64_t monotonic_seconds();

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

// A thread that a part of the endpoint owns: named, at its priority, and
// asked to end through its stop token. A thread that outlived its owner
// would use what is freed next, so one that does not end within the limit
// ends the process, with a core that shows where it hung.
class PartThread {
public:
	static constexpr std::chrono::milliseconds kJoinLimit{ 10000 };

	// name: the thread's name in messages; os_name: at most 15 characters,
	// what ps and top show.
	PartThread(std::string name, const char *os_name, ThreadPriority priority,
		   std::function<void(std::stop_token)> body);
	// Stops and joins it.
	~PartThread();
	PartThread(const PartThread &) = delete;
	PartThread &operator=(const PartThread &) = delete;

	void RequestStop() { m_thread.request_stop(); }
	// Waits for the body to return, at most kJoinLimit.
	void Join();

private:
	const std::string m_name;
	std::binary_semaphore m_done{ 0 }; // released once, as the body returns
	std::jthread m_thread;
};

// Sleeps unless a stop is requested first; true when it was.
bool sleep_for(std::stop_token stop, Clock::duration time);

// Takes the semaphore before the deadline, unless a stop is requested
// first.
bool acquire_until(std::binary_semaphore &semaphore, Clock::time_point deadline, std::stop_token stop);

// "It happened since the last wait": Signal() wakes the wait in progress,
// or the next one, and signals that come before a wait count as one. (A
// binary semaphore would do but for that: releasing one that is free
// already is undefined.)
class Event {
public:
	void Signal()
	{
		{
			std::lock_guard<std::mutex> hold(m_mutex);
			m_signalled = true;
		}
		m_cv.notify_one();
	}

	// True when signalled within the timeout (zero: only a pending
	// signal), and not when a stop is requested first; the signal is
	// consumed either way.
	bool WaitFor(Clock::duration timeout, std::stop_token stop = {})
	{
		std::unique_lock<std::mutex> hold(m_mutex);
		const bool got = m_cv.wait_for(hold, stop, timeout, [this] { return m_signalled; });
		m_signalled = false;
		return got;
	}

	// Drops a pending signal.
	void Reset()
	{
		std::lock_guard<std::mutex> hold(m_mutex);
		m_signalled = false;
	}

private:
	std::mutex m_mutex;
	std::condition_variable_any m_cv;
	bool m_signalled = false;
};

} // namespace rs485
