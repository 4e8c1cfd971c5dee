// The jitter buffer of a device that plays a call's audio: 16-bit samples
// between a producer that delivers frames as they arrive (from a network:
// with jitter, and with a clock of its own) and a device that takes them
// at its own steady pace (a sound card, a bus).
//
// It holds what the arrival jitter needs and no more. Each take needs its
// samples by the time it comes; its slack is how long before that the
// frame holding its last sample came. Over a window of takes (half a
// second) the lowest slack is compared with the target: half the spread
// of the recent arrival times (each against its timestamp), a little
// safety, and more for a while after the device found the buffer short;
// at most max_frames - 1 frames. Then:
// - a slack of two frames or more above the target is a standing queue (it
//   forms at call start, or behind a network hiccup): whole frames go at
//   once;
// - one frame above: the takes play a sample or two fewer per frame until
//   they reach into the next frame;
// - below the target: a sample or two more per frame until they stay a
//   frame behind.
// So the delay stays within a frame of what the jitter needs, and a peer
// whose clock differs from the device's by a fraction of a percent loses
// no frame: the difference is made up a sample at a time. When the device
// finds too little, it gets what there is and silence for the rest, and
// playing resumes once a take's worth is there again.
//
// A take that the buffer cannot speed up (it holds enough for the take,
// but not the sample or two more) plays at the normal pace. A put larger
// than the room a buffer of frames would leave (a peer that sends a fifth
// of a second at a time) gets room for its own length; one larger than
// half the ring keeps only its newest samples.
//
// Threads: put() on the producer's thread, take() on the device's (a
// sound server's callback); a mutex of its own, held briefly by each, and
// never while calling anything else. put() waits only while the buffer is
// full, which a producer keeping real time never finds; whatever the sizes
// of puts and takes, a device that keeps taking ends the wait.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <mutex>
#include <vector>

namespace callfw {

class PlayoutBuffer {
public:
	using Clock = std::chrono::steady_clock;

	struct Stats {
		uint64_t taken = 0;     // samples handed to the device
		uint64_t silence = 0;   // of them, silence for want of audio
		uint64_t dropped = 0;   // samples drained a frame at a time, or too late
		uint64_t adjusted = 0;  // samples played one fewer or one more
		uint64_t underruns = 0; // times the device found too little
	};

	PlayoutBuffer(unsigned clock_rate, unsigned frame_samples, unsigned max_frames = 3);
	PlayoutBuffer(const PlayoutBuffer &) = delete;
	PlayoutBuffer &operator=(const PlayoutBuffer &) = delete;

	// Appends samples that arrived (from outside) at arrival, the first of
	// them at timestamp (in samples of the clock). Samples that have waited
	// elsewhere longer than the buffer would ever hold them (a device that
	// stalled, a reader that fell behind) are too late and go at once.
	// Waits while the buffer is full; false, without waiting, once closed.
	bool put(const int16_t *samples, size_t count, uint32_t timestamp, Clock::time_point arrival,
		 Clock::time_point now = Clock::now());
	// Whether a put of count samples would go in now without waiting for
	// room (or return at once, closed). A single thread that plays both
	// sides asks before each put.
	bool fits(size_t count) const;
	// Fills out with count samples, which the device plays from now on.
	// Never waits.
	void take(int16_t *out, size_t count, Clock::time_point now = Clock::now());
	// Ends a waiting put() and every later one.
	void close();

	size_t level() const;
	// The slack the takes are kept at, in samples.
	size_t target() const;
	Stats stats() const;

private:
	int64_t samples_us(int64_t samples) const;
	// How long before a take the put came that its last sample belongs
	// to, and where in that put the sample lies.
	struct Slack {
		int64_t us = std::numeric_limits<int64_t>::max();
		long from_start = 0; // samples of the put up to it
		long to_end = 0;     // samples of the put after it
	};
	Slack slack_locked(uint64_t last, int64_t now_us) const;
	size_t room_locked(size_t count) const;
	bool fits_locked(size_t count) const;
	void play_locked(int16_t *out, size_t count, Clock::time_point now);
	void evaluate_locked();
	void drop_locked(size_t count);
	void pop_locked(int16_t *out, size_t count);

	const unsigned rate_, frame_, max_frames_;
	const size_t capacity_; // of the ring
	const size_t full_;     // beyond what the device takes at once
	const size_t max_put_;  // samples of a put kept, and of a take waited for

	mutable std::mutex mutex_;
	std::condition_variable room_;
	bool closed_ = false;

	std::vector<int16_t> ring_;
	size_t head_ = 0, size_ = 0;
	size_t largest_take_ = 0;
	bool playing_ = false;

	// Where each put's samples begin in the stream, and when they came.
	struct Arrival {
		uint64_t start;
		int64_t at_us;
	};
	std::deque<Arrival> arrivals_;
	uint64_t written_ = 0, consumed_ = 0; // samples, since the start

	// Transit times (arrival minus timestamp, in samples) of the recent
	// puts: their spread is the jitter.
	std::vector<int64_t> transits_, sorted_;
	size_t next_transit_ = 0;
	bool have_last_ = false;
	int64_t last_transit_ = 0;

	// Over windows of takes, the lowest slack: a take needs its samples
	// by the time it comes, and the put they belong to came that long
	// before. Above the target by a frame, the takes can reach a put
	// further; below it, they must stay a put behind.
	int64_t target_us_;
	int64_t boost_us_ = 0; // after underruns
	size_t taken_in_window_ = 0;
	Slack low_;
	bool underrun_in_window_ = false;
	long adjust_ = 0;         // samples still to play fewer (> 0) or more (< 0)
	std::vector<int16_t> scratch_;

	Stats stats_;
};

} // namespace callfw
