// A message that a fault or a stranger can repeat many times a second (line
// noise, a line that takes nothing, requests from a host that may not
// call): the first is said whole, the rest are counted and their number said
// at most once an interval, so that a flood on a bus or a network does not
// become a flood in the journal.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <string>

namespace callfw {

class RepeatedReport {
public:
	using Clock = std::chrono::steady_clock;

	// kind: the message's own words (without its line break), which the
	// count is said under: "\n<kind>: <n> more in <s> s".
	RepeatedReport(std::string kind, std::chrono::seconds interval = std::chrono::seconds(5));

	// One more occurrence: true when it is to be said now, whole; false
	// when it is only counted.
	bool occurred(Clock::time_point now = Clock::now());
	// The count of those only counted, once an interval has passed since
	// the last thing said; "" while there is nothing to say yet.
	std::string summary(Clock::time_point now = Clock::now());

private:
	const std::string kind_;
	const std::chrono::seconds interval_;
	std::mutex mutex_; // any thread may report
	bool said_ = false;
	Clock::time_point said_at_;
	unsigned long counted_ = 0;
};

} // namespace callfw
