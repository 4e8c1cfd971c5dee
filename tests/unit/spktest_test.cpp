#include <cmath>
#include <gtest/gtest.h>
#include <vector>

#include "gpio_mode/spktest.h"

namespace {

std::vector<int16_t> tone(unsigned rate, double hz, double scale, size_t count, size_t start = 0, size_t len = SIZE_MAX)
{
	std::vector<int16_t> s(count);
	for (size_t k = start; k < count && k - start < len; k++)
		s[k] = (int16_t)(scale * sin(2 * M_PI * hz * (double)(k - start) / rate));
	return s;
}

TEST(SpeakerTest, FullScaleToneAt8kHz)
{
	auto s = tone(8000, 1000, 32767, 8000);
	EXPECT_NEAR(st_evaluate(s.data(), s.size(), 8000), 63.7, 0.1);
}

// At 48 kHz the window holds six times the samples: the amplitude does not
// fit the stored byte any more.
TEST(SpeakerTest, FullScaleToneAt48kHz)
{
	auto s = tone(48000, 1000, 32767, 48000);
	EXPECT_NEAR(st_evaluate(s.data(), s.size(), 48000), 382, 1);
}

TEST(SpeakerTest, OnlyTheToneCounts)
{
	auto silence = std::vector<int16_t>(8000);
	EXPECT_EQ(st_evaluate(silence.data(), silence.size(), 8000), 0);
	auto other = tone(8000, 440, 32767, 8000);
	EXPECT_LT(st_evaluate(other.data(), other.size(), 8000), 2);

	// A burst of 100 ms anywhere in the second is found whole.
	auto burst = tone(8000, 1000, 22936.9, 8000, 3000, 800);
	EXPECT_NEAR(st_evaluate(burst.data(), burst.size(), 8000), 0.7 * 63.7, 0.2);
}

TEST(SpeakerTest, ShortRecordings)
{
	auto s = tone(8000, 1000, 32767, 800);
	EXPECT_NEAR(st_evaluate(s.data(), s.size(), 8000), 63.7, 0.1); // exactly one window
	EXPECT_EQ(st_evaluate(s.data(), 799, 8000), 0);                // less than one
	EXPECT_EQ(st_evaluate(s.data(), 800, 0), 0);
}

} // namespace
