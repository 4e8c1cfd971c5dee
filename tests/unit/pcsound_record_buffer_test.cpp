// The record stream's buffer: bursts from sources that cannot adjust their
// latency must pass whole, while a reader that lags for good is brought
// back near the latency target.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "record_buffer.h"

using pcsound::RecordBuffer;

namespace {

constexpr size_t frame = 320;            // 20 ms of 8 kHz 16-bit mono
constexpr size_t second = 16000;         // bytes of one second
constexpr size_t fragment = 960;         // 60 ms
constexpr size_t keep = 2 * fragment + frame;
constexpr size_t window = 4 * second;

// Bytes counting up, so that what comes out shows what was dropped.
struct Counter {
	uint16_t next = 0;
	std::vector<uint8_t> bytes(size_t size)
	{
		std::vector<uint8_t> out(size);
		for (size_t i = 0; i + 1 < size; i += 2, next++) {
			out[i] = (uint8_t)(next & 0xff);
			out[i + 1] = (uint8_t)(next >> 8);
		}
		return out;
	}
};

uint16_t first_sample(const std::vector<uint8_t> &f)
{
	return (uint16_t)(f[0] | f[1] << 8);
}

// Feeds the buffer at the pace of time, in chunks of chunk bytes, while a
// reader takes one frame every 20 ms; returns the frames taken and checks
// that they follow each other without a gap unless gaps are allowed.
size_t run(RecordBuffer &buffer, Counter &source, size_t chunk, size_t seconds, bool gaps_allowed)
{
	std::vector<uint8_t> f(frame);
	size_t taken = 0, fed = 0;
	int expected = -1;
	// One tick is 20 ms: the source delivers whenever a chunk is due.
	for (size_t tick = 0; tick < seconds * 50; tick++) {
		while (fed <= tick * frame) {
			auto bytes = source.bytes(chunk);
			buffer.append(bytes.data(), bytes.size());
			fed += chunk;
		}
		if (buffer.take(f.data())) {
			if (expected >= 0 && !gaps_allowed) {
				EXPECT_EQ(first_sample(f), (uint16_t)expected) << "at tick " << tick;
			}
			expected = (uint16_t)(first_sample(f) + frame / 2);
			taken++;
		}
	}
	return taken;
}

} // namespace

TEST(RecordBuffer, WholeFramesOutOfOddFragments)
{
	RecordBuffer buffer(frame, keep, window, window);
	Counter source;
	std::vector<uint8_t> f(frame);
	auto a = source.bytes(100), b = source.bytes(300);
	buffer.append(a.data(), a.size());
	EXPECT_FALSE(buffer.take(f.data()));
	buffer.append(b.data(), b.size());
	ASSERT_TRUE(buffer.take(f.data()));
	EXPECT_EQ(first_sample(f), 0);
	EXPECT_EQ(f[frame - 2] | f[frame - 1] << 8, 159);
	EXPECT_EQ(buffer.size(), 80u);
	EXPECT_FALSE(buffer.take(f.data()));

	buffer.append(nullptr, 240); // a hole is silence, and counts
	ASSERT_TRUE(buffer.take(f.data()));
	EXPECT_EQ(first_sample(f), 160);
	EXPECT_EQ(f[frame - 1], 0);
}

TEST(RecordBuffer, BurstsOfSecondsPassWhole)
{
	// A source delivering two seconds at once, every two seconds.
	RecordBuffer buffer(frame, keep, window, window);
	Counter source;
	size_t taken = run(buffer, source, 2 * second, 20, false);
	EXPECT_EQ(buffer.dropped(), 0u);
	EXPECT_GE(taken, 20 * 50 - 1u);
}

TEST(RecordBuffer, SteadyFragmentsPassWhole)
{
	RecordBuffer buffer(frame, keep, window, window);
	Counter source;
	run(buffer, source, fragment, 20, false);
	EXPECT_EQ(buffer.dropped(), 0u);
	EXPECT_LE(buffer.size(), keep);
}

TEST(RecordBuffer, LastingLagIsCutBackToKeep)
{
	RecordBuffer buffer(frame, keep, window, window);
	Counter source;
	// The reader starts a second late, then keeps pace: without a cut it
	// would stay a second behind for the whole call.
	auto late = source.bytes(second);
	buffer.append(late.data(), late.size());
	run(buffer, source, fragment, 10, true);
	EXPECT_GT(buffer.dropped(), 0u);
	EXPECT_LE(buffer.size(), keep + fragment);
}

TEST(RecordBuffer, UnreadAudioIsBounded)
{
	RecordBuffer buffer(frame, keep, window, window);
	Counter source;
	for (int i = 0; i < 100; i++) {
		auto bytes = source.bytes(second / 2);
		buffer.append(bytes.data(), bytes.size());
	}
	EXPECT_EQ(buffer.size(), window);
	// What is left is the newest audio.
	std::vector<uint8_t> f(frame);
	ASSERT_TRUE(buffer.take(f.data()));
	EXPECT_EQ(first_sample(f), (uint16_t)(100 * second / 4 - window / 2));
}
