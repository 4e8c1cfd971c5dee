#include "pacer.h"

namespace callfw {

void Pacer::anchor(uint32_t timestamp, Clock::time_point now)
{
	anchored_ = true;
	anchor_timestamp_ = timestamp;
	anchor_time_ = now;
}

Pacer::Clock::time_point Pacer::due(uint32_t timestamp, Clock::time_point now)
{
	if (!anchored_ || !rate_) {
		anchor(timestamp, now);
		return now;
	}
	// Timestamps wrap: the difference is taken modulo 2^32. One that goes
	// back, or ahead by more than a minute, is a new stream.
	int64_t samples = (int32_t)(timestamp - anchor_timestamp_);
	if (samples < 0 || samples > 60 * (int64_t)rate_) {
		anchor(timestamp, now);
		return now;
	}
	auto offset = std::chrono::duration<double>((double)samples / rate_ / kSpeedup);
	auto at = anchor_time_ + std::chrono::duration_cast<Clock::duration>(offset);
	if (now - at > max_late_) {
		anchor(timestamp, now);
		return now;
	}
	return at;
}

} // namespace callfw
