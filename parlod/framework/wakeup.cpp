#include "wakeup.h"

#include <cerrno>
#include <climits>
#include <ctime>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace callfw {

namespace {

// The kernel compares the word with the ticket before it sleeps, so a ring
// between ticket() and here is never missed. timeout: absolute, on the
// monotonic clock (which is steady_clock's), or none.
long futex_wait(std::atomic<uint32_t> &word, uint32_t ticket, const timespec *timeout)
{
	return syscall(SYS_futex, reinterpret_cast<uint32_t *>(&word), FUTEX_WAIT_BITSET_PRIVATE, ticket, timeout,
		       nullptr, FUTEX_BITSET_MATCH_ANY);
}

} // namespace

void Wakeup::wait(uint32_t ticket)
{
	// The waiter counts itself before it looks, the ringer rings before
	// it looks for waiters: one of them sees the other.
	waiters_.fetch_add(1, std::memory_order_seq_cst);
	while (rings_.load(std::memory_order_seq_cst) == ticket)
		futex_wait(rings_, ticket, nullptr);
	waiters_.fetch_sub(1, std::memory_order_seq_cst);
}

bool Wakeup::wait_until(uint32_t ticket, Clock::time_point deadline)
{
	auto since = deadline.time_since_epoch();
	auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since);
	timespec at{ (time_t)seconds.count(),
		     (long)std::chrono::duration_cast<std::chrono::nanoseconds>(since - seconds).count() };
	bool rung = true;
	waiters_.fetch_add(1, std::memory_order_seq_cst);
	while (rings_.load(std::memory_order_seq_cst) == ticket) {
		if (futex_wait(rings_, ticket, &at) < 0 && errno == ETIMEDOUT) {
			rung = rings_.load(std::memory_order_seq_cst) != ticket;
			break;
		}
	}
	waiters_.fetch_sub(1, std::memory_order_seq_cst);
	return rung;
}

void Wakeup::ring()
{
	rings_.fetch_add(1, std::memory_order_seq_cst);
	if (waiters_.load(std::memory_order_seq_cst))
		syscall(SYS_futex, reinterpret_cast<uint32_t *>(&rings_), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr,
			0);
}

} // namespace callfw
