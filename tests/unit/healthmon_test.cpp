// The health monitor's timing: a test is judged, and the next one started,
// only when the whole seconds since its start exceed the limit.
#include <gtest/gtest.h>

#include "gpio_mode/healthmon.h"

namespace {

bool after(time_t s0, long ns0, time_t s1, long ns1, long seconds)
{
	const struct timespec since = { s0, ns0 }, now = { s1, ns1 };

	return hm_after(&since, &now, seconds);
}

TEST(HealthMonitor, CountsWholeSecondsOfTheTimeBetween)
{
	// 5.2 s: the seconds fields differ by 6, but 5 whole seconds have passed.
	EXPECT_FALSE(after(10, 900000000, 16, 100000000, 5));
	EXPECT_FALSE(after(10, 900000000, 16, 899999999, 5));
	EXPECT_TRUE(after(10, 900000000, 16, 900000000, 5));
	EXPECT_TRUE(after(0, 0, 6, 0, 5));
	EXPECT_FALSE(after(0, 0, 5, 999999999, 5));
}

} // namespace
