// The board temperature taken from the host's own sensors.
#include <cerrno>
#include <climits>
#include <filesystem>
#include <gtest/gtest.h>

#include "cio/thermal.h"
#include "tmpdir.h"

namespace {

class Thermal : public ::testing::Test {
protected:
	TmpDir dir;

	void sensor(const std::string &rel, const std::string &value)
	{
		std::filesystem::create_directories(std::filesystem::path(dir.path(rel)).parent_path());
		dir.write(rel, value);
	}

	int result = 0; // of the last read()

	// The temperature; INT32_MIN when none was given.
	int32_t read(std::string *err = nullptr)
	{
		int32_t t = INT32_MIN;
		testing::internal::CaptureStderr();
		result = cio_max_thermal_zone(&t);
		std::string e = testing::internal::GetCapturedStderr();
		if (err)
			*err = e;
		return t;
	}
};

TEST_F(Thermal, HottestOfZonesAndHwmon)
{
	sensor("sys/class/thermal/thermal_zone0/temp", "45999\n");
	sensor("sys/class/thermal/thermal_zone1/temp", "-5000\n");
	EXPECT_EQ(read(), 45);
	// A zone after a gap is not looked for.
	sensor("sys/class/thermal/thermal_zone3/temp", "90000\n");
	EXPECT_EQ(read(), 45);

	// hwmon devices by their device directory, sensors from 1 on.
	sensor("sys/class/hwmon/hwmon0/device/temp1_input", "30000\n");
	sensor("sys/class/hwmon/hwmon0/device/temp2_input", "51000\n");
	EXPECT_EQ(read(), 51);

	// Then by the class directory: sensors 1 to 4 may be missing, a missing
	// one from 5 on ends the device; these chips count two sensors only.
	sensor("sys/class/hwmon/hwmon1/name", "nct6796\n");
	for (int i = 1; i <= 7; i++)
		sensor("sys/class/hwmon/hwmon1/temp" + std::to_string(i) + "_input", i <= 2 ? "20000\n" : "99000\n");
	sensor("sys/class/hwmon/hwmon2/temp5_input", "60000\n");
	sensor("sys/class/hwmon/hwmon2/temp7_input", "95000\n");
	EXPECT_EQ(read(), 60);
	sensor("sys/class/hwmon/hwmon1/name", "nct6797\n");
	EXPECT_EQ(read(), 99);
}

TEST_F(Thermal, NoSensorsAndBrokenSensors)
{
	std::string err;

	EXPECT_EQ(read(&err), -1000);
	EXPECT_EQ(err, "cio_max_thermal_zone(): no sensors found\n");
	EXPECT_EQ(read(&err), -1000);
	EXPECT_EQ(err, ""); // said once

	// A sensor that is there but cannot be read fails the reading.
	std::filesystem::create_directories(dir.path("sys/class/thermal/thermal_zone0/temp"));
	EXPECT_EQ(read(&err), INT32_MIN);
	EXPECT_EQ(result, -EIO);
	EXPECT_NE(err.find("cio_max_thermal_zone(): Read error\n"), std::string::npos);
}

} // namespace
