// The timing of media: the pace of a sender, and the jitter buffer of a
// device that plays, run against simulated clocks.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <future>
#include <gtest/gtest.h>
#include <vector>

#include "pacer.h"
#include "playout_buffer.h"

using namespace callfw;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr unsigned kRate = 8000, kFrame = 160;
constexpr int16_t kClick = 20000;

Clock::time_point at_us(int64_t us)
{
	return Clock::time_point(std::chrono::microseconds(us));
}

TEST(Pacer, SpreadsABurstAtTheRecordedPace)
{
	Pacer pacer(kRate, 60ms);
	auto t0 = at_us(1'000'000);
	EXPECT_EQ(pacer.due(1000, t0), t0);
	// Ten frames handed over at once go out 20 ms apart (a shade faster).
	for (uint32_t k = 1; k < 10; k++) {
		auto due = pacer.due(1000 + k * kFrame, t0);
		auto ideal = t0 + k * 20ms;
		EXPECT_LE(due, ideal);
		EXPECT_GT(due, ideal - k * 200us) << k;
	}
	// Frames that come on time are due at once.
	EXPECT_LE(pacer.due(1000 + 10 * kFrame, t0 + 200ms), t0 + 200ms);
}

TEST(Pacer, LateFramesAndJumpsStartANewSchedule)
{
	Pacer pacer(kRate, 60ms);
	auto t0 = at_us(5'000'000);
	pacer.due(0, t0);
	// Half a second late: due now, and the next frame 20 ms after it,
	// not at once as well.
	auto late = t0 + 520ms;
	EXPECT_EQ(pacer.due(kFrame, late), late);
	EXPECT_GT(pacer.due(2 * kFrame, late), late + 19ms);
	// A timestamp that goes back, or leaps, starts afresh; so does reset().
	EXPECT_EQ(pacer.due(0, late), late);
	EXPECT_EQ(pacer.due(0xF0000000u, late), late);
	pacer.reset();
	EXPECT_EQ(pacer.due(0xF0000000u + kFrame, late), late);
	// Across the wrap of the 32-bit timestamp the pace goes on.
	pacer.due(0xFFFFFF00u, t0);
	EXPECT_GT(pacer.due(0xFFFFFF00u + 2 * kFrame, t0), t0 + 39ms);
}

// A peer sending frames through a network with jitter to a device taking
// a frame every 20 ms of its own clock. Frame k carries the value k + 1 in
// every sample, so that what the device plays tells which frame it came
// from, and when that frame arrived.
struct Link {
	double peer_period_us = 20000; // the peer's clock against the device's
	int64_t jitter_us = 0;         // each packet is delayed by 0..jitter
	int64_t phase_us = 7000;       // the peer's first frame against the device's first take
	int burst = 0;                 // frames the peer sends at once before that

	size_t sent = 0, heard = 0;    // frames
	uint64_t silent = 0, underruns = 0; // once settled
	double mean_delay_ms = 0;      // arrival to play, once settled

	void run(PlayoutBuffer &buffer, double seconds, double settle = 3)
	{
		uint64_t rnd = 12345;
		auto noise = [&] {
			rnd = rnd * 6364136223846793005ULL + 1442695040888963407ULL;
			return jitter_us ? (int64_t)((rnd >> 33) % (uint64_t)jitter_us) : 0;
		};
		const int64_t end = (int64_t)(seconds * 1e6), settled = (int64_t)(settle * 1e6);
		std::vector<std::pair<int64_t, size_t>> packets; // arrival, frame
		for (size_t k = 0;; k++) {
			int64_t send = k < (size_t)burst ? 0 : phase_us + (int64_t)((double)(k - burst) * peer_period_us);
			if (send >= end)
				break;
			packets.push_back({ send + noise(), k });
		}
		sent = packets.size();
		std::vector<int64_t> arrival(sent);
		for (auto [when, k] : packets)
			arrival[k] = when;
		std::sort(packets.begin(), packets.end());

		std::vector<int16_t> frame(kFrame), out(kFrame);
		std::vector<bool> played(sent);
		size_t next = 0;
		uint64_t underruns_at_settle = 0, underruns_at_end = 0;
		double delay_sum = 0;
		uint64_t delay_count = 0;
		// The takes go on a little beyond the last packet, for what is
		// buffered.
		for (int64_t take = 0; take < end + 200000; take += 20000) {
			for (; next < packets.size() && packets[next].first <= take; next++) {
				std::fill(frame.begin(), frame.end(), (int16_t)(packets[next].second + 1));
				auto arrival = at_us(packets[next].first);
				ASSERT_TRUE(buffer.put(frame.data(), kFrame, (uint32_t)(packets[next].second * kFrame),
						       arrival, arrival));
			}
			buffer.take(out.data(), kFrame, at_us(take));
			if (take == settled)
				underruns_at_settle = buffer.stats().underruns;
			if (take < end)
				underruns_at_end = buffer.stats().underruns;
			for (size_t i = 0; i < kFrame; i++) {
				if (out[i] == 0) {
					silent += take >= settled && take < end;
					continue;
				}
				size_t k = (size_t)out[i] - 1; // near a seam, a value between two frames'
				played[k] = true;
				if (take >= settled) {
					delay_sum += (double)(take + (int64_t)i * 125 - arrival[k]);
					delay_count++;
				}
			}
		}
		heard = (size_t)std::count(played.begin(), played.end(), true);
		underruns = underruns_at_end - underruns_at_settle;
		mean_delay_ms = delay_count ? delay_sum / (double)delay_count / 1000 : 0;
	}
};

TEST(PlayoutBuffer, SteadyPeerIsPlayedWithinAFrame)
{
	for (int64_t phase : { 1000, 7000, 15000, 19500 }) {
		PlayoutBuffer buffer(kRate, kFrame);
		Link link;
		link.jitter_us = 2000;
		link.phase_us = phase;
		link.run(buffer, 30);
		EXPECT_EQ(buffer.stats().dropped, 0u) << phase;
		EXPECT_EQ(link.underruns, 0u) << phase;
		EXPECT_EQ(link.silent, 0u) << phase;
		EXPECT_EQ(link.heard, link.sent) << phase;
		// A take's 20 ms, what the phase leaves, and the jitter's margin.
		EXPECT_LT(link.mean_delay_ms, 40) << phase;
		EXPECT_LE(buffer.target(), kFrame / 4) << phase;
	}
}

TEST(PlayoutBuffer, ClockDifferenceOfATenthOfAPercentLosesNoFrame)
{
	for (double factor : { 1.001, 1 / 1.001 }) {
		PlayoutBuffer buffer(kRate, kFrame);
		Link link;
		link.peer_period_us = 20000 * factor;
		link.jitter_us = 1000;
		link.run(buffer, 120);
		auto s = buffer.stats();
		EXPECT_EQ(s.dropped, 0u) << factor;
		EXPECT_EQ(link.underruns, 0u) << factor;
		EXPECT_EQ(link.silent, 0u) << factor;
		EXPECT_EQ(link.heard, link.sent) << factor;
		// The difference is made up a sample at a time, and the delay
		// stays where it was.
		EXPECT_GT(s.adjusted, 500u) << factor;
		EXPECT_LT(link.mean_delay_ms, 45) << factor;
	}
}

TEST(PlayoutBuffer, StandingQueueIsDrained)
{
	PlayoutBuffer buffer(kRate, kFrame);
	Link link;
	link.burst = 5; // as when the device started late
	link.run(buffer, 10, 2);
	EXPECT_GE(buffer.stats().dropped, 2u * kFrame);
	EXPECT_LT(link.mean_delay_ms, 40);
	EXPECT_EQ(link.underruns, 0u);
}

TEST(PlayoutBuffer, JitterRaisesTheTargetAndStopsTheUnderruns)
{
	PlayoutBuffer buffer(kRate, kFrame);
	Link link;
	link.jitter_us = 25000;
	link.run(buffer, 40, 20);
	EXPECT_GT(buffer.target(), kFrame / 2);
	EXPECT_LE(buffer.target(), 2u * kFrame);
	EXPECT_LE(link.underruns, 2u);
	EXPECT_LT(link.mean_delay_ms, 80);
}

TEST(PlayoutBuffer, DeviceAheadOfThePeerGetsSilenceThenAudio)
{
	PlayoutBuffer buffer(kRate, kFrame);
	std::vector<int16_t> out(kFrame, 1), frame(kFrame, 300);
	buffer.take(out.data(), kFrame);
	EXPECT_EQ(out, std::vector<int16_t>(kFrame, 0));
	auto now = Clock::now();
	buffer.put(frame.data(), kFrame, 0, now);
	buffer.take(out.data(), 2 * kFrame / 3);
	EXPECT_EQ(out[0], 300);
	// Found short: what there is, then silence, until there is enough.
	out.assign(kFrame, 1);
	buffer.take(out.data(), kFrame);
	EXPECT_EQ(out[kFrame / 3 - 1], 300);
	EXPECT_EQ(out[kFrame / 3 + 1], 0);
	EXPECT_EQ(buffer.stats().underruns, 1u);
	buffer.put(frame.data(), kFrame / 2, kFrame, now);
	buffer.take(out.data(), kFrame);
	EXPECT_EQ(out[0], 0);
	buffer.put(frame.data(), kFrame, kFrame * 3 / 2, now);
	// One that waited elsewhere for a tenth of a second is too late.
	buffer.put(frame.data(), kFrame, kFrame * 5 / 2, now - 100ms);
	EXPECT_EQ(buffer.level(), kFrame + kFrame / 2);
	EXPECT_EQ(buffer.stats().dropped, kFrame);
	buffer.take(out.data(), kFrame);
	EXPECT_EQ(out, frame);
	EXPECT_EQ(buffer.stats().silence, 3 * kFrame - (kFrame - 2 * kFrame / 3));
}

TEST(PlayoutBuffer, FullBufferHoldsTheProducerBackUntilClosed)
{
	PlayoutBuffer buffer(kRate, kFrame);
	std::vector<int16_t> frame(kFrame, 5);
	uint32_t ts = 0;
	while (buffer.level() + kFrame <= 6 * kFrame)
		ASSERT_TRUE(buffer.put(frame.data(), kFrame, ts += kFrame, Clock::now()));
	auto writer = std::async(std::launch::async,
				 [&] { return buffer.put(frame.data(), kFrame, ts += kFrame, Clock::now()); });
	EXPECT_EQ(writer.wait_for(100ms), std::future_status::timeout);
	buffer.close();
	ASSERT_EQ(writer.wait_for(10s), std::future_status::ready);
	EXPECT_FALSE(writer.get());
	EXPECT_FALSE(buffer.put(frame.data(), kFrame, 0, Clock::now()));
}

} // namespace
