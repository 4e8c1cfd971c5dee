// The jitter buffer against what no peer and no sound server should send,
// but some do: takes of odd sizes at the moment the buffer speeds up,
// frames of a sample or two, packets of a fifth of a second, and random
// sequences of all of it. Every take goes into a buffer with guard
// samples on both sides.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <future>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

#include "playout_buffer.h"
#include "playout_driver.h"

using namespace callfw;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int16_t kGuard = playout_driver::kGuard;
constexpr size_t kGuards = 64;

Clock::time_point at_ms(int64_t ms)
{
	return Clock::time_point(std::chrono::milliseconds(1'000'000 + ms));
}

// A take into a buffer with guards on both sides; false when one was
// written over.
bool guarded_take(PlayoutBuffer &buffer, std::vector<int16_t> &out, size_t count, Clock::time_point now)
{
	std::vector<int16_t> area(count + 2 * kGuards, kGuard);
	buffer.take(area.data() + kGuards, count, now);
	out.assign(area.begin() + kGuards, area.begin() + (long)(kGuards + count));
	for (size_t i = 0; i < kGuards; i++)
		if (area[i] != kGuard || area[kGuards + count + i] != kGuard)
			return false;
	return true;
}

// Sample n of the stream the tests send: never 0, so that silence shows.
int16_t sample(uint64_t n)
{
	return (int16_t)(1 + n % 30000);
}

std::vector<int16_t> samples(uint64_t first, size_t count)
{
	std::vector<int16_t> v(count);
	for (size_t i = 0; i < count; i++)
		v[i] = sample(first + i);
	return v;
}

// The sound server asks for 241 samples just as the buffer has decided to
// play a little faster, and the buffer holds a sample or two more than
// that: the take must play those 241 as they are, not count an underrun
// and hand over all it holds.
TEST(PlayoutBuffer, TakeThatCannotBeSpedUpPlaysWhatItAskedFor)
{
	constexpr unsigned kRate = 8000, kFrame = 160;
	PlayoutBuffer buffer(kRate, kFrame);
	std::vector<int16_t> out;
	uint64_t sent = 0, played = 0;
	auto put = [&](int64_t ms) {
		auto frame = samples(sent, kFrame);
		ASSERT_TRUE(buffer.put(frame.data(), kFrame, (uint32_t)sent, at_ms(ms), at_ms(ms)));
		sent += kFrame;
	};
	auto take = [&](size_t count, int64_t ms) {
		ASSERT_TRUE(guarded_take(buffer, out, count, at_ms(ms)));
		ASSERT_EQ(out, samples(played, count));
		played += count;
	};
	// A peer sending a frame every 20 ms, and takes 30 ms after each
	// frame came that end half-way into it: a standing slack of a frame
	// and a half, which the buffer plays off a little faster.
	put(0);
	put(20);
	take(kFrame / 2, 30);
	for (int k = 2; k <= 26; k++) {
		put(20 * k);
		take(kFrame, 20 * k + 10);
	}
	put(540);
	take(157, 545);
	EXPECT_EQ(buffer.level(), 243u);
	auto before = buffer.stats();
	take(241, 550);
	auto after = buffer.stats();
	EXPECT_EQ(after.underruns, before.underruns);
	EXPECT_EQ(after.silence, before.silence);
	EXPECT_EQ(after.adjusted, before.adjusted);
	EXPECT_EQ(buffer.level(), 2u);
	// The speed-up is not lost: the next takes make it up.
	for (int k = 28; k <= 40; k++) {
		put(20 * k);
		ASSERT_TRUE(guarded_take(buffer, out, kFrame, at_ms(20 * k + 10)));
	}
	EXPECT_GT(buffer.stats().adjusted, after.adjusted);
	EXPECT_EQ(buffer.stats().underruns, 0u);
}

// Frames of a sample or two (a format that nobody should set up): the
// buffer never takes nothing, or less than nothing, to play a take, and
// a peer's packets of a whole 20 ms still go in.
TEST(PlayoutBuffer, FramesOfASampleOrTwo)
{
	{
		// Takes of a frame that always find the put they reach into
		// stamped a little after them (the device read its clock just
		// before the put came): half a second of that, and the buffer
		// would play the next take slower by two samples of two.
		PlayoutBuffer buffer(8000, 2);
		std::vector<int16_t> out;
		uint64_t sent = 0;
		auto put = [&](int64_t us) {
			auto frame = samples(sent, 2);
			auto arrival = Clock::time_point(std::chrono::microseconds(1'000'000'000 + us + 1000));
			ASSERT_TRUE(buffer.put(frame.data(), 2, (uint32_t)sent, arrival, arrival));
			sent += 2;
		};
		put(0);
		for (int64_t k = 1; k <= 2100; k++) {
			put(250 * k);
			auto now = Clock::time_point(std::chrono::microseconds(1'000'000'000 + 250 * k));
			ASSERT_TRUE(guarded_take(buffer, out, 2, now)) << k;
			ASSERT_EQ(out, samples(2 * (uint64_t)(k - 1), 2)) << k;
		}
	}

	for (unsigned frame : { 1u, 2u, 3u })
		for (unsigned packet : { frame, 3 * frame, 160u })
			for (size_t device : { 1u, 2u, 3u, 50u, 160u, 241u }) {
				playout_driver::Driver d(8000, frame, 3);
				d.call({ .packet = packet, .skew = 1.001, .jitter_us = 3000, .device = device, .events = 3000 });
				EXPECT_EQ(d.error(), "") << frame << " " << packet << " " << device;
				EXPECT_GT(d.heard(), 0u) << frame << " " << packet << " " << device;
			}
}

// A peer that sends a fifth of a second at a time: more than the room a
// buffer of 20 ms frames leaves. The first packet goes in at once, and
// the rest as the device plays, without gaps once under way.
TEST(PlayoutBuffer, PacketsOfAFifthOfASecond)
{
	constexpr unsigned kRate = 8000, kPacket = 1600;
	{
		PlayoutBuffer buffer(kRate, 160);
		std::vector<int16_t> packet(samples(0, kPacket));
		auto producer = std::async(std::launch::async,
					   [&] { return buffer.put(packet.data(), kPacket, 0, Clock::now()); });
		bool done = producer.wait_for(5s) == std::future_status::ready;
		buffer.close(); // lets a producer stuck for want of room go
		EXPECT_TRUE(done);
		EXPECT_TRUE(producer.get());
	}
	for (double skew : { 1.0, 1.001, 1 / 1.001 }) {
		playout_driver::Driver d(kRate, 160, 3);
		d.call({ .packet = kPacket, .skew = skew, .jitter_us = 5000, .device = 200, .events = 2000 });
		EXPECT_EQ(d.error(), "") << skew;
		auto s = d.buffer().stats();
		EXPECT_LE(s.underruns, 2u) << skew;
		EXPECT_GT(d.heard(), s.taken * 9 / 10) << skew;
	}
}

// A device that asks for more than the buffer ever holds (a sound server
// that wants a second and a half at once) gets what there is, and the
// producer is not held up for good.
TEST(PlayoutBuffer, TakesLargerThanTheBuffer)
{
	for (size_t device : { 4000u, 8000u, 12000u }) {
		playout_driver::Driver d(8000, 160, 3);
		d.call({ .packet = 160, .jitter_us = 2000, .device = device, .events = 600 });
		EXPECT_EQ(d.error(), "") << device;
		EXPECT_GT(d.heard(), 0u) << device;
	}
}

// A sequence in the fuzz target's input: mostly stretches of a call, and
// between them takes (many of about what the buffer holds), puts, steps
// of the clock, bursts; one in four with a clock rate and frame size of
// any value.
std::vector<uint8_t> random_sequence(std::mt19937 &rnd)
{
	std::vector<uint8_t> b;
	auto u8 = [&](unsigned v) { b.push_back((uint8_t)v); };
	auto u16 = [&](unsigned v) {
		u8(v & 0xff);
		u8(v >> 8);
	};
	auto u32 = [&](uint32_t v) {
		u16(v & 0xffff);
		u16(v >> 16);
	};
	const bool any = rnd() % 4 == 0;
	u8(any ? rnd() : rnd() % 4); // a rate of the four, or any
	if (b.back() >= 192)
		u16(rnd());
	u8(any ? rnd() : 0); // 20 ms frames, or any
	if (b.back() >= 192)
		u16(rnd());
	u8(rnd() % 8);
	u16(rnd());
	u32(rnd());
	for (unsigned ops = 10 + rnd() % 40; ops > 0; ops--) {
		unsigned what = rnd() % 100;
		if (what < 40) {
			u8(5);
			u8(rnd() % 48);                       // packet
			u8(rnd());                            // skew
			u8(rnd() % 256 / (1 + rnd() % 8));    // jitter
			u8(rnd());                            // hiccups
			u16(rnd() % 2 ? rnd() % 12288 : rnd() % 600); // device
			u8(rnd() % 8);                        // length
			u8(rnd());                            // phase
			u32(rnd());
		} else if (what < 55) {
			u8(2);
			u16(rnd() % 4 ? rnd() % 600 : rnd() % 8192);
		} else if (what < 70) {
			u8(3);
			u8(rnd());
		} else if (what < 85) {
			u8(0);
			u16(rnd() % 4 ? 160 * (1 + rnd() % 3) : rnd() % 12000);
			u8(rnd()); // the timestamp follows on, jumps a little, or anywhere
			if (b.back() >= 240)
				u32(rnd());
			else if (b.back() >= 200)
				u16(rnd());
			u8(rnd()); // late or early
		} else if (what < 97) {
			u8(4);
			u16(rnd() % 30000);
			u8(rnd() % 4 == 0 ? 3 : 0); // milliseconds, or microseconds
		} else {
			u8(7);
			u8(rnd());
		}
	}
	return b;
}

// Random sequences, as the fuzz target runs them; a failing one is printed
// as a seed for it. One thread plays both sides: the thread sanitizer has
// nothing to see here, and a few do for its pass.
TEST(PlayoutBuffer, RandomSequences)
{
#if defined(__SANITIZE_THREAD__)
	constexpr int kSequences = 60;
#else
	constexpr int kSequences = 600;
#endif
	std::mt19937 rnd(20240611);
	for (int n = 0; n < kSequences; n++) {
		std::vector<uint8_t> input = random_sequence(rnd);
		std::string error = playout_driver::Driver::run(input.data(), input.size());
		if (!error.empty()) {
			std::string hex;
			for (uint8_t b : input) {
				char x[3];
				snprintf(x, sizeof(x), "%02x", b);
				hex += x;
			}
			FAIL() << "sequence " << n << ": " << error << "\n" << hex;
		}
	}
}

} // namespace
