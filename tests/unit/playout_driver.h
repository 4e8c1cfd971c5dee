// Any sequence of puts, takes and clock steps, decoded from bytes and
// played against a PlayoutBuffer on one thread, with what must hold after
// each step however odd the sequence: a take writes its count and not a
// sample more (guard samples on both sides of it), hands over what it
// holds before any silence, and counts what it plays; a put that would
// wait for room gets it while the device takes. Shared by the fuzz target
// and the unit test that runs seeded random sequences.
//
// The input: the buffer's clock rate, frame size and depth, then steps:
// - a put of any count, its timestamp following on, after a gap, or
//   anywhere, arriving late or early against the device's clock;
// - a take of 0 to 8191 samples, or of what the buffer holds, give or
//   take a few;
// - a step of the clock, up to a minute (a device that stalled);
// - a stretch of a call, a quarter of a second to two: a peer sending
//   packets of a quarter frame to twelve frames at a period of its own
//   clock, with jitter and now and then a hiccup, and a device taking up
//   to 12287 samples at a time at its pace;
// - a burst of frames that come at once, or the close;
// until some 250000 samples have been put and taken.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "playout_buffer.h"

namespace playout_driver {

// The samples sent are 1..30000, so that silence (0) and the guards show.
constexpr int16_t kGuard = -31111;
constexpr size_t kGuards = 32;

// The loops over every sample are not worth the fuzzer's tracing: they
// would take most of its time.
#ifdef __clang__
#define PLAYOUT_DRIVER_UNTRACED __attribute__((noinline, no_sanitize("coverage")))
#else
#define PLAYOUT_DRIVER_UNTRACED
#endif

// Samples to send from next on, which it follows on.
PLAYOUT_DRIVER_UNTRACED inline void make_samples(int16_t *out, size_t count, int16_t &next)
{
	for (size_t i = 0; i < count; i++) {
		out[i] = next;
		next = next == 30000 ? 1 : (int16_t)(next + 1);
	}
}

PLAYOUT_DRIVER_UNTRACED inline void fill_guards(int16_t *area, size_t size)
{
	for (size_t i = 0; i < size; i++)
		area[i] = kGuard;
}

// A take's area: kGuards guards, count samples, kGuards guards. What is
// wrong with it, if anything: the guards are whole, and the samples are
// audio up to the silence at the end.
PLAYOUT_DRIVER_UNTRACED inline std::string check_take(const int16_t *area, size_t count, size_t silence)
{
	for (size_t i = 0; i < kGuards; i++)
		if (area[i] != kGuard || area[kGuards + count + i] != kGuard)
			return "wrote outside its buffer";
	const int16_t *out = area + kGuards;
	for (size_t i = 0; i < count; i++)
		if ((out[i] == 0) != (i >= count - silence))
			return "with " + std::to_string(silence) + " of silence has " + (out[i] ? "a sample" : "silence") +
			       " at " + std::to_string(i);
	return "";
}

class Bytes {
public:
	Bytes(const uint8_t *data, size_t size) : p_(data), end_(data + size) {}
	bool empty() const { return p_ == end_; }
	// 0 once the input is used up.
	uint8_t u8() { return p_ == end_ ? 0 : *p_++; }
	uint16_t u16()
	{
		uint16_t low = u8();
		return (uint16_t)(low | u8() << 8);
	}
	uint32_t u32()
	{
		uint32_t low = u16();
		return low | (uint32_t)u16() << 16;
	}

private:
	const uint8_t *p_, *end_;
};

// A stretch of a call: a peer sending packets at a period of its own
// clock (skew: its period against the device's) with jitter, and a
// device taking a count of its own at its pace.
struct Call {
	size_t packet;             // samples a put
	double skew = 1;
	int64_t jitter_us = 0;     // each packet is delayed by 0..jitter
	int64_t hiccup_us = 0;     // one in 16 by up to this much more (those behind it come in a burst)
	size_t device;             // samples a take
	unsigned events;           // puts and takes
	double phase = 0;          // of the first take, in takes
	uint64_t seed = 1;         // of the jitter
};

class Driver {
public:
	using Clock = callfw::PlayoutBuffer::Clock;

	Driver(unsigned rate, unsigned frame, unsigned depth, int64_t now_us = 1'000'000'000'000,
	       uint32_t timestamp = 0)
		: buffer_(rate, frame, depth), rate_(std::max(rate, 1u)), frame_(std::max(frame, 1u)), now_us_(now_us),
		  timestamp_(timestamp)
	{
	}

	// The sequence the bytes make; the first broken property, or "" when
	// all held.
	static std::string run(const uint8_t *data, size_t size)
	{
		Bytes in(data, size);
		static const unsigned kRates[] = { 8000, 16000, 44100, 48000 };
		uint8_t pick = in.u8();
		unsigned rate = pick < 192 ? kRates[pick % 4] : in.u16();
		pick = in.u8();
		unsigned frame = pick < 128 ? rate / 50 : pick < 192 ? pick % 8 : in.u16() % 4096;
		unsigned depth = in.u8() % 8;
		int64_t now_us = 1'000'000'000'000 + in.u16();
		Driver d(rate, frame, depth, now_us, in.u32());
		// Half a minute of audio at 8 kHz is plenty, and keeps a run short.
		for (unsigned n = 0; n < 4096 && !in.empty() && d.error_.empty() && d.moved_ < 250'000; n++) {
			switch (in.u8() % 8) {
			case 0:
			case 1: {
				size_t count = in.u16() % 12000;
				uint8_t mode = in.u8();
				if (mode >= 240)
					d.timestamp_ = in.u32();
				else if (mode >= 200)
					d.timestamp_ += in.u16();
				d.put(count, d.now_us_ - (int8_t)in.u8() * 1000);
				break;
			}
			case 2:
				d.take(in.u16() % 8192);
				break;
			case 3: // what the buffer holds, give or take a few
				d.take((size_t)std::max<int64_t>(0, (int64_t)d.buffer_.level() + (int8_t)in.u8() % 8));
				break;
			case 4: {
				int64_t step = in.u16();
				d.now_us_ += in.u8() % 4 == 3 ? step * 1000 : step;
				break;
			}
			case 5:
			case 6: {
				Call c;
				c.packet = std::max<size_t>(1, d.frame_ * (1 + in.u8() % 48) / 4);
				c.skew = 1 + (int8_t)in.u8() / 2000.0;
				c.jitter_us = in.u8() * 200;
				c.hiccup_us = in.u8() * 500;
				c.device = in.u16() % 12288;
				if (c.device == 0)
					c.device = d.frame_ + d.frame_ / 4; // as a sound server asks
				// A quarter of a second to two: enough for the buffer to
				// judge its pace a few times, and no more.
				double seconds = (1 + in.u8() % 8) / 4.0;
				c.events = (unsigned)std::min(4096.0, seconds * d.rate_ * (1.0 / (double)c.packet +
											 1.0 / (double)c.device));
				c.phase = in.u8() / 256.0;
				c.seed = in.u32();
				d.call(c);
				break;
			}
			case 7: {
				uint8_t what = in.u8();
				if (what == 255)
					d.close();
				for (unsigned k = 0; k <= what % 8 && d.error_.empty(); k++)
					d.put(d.frame_, d.now_us_);
				break;
			}
			}
		}
		return d.error_;
	}

	callfw::PlayoutBuffer &buffer() { return buffer_; }
	const std::string &error() const { return error_; }
	// Samples of audio the takes handed over.
	uint64_t heard() const { return heard_; }

	void call(const Call &c)
	{
		const double put_us = (double)c.packet * 1e6 / rate_ * c.skew, take_us = (double)c.device * 1e6 / rate_;
		const int64_t start = now_us_;
		double next_put = (double)start, next_take = (double)start + c.phase * take_us;
		int64_t last_arrival = start;
		uint64_t rnd = c.seed;
		for (unsigned e = 0; e < c.events && error_.empty(); e++) {
			if (next_put <= next_take) {
				rnd = rnd * 6364136223846793005ULL + 1442695040888963407ULL;
				int64_t delay = c.jitter_us > 0 ? (int64_t)((rnd >> 33) % (uint64_t)c.jitter_us) : 0;
				if (c.hiccup_us > 0 && (rnd >> 20) % 16 == 0)
					delay += (int64_t)((rnd >> 24) % (uint64_t)c.hiccup_us);
				// The network keeps the order.
				int64_t arrival = std::max((int64_t)next_put + delay, last_arrival);
				last_arrival = arrival;
				now_us_ = std::max(now_us_, arrival);
				put(c.packet, arrival);
				next_put += put_us;
			} else {
				now_us_ = std::max(now_us_, (int64_t)next_take);
				take(c.device);
				next_take += take_us;
			}
		}
	}

	void put(size_t count, int64_t arrival_us)
	{
		if (!buffer_.fits(count)) {
			// What a producer waiting for room sees: the device takes on,
			// and each take plays a sample at least, or empties the
			// buffer, or starts playing it.
			const size_t bound = buffer_.level() + 2;
			for (size_t k = 0; !buffer_.fits(count); k++) {
				if (k == bound) {
					fail("a put of " + std::to_string(count) + " would wait for ever, with " +
					     std::to_string(buffer_.level()) + " held and takes of " +
					     std::to_string(device_));
					return;
				}
				take(device_ ? device_ : frame_);
				if (!error_.empty())
					return;
			}
		}
		if (samples_.size() < count)
			samples_.resize(count);
		make_samples(samples_.data(), count, next_);
		bool ok = buffer_.put(samples_.data(), count, timestamp_, at(arrival_us), at(now_us_));
		timestamp_ += (uint32_t)count;
		if (ok == closed_)
			fail(closed_ ? "a put after the close went in" : "a put failed before the close");
		if (ok)
			put_total_ += count;
		moved_ += count;
		check_counts();
	}

	void take(size_t count)
	{
		if (count)
			device_ = count;
		// No shorter than the take, so that the fuzzer's memory checks do
		// not see the end of the guards; grown only.
		if (area_.size() < count + 2 * kGuards)
			area_.resize(count + 2 * kGuards);
		fill_guards(area_.data(), count + 2 * kGuards);
		const auto before = buffer_.stats();
		buffer_.take(area_.data() + kGuards, count, at(now_us_));
		const auto after = buffer_.stats();
		if (after.taken - before.taken != count)
			return fail("a take of " + std::to_string(count) + " counted " +
				    std::to_string(after.taken - before.taken));
		const uint64_t silence = after.silence - before.silence;
		if (silence > count)
			return fail("a take of " + std::to_string(count) + " counted " + std::to_string(silence) +
				    " of silence");
		if (std::string wrong = check_take(area_.data(), count, silence); !wrong.empty())
			return fail("a take of " + std::to_string(count) + " " + wrong);
		heard_ += count - silence;
		moved_ += count;
		check_counts();
	}

	void close()
	{
		buffer_.close();
		closed_ = true;
	}

private:
	static Clock::time_point at(int64_t us) { return Clock::time_point(std::chrono::microseconds(us)); }

	// Every sample put is held, dropped or played: the takes play what
	// they did not fill with silence, give or take the samples adjusted.
	void check_counts()
	{
		const auto s = buffer_.stats();
		const int64_t played = (int64_t)(s.taken - s.silence);
		const int64_t gone = (int64_t)(put_total_ - buffer_.level() - s.dropped);
		if (s.silence > s.taken || played - gone > (int64_t)s.adjusted || gone - played > (int64_t)s.adjusted)
			fail("counts: " + std::to_string(put_total_) + " put, " + std::to_string(buffer_.level()) +
			     " held, " + std::to_string(s.dropped) + " dropped, " + std::to_string(s.taken) +
			     " taken, " + std::to_string(s.silence) + " silent, " + std::to_string(s.adjusted) +
			     " adjusted");
	}

	void fail(const std::string &what)
	{
		if (error_.empty())
			error_ = what;
	}

	callfw::PlayoutBuffer buffer_;
	const unsigned rate_, frame_;
	int64_t now_us_;
	uint32_t timestamp_;
	bool closed_ = false;
	size_t device_ = 0; // the last take's count
	int16_t next_ = 1; // sample to send
	uint64_t put_total_ = 0, heard_ = 0;
	uint64_t moved_ = 0; // samples put and taken
	std::vector<int16_t> samples_, area_;
	std::string error_;
};

} // namespace playout_driver
