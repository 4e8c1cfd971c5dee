// Wakes a media thread that waits for something another thread makes: a
// frame, a close. A condition variable would do, but costs more on a path
// that runs fifty times a second each way: the woken thread takes its
// mutex back as if contended, and its next unlock is one more system call.
// Here a wait is one system call, a wake at most one (none when nobody
// waits), and the state it waits for is guarded by whatever lock the
// caller has, released before waiting.
//
//     for (;;) {
//             uint32_t ticket = wakeup.ticket(); // before looking
//             { lock; if (there is something) return it; }
//             wakeup.wait(ticket); // returns at once if rung since
//     }
//
// and whoever changes the state, after releasing the lock: wakeup.ring().
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace callfw {

class Wakeup {
public:
	using Clock = std::chrono::steady_clock;

	uint32_t ticket() const { return rings_.load(std::memory_order_seq_cst); }
	// Until ring() was called after ticket() returned ticket.
	void wait(uint32_t ticket);
	// The same, or until the deadline; false when it passed.
	bool wait_until(uint32_t ticket, Clock::time_point deadline);
	// Wakes every waiter.
	void ring();

private:
	std::atomic<uint32_t> rings_{ 0 };
	std::atomic<uint32_t> waiters_{ 0 };
};

} // namespace callfw
