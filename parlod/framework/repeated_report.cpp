#include "repeated_report.h"

namespace callfw {

RepeatedReport::RepeatedReport(std::string kind, std::chrono::seconds interval)
	: kind_(std::move(kind)), interval_(interval)
{
}

bool RepeatedReport::occurred(Clock::time_point now)
{
	std::lock_guard<std::mutex> hold(mutex_);
	// Said whole when nothing was said for a whole interval and nothing
	// waits to be counted; else counted, for summary().
	if (!said_ || (counted_ == 0 && now - said_at_ >= interval_)) {
		said_ = true;
		said_at_ = now;
		return true;
	}
	counted_++;
	return false;
}

std::string RepeatedReport::summary(Clock::time_point now)
{
	std::lock_guard<std::mutex> hold(mutex_);
	if (!counted_ || now - said_at_ < interval_)
		return "";
	const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now - said_at_).count();
	std::string text = "\n" + kind_ + ": " + std::to_string(counted_) + " more in " + std::to_string(seconds) + " s";
	counted_ = 0;
	said_at_ = now;
	return text;
}

} // namespace callfw
