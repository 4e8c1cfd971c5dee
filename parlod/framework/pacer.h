// The pace of a stream of frames: when each one is due, from its
// timestamp. A burst of frames (a sound server that hands over seconds at
// a time, a queue that filled up) goes out at the pace it was recorded at,
// never all at once.
//
// The schedule is anchored at the first frame and runs a little faster
// than real time (kSpeedup), so that a source whose clock is slightly
// fast never builds up a queue behind it. A frame later than max_late, or
// one whose timestamp jumps, starts a new schedule: what is late goes at
// once, and the rest keeps the pace from there.
//
// Not thread-safe: one per stream, used by the thread that moves it.
#pragma once

#include <chrono>
#include <cstdint>

namespace callfw {

class Pacer {
public:
	using Clock = std::chrono::steady_clock;

	// Frames run this much faster than their timestamps say.
	static constexpr double kSpeedup = 1.005;

	Pacer(unsigned clock_rate, Clock::duration max_late) : rate_(clock_rate), max_late_(max_late) {}

	// When the frame with this timestamp is due; now, or earlier, when it
	// is due already.
	Clock::time_point due(uint32_t timestamp, Clock::time_point now);

	// The next frame starts a new schedule.
	void reset() { anchored_ = false; }

private:
	void anchor(uint32_t timestamp, Clock::time_point now);

	const unsigned rate_;
	const Clock::duration max_late_;
	bool anchored_ = false;
	uint32_t anchor_timestamp_ = 0;
	Clock::time_point anchor_time_;
};

} // namespace callfw
