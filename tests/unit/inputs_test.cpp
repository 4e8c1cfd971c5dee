#include <gtest/gtest.h>

#include "gpio_mode/inputs.h"

namespace {

TEST(Inputs, Thresholds)
{
	EXPECT_TRUE(inputs_alarm(1999));
	EXPECT_FALSE(inputs_alarm(2000));
	EXPECT_FALSE(inputs_alarm(8000));
	EXPECT_TRUE(inputs_alarm(8001));
	EXPECT_TRUE(inputs_alarm(0));
	EXPECT_TRUE(inputs_alarm(OHMS_MAX));

	EXPECT_TRUE(inputs_closed(0));
	EXPECT_TRUE(inputs_closed(999));
	EXPECT_FALSE(inputs_closed(1000));
	EXPECT_FALSE(inputs_closed(OHMS_MAX));
}

} // namespace
