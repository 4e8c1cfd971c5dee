#include "playout_buffer.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace callfw {

namespace {

// Arrivals that the jitter is judged by.
constexpr size_t kTransits = 64;

// Plays in samples of out the count_in samples of in, evenly spread:
// linear interpolation, for a difference of a sample or two.
void resample(const int16_t *in, size_t count_in, int16_t *out, size_t count_out)
{
	if (count_out == 1 || count_in == 1) {
		std::fill(out, out + count_out, in[0]);
		return;
	}
	const uint64_t span_in = count_in - 1, span_out = count_out - 1;
	for (size_t i = 0; i < count_out; i++) {
		uint64_t at = i * span_in;
		size_t j = (size_t)(at / span_out);
		int64_t frac = (int64_t)(at % span_out);
		int64_t a = in[j], b = j + 1 < count_in ? in[j + 1] : a;
		out[i] = (int16_t)(a + (b - a) * frac / (int64_t)span_out);
	}
}

int64_t to_us(PlayoutBuffer::Clock::time_point t)
{
	return std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count();
}

// Samples of the clock in us microseconds, without overflowing however
// long the machine has been up.
int64_t to_samples(int64_t us, unsigned rate)
{
	return us / 1000000 * (int64_t)rate + us % 1000000 * (int64_t)rate / 1000000;
}

} // namespace

PlayoutBuffer::PlayoutBuffer(unsigned clock_rate, unsigned frame_samples, unsigned max_frames)
	: rate_(std::max(clock_rate, 1u)), frame_(std::max(frame_samples, 1u)), max_frames_(std::max(max_frames, 1u)),
	  // A second: more than the buffer is ever let to hold.
	  capacity_(std::max<size_t>(rate_, (size_t)(max_frames_ + 3) * frame_ * 2)),
	  full_((size_t)(max_frames_ + 3) * frame_), max_put_(capacity_ / 2), ring_(capacity_)
{
	target_us_ = samples_us(frame_ / 8);
	transits_.reserve(kTransits);
}

int64_t PlayoutBuffer::samples_us(int64_t samples) const
{
	return samples * 1000000 / (int64_t)rate_;
}

size_t PlayoutBuffer::room_locked(size_t count) const
{
	// Beyond the target and what the device takes at once, room for a
	// network hiccup's burst to be drained; a put of more than a frame
	// (a peer that sends a fifth of a second at a time) takes its own
	// length in place of the frame's.
	return std::min(full_ - frame_ + std::max<size_t>(count, frame_) + largest_take_, capacity_);
}

bool PlayoutBuffer::fits_locked(size_t count) const
{
	return closed_ || size_ + count <= room_locked(count);
}

bool PlayoutBuffer::fits(size_t count) const
{
	std::lock_guard<std::mutex> hold(mutex_);
	return fits_locked(std::min(count, max_put_));
}

bool PlayoutBuffer::put(const int16_t *samples, size_t count, uint32_t timestamp, Clock::time_point arrival,
			Clock::time_point now)
{
	std::unique_lock<std::mutex> hold(mutex_);
	if (closed_)
		return false;
	if (now - arrival > std::chrono::microseconds(samples_us((int64_t)max_frames_ * frame_))) {
		stats_.dropped += count;
		return true;
	}
	if (count > max_put_) { // only the newest fit
		stats_.dropped += count - max_put_;
		samples += count - max_put_;
		timestamp += (uint32_t)(count - max_put_);
		count = max_put_;
	}
	// A put never asks for more room than an empty buffer has, and a
	// buffer too full for it is one the device plays from (see take()):
	// so the wait ends while the device takes, whatever the sizes.
	room_.wait(hold, [&] { return fits_locked(count); });
	if (closed_ || count == 0)
		return !closed_;

	// How late this came against its timestamp. A jump (a new source, a
	// timestamp that restarted) makes what came before no measure of the
	// jitter.
	const int64_t at = to_us(arrival);
	int64_t transit = to_samples(at, rate_) - (int64_t)timestamp;
	if (have_last_ && std::abs(transit - last_transit_) > (int64_t)rate_ / 2)
		transits_.clear();
	if (transits_.size() < kTransits)
		transits_.push_back(transit);
	else
		transits_[next_transit_] = transit;
	next_transit_ = (next_transit_ + 1) % kTransits;
	have_last_ = true;
	last_transit_ = transit;

	arrivals_.push_back({ written_, at });
	written_ += count;
	size_t tail = (head_ + size_) % capacity_;
	size_t first = std::min(count, capacity_ - tail);
	std::memcpy(&ring_[tail], samples, first * sizeof(int16_t));
	std::memcpy(&ring_[0], samples + first, (count - first) * sizeof(int16_t));
	size_ += count;
	return true;
}

void PlayoutBuffer::pop_locked(int16_t *out, size_t count)
{
	if (out) {
		size_t first = std::min(count, capacity_ - head_);
		std::memcpy(out, &ring_[head_], first * sizeof(int16_t));
		std::memcpy(out + first, &ring_[0], (count - first) * sizeof(int16_t));
	}
	head_ = (head_ + count) % capacity_;
	size_ -= count;
	consumed_ += count;
	// Keep the arrival of the put the next sample belongs to.
	while (arrivals_.size() > 1 && arrivals_[1].start <= consumed_)
		arrivals_.pop_front();
}

void PlayoutBuffer::drop_locked(size_t count)
{
	count = std::min(count, size_);
	pop_locked(nullptr, count);
	stats_.dropped += count;
}

PlayoutBuffer::Slack PlayoutBuffer::slack_locked(uint64_t last, int64_t now_us) const
{
	auto it = std::upper_bound(arrivals_.begin(), arrivals_.end(), last,
				   [](uint64_t index, const Arrival &a) { return index < a.start; });
	uint64_t end = it == arrivals_.end() ? written_ : it->start;
	const Arrival &a = *(it - 1);
	return { now_us - a.at_us, (long)(last - a.start + 1), (long)(end - last - 1) };
}

void PlayoutBuffer::take(int16_t *out, size_t count, Clock::time_point now)
{
	if (count == 0)
		return;
	{
		std::lock_guard<std::mutex> hold(mutex_);
		stats_.taken += count;
		largest_take_ = std::max(largest_take_, std::min(count, max_put_));
		// A device that asks for more than the buffer ever holds plays
		// what a put may bring: else a producer waiting for room would
		// wait for ever.
		if (!playing_ && size_ >= std::min(count, max_put_))
			playing_ = true;
		if (!playing_) {
			std::fill(out, out + count, 0);
			stats_.silence += count;
		} else
			play_locked(out, count, now);
	}
	// Also when nothing was played: a larger take leaves more room.
	room_.notify_one();
}

void PlayoutBuffer::play_locked(int16_t *out, size_t count, Clock::time_point now)
{
	// At most two samples per frame more or fewer than asked for, and no
	// more than a quarter of the take: with frames of a sample or two,
	// two a frame would leave nothing to play.
	long frames = count >= frame_ ? (long)std::min(2 * count / frame_, count / 4) : 0;
	long step = std::clamp(adjust_, -frames, frames);
	// Enough for the take but not for playing faster: it plays at the
	// normal pace, and speeds up with a later one.
	if (step > 0 && size_ >= count && size_ < count + (size_t)step)
		step = 0;
	const size_t need = (size_t)((long)count + step);
	if (size_ < need) {
		const size_t have = size_;
		pop_locked(out, have);
		std::fill(out + have, out + count, 0);
		stats_.silence += count - have;
		stats_.underruns++;
		playing_ = false;
		underrun_in_window_ = true;
		boost_us_ = std::min(boost_us_ + samples_us(frame_ / 4), samples_us(frame_));
		adjust_ = 0;
	} else {
		Slack slack = slack_locked(consumed_ + need - 1, to_us(now));
		if (slack.us < low_.us)
			low_ = slack;
		if (step == 0) {
			pop_locked(out, count);
		} else {
			scratch_.resize(need);
			pop_locked(scratch_.data(), need);
			resample(scratch_.data(), need, out, count);
			adjust_ -= step;
			stats_.adjusted += (uint64_t)std::abs(step);
		}
	}
	taken_in_window_ += count;
	if (taken_in_window_ >= rate_ / 2)
		evaluate_locked();
}

void PlayoutBuffer::evaluate_locked()
{
	// The spread of the transit times, but for the latest few: one packet
	// held up now and then is not worth a higher delay for all (the takes
	// that find it late raise the target by themselves).
	int64_t spread = 0;
	if (transits_.size() >= 8) {
		sorted_ = transits_;
		size_t high = sorted_.size() - 1 - sorted_.size() / 16;
		std::nth_element(sorted_.begin(), sorted_.begin() + (long)high, sorted_.end());
		int64_t lowest = *std::min_element(sorted_.begin(), sorted_.begin() + (long)high + 1);
		spread = std::min<int64_t>(sorted_[high] - lowest, (int64_t)capacity_);
	}
	boost_us_ = boost_us_ * 3 / 4;
	// Half the spread, for arrivals later than the window saw, and a
	// little safety.
	const int64_t frame_us = samples_us(frame_);
	target_us_ = std::min(samples_us(frame_ / 8 + spread / 2) + boost_us_, (int64_t)(max_frames_ - 1) * frame_us);

	adjust_ = 0;
	if (!underrun_in_window_ && low_.us != std::numeric_limits<int64_t>::max()) {
		int64_t excess = low_.us - target_us_;
		if (excess < 0) {
			// The takes come too close behind the arrivals: play more
			// slowly until they take from the put before.
			adjust_ = -low_.from_start;
		} else if (excess >= 2 * frame_us) {
			// A standing queue: whole frames go at once.
			drop_locked((size_t)(excess / frame_us) * frame_);
		} else if (excess >= frame_us + frame_us / 8) {
			// A frame too much: play a little faster until the takes
			// reach into the next put.
			adjust_ = low_.to_end + 1;
		}
	}
	taken_in_window_ = 0;
	low_ = Slack{};
	underrun_in_window_ = false;
}

void PlayoutBuffer::close()
{
	{
		std::lock_guard<std::mutex> hold(mutex_);
		closed_ = true;
	}
	room_.notify_all();
}

size_t PlayoutBuffer::level() const
{
	std::lock_guard<std::mutex> hold(mutex_);
	return size_;
}

size_t PlayoutBuffer::target() const
{
	std::lock_guard<std::mutex> hold(mutex_);
	return (size_t)(target_us_ * (int64_t)rate_ / 1000000);
}

PlayoutBuffer::Stats PlayoutBuffer::stats() const
{
	std::lock_guard<std::mutex> hold(mutex_);
	return stats_;
}

} // namespace callfw
