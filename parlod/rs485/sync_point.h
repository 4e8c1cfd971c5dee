// The waiting primitives of the intercom endpoint's threads.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace rs485 {

using Clock = std::chrono::steady_clock;

// An auto-reset event: signal() wakes one wait; signals that come before
// a wait count as one.
class SyncPoint {
public:
	void signal()
	{
		{
			std::lock_guard<std::mutex> hold(mutex_);
			signalled_ = true;
		}
		cv_.notify_one();
	}

	// True when signalled within the timeout (zero: only a pending signal);
	// the signal is consumed either way.
	template <class Rep, class Period> bool wait(std::chrono::duration<Rep, Period> timeout)
	{
		std::unique_lock<std::mutex> hold(mutex_);
		bool got = cv_.wait_for(hold, timeout, [this] { return signalled_; });
		signalled_ = false;
		return got;
	}

	// Drops a pending signal.
	void reset() { wait(std::chrono::milliseconds(0)); }

private:
	std::mutex mutex_;
	std::condition_variable cv_;
	bool signalled_ = false;
};

// A stop request that stays set once given: every later check sees it.
class StopEvent {
public:
	void signal()
	{
		{
			std::lock_guard<std::mutex> hold(mutex_);
			stopped_ = true;
		}
		cv_.notify_all();
	}

	bool is_set()
	{
		std::lock_guard<std::mutex> hold(mutex_);
		return stopped_;
	}

	// Sleeps for the timeout unless stopped first; true when stopped.
	template <class Rep, class Period> bool wait(std::chrono::duration<Rep, Period> timeout)
	{
		std::unique_lock<std::mutex> hold(mutex_);
		return cv_.wait_for(hold, timeout, [this] { return stopped_; });
	}

private:
	std::mutex mutex_;
	std::condition_variable cv_;
	bool stopped_ = false;
};

// The one call slot of the buses: held by the intercom call or by a running
// self-test. Giving it back when it is free changes nothing.
class CallSlot {
public:
	bool try_take()
	{
		std::lock_guard<std::mutex> hold(mutex_);
		if (taken_)
			return false;
		taken_ = true;
		return true;
	}

	// Waits until the slot is free or the deadline passes, or until
	// cancelled() says so (checked whenever the slot changes hands and
	// after cancel_waits()).
	template <class Cancelled> bool take_until(Clock::time_point deadline, Cancelled cancelled)
	{
		std::unique_lock<std::mutex> hold(mutex_);
		for (;;) {
			if (cancelled())
				return false;
			if (!taken_) {
				taken_ = true;
				return true;
			}
			if (cv_.wait_until(hold, deadline) == std::cv_status::timeout && taken_)
				return false;
		}
	}

	void give()
	{
		{
			std::lock_guard<std::mutex> hold(mutex_);
			taken_ = false;
		}
		cv_.notify_all();
	}

	// Wakes every waiter to look at its cancel condition again.
	void cancel_waits()
	{
		{
			std::lock_guard<std::mutex> hold(mutex_);
		}
		cv_.notify_all();
	}

	bool is_taken()
	{
		std::lock_guard<std::mutex> hold(mutex_);
		return taken_;
	}

private:
	std::mutex mutex_;
	std::condition_variable cv_;
	bool taken_ = false;
};

} // namespace rs485
