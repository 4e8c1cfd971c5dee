// The battery cycle both loops share.
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "battery.h"
#include "private_ipc.h"

namespace {

std::vector<std::string> calls;
int32_t battery_mv = 12500;

int charge(void *ctx, bool on)
{
	(void)ctx;
	calls.push_back(on ? "on" : "off");
	return 0;
}

int measure(void *ctx, int32_t *mv)
{
	(void)ctx;
	calls.push_back("measure");
	*mv = battery_mv;
	return 0;
}

const vgd_battery_ops ops = { charge, measure };

TEST(Battery, TenSecondsChargingOneSecondRestThenMeasured)
{
	PrivateIpc ipc;
	vgd_battery b = {};
	auto at = [&](long s) {
		struct timespec now = { 100 + s, 0 };
		return vgd_battery_cycle(&b, &now, &ops, nullptr);
	};

	ASSERT_TRUE(ipc.ok());
	calls.clear();
	EXPECT_EQ(at(0), 1); // measured at once, then charging
	EXPECT_EQ(at(9), 0);
	EXPECT_EQ(at(10), 1);
	EXPECT_EQ(at(10), 0);
	battery_mv = 9999;
	EXPECT_EQ(at(11), 1);
	EXPECT_EQ(calls, (std::vector<std::string>{ "measure", "on", "off", "measure", "on" }));
	EXPECT_TRUE(b.measured);
	EXPECT_EQ(ipc.state().vbatt, 9999);
	EXPECT_EQ(ipc.state().error_batt, 1);

	// A battery test: charger off, measured every turn, no verdict.
	calls.clear();
	ipc.state().batttest = 1;
	ipc.state().error_batt = 0;
	EXPECT_EQ(at(12), 1);
	EXPECT_EQ(at(12), 1);
	EXPECT_EQ(at(12), 1);
	EXPECT_EQ(calls, (std::vector<std::string>{ "off", "measure", "measure" }));
	EXPECT_EQ(ipc.state().error_batt, 0);
}

} // namespace
