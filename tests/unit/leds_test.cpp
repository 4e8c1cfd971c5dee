#include <cstdlib>
#include <gtest/gtest.h>
#include <string>

#include "gpio_mode/leds.h"

namespace {

std::string active(const char *text)
{
	char *s = led_tr_parse(text);
	std::string r = s ? s : "(none)";

	free(s);
	return r;
}

// What comes back here is written into the trigger file when the LED is
// restored, so it must be exactly one trigger's name.
TEST(Leds, ActiveTrigger)
{
	EXPECT_EQ(active("none rc-feedback [default-on] timer heartbeat\n"), "default-on");
	EXPECT_EQ(active("[none] timer\n"), "none");
	EXPECT_EQ(active("none timer [heartbeat]"), "heartbeat");
	// Drivers that print only the active one; no brackets at all.
	EXPECT_EQ(active("heartbeat\n"), "heartbeat");
	EXPECT_EQ(active("none [timer\n"), "none [timer");
	EXPECT_EQ(active("\n"), "");
}

} // namespace
