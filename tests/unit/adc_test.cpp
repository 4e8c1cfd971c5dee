// The IIO ADC against a plain directory tree standing in for sysfs.
#include <cerrno>
#include <climits>
#include <dirent.h>
#include <filesystem>
#include <gtest/gtest.h>

#include "cio/adc.h"
#include "tmpdir.h"

namespace {

#define IIO "sys/bus/iio/devices/iio:device0/"

class Adc : public ::testing::Test {
protected:
	TmpDir dir;

	void SetUp() override
	{
		std::filesystem::create_directories(dir.path(IIO));
		for (int ch = 0; ch < ADC_CHANNELS; ch++)
			raw(ch, std::to_string(100 * ch) + "\n");
	}
	void TearDown() override { adc_done(); }

	void raw(int ch, const std::string &text) { dir.write(IIO "in_voltage" + std::to_string(ch) + "_raw", text); }
};

int open_fds()
{
	int n = 0;
	DIR *d = opendir("/proc/self/fd");
	while (readdir(d))
		n++;
	closedir(d);
	return n;
}

TEST_F(Adc, ConvertsWithTheDevicesOffsetAndScale)
{
	dir.write(IIO "offset", "-2\n");
	dir.write(IIO "scale", "1.5\n");
	ASSERT_EQ(adc_init(), 0);
	EXPECT_DOUBLE_EQ(adc_to_voltage(102), 0.15);
	EXPECT_EQ(adc_to_mv(102), 150);
	EXPECT_EQ(adc_to_mv(2), 0);
	EXPECT_EQ(adc_to_mv(-998), -1500);

	// Without a scale: the boards' own converter.
	dir.write(IIO "offset", "0\n");
	std::filesystem::remove(dir.path(IIO "scale"));
	ASSERT_EQ(adc_init(), 0);
	EXPECT_EQ(adc_to_mv(1000), 1000 * 450 / 1024);
	EXPECT_DOUBLE_EQ(adc_to_voltage(1000), 1000 * 0.43956043956043955 / 1000);
}

TEST_F(Adc, ReadsEachChannelAfreshThroughItsDescriptor)
{
	ASSERT_EQ(adc_init(), 0);
	for (int ch = 0; ch < ADC_CHANNELS; ch++)
		EXPECT_EQ(adc_get(ch), 100 * ch);
	// A new reading in the same file: no reopening needed.
	raw(2, "0x1F\n");
	EXPECT_EQ(adc_get(2), 31);
	raw(2, "  -17\n");
	EXPECT_EQ(adc_get(2), -17);
	raw(2, "4095");
	EXPECT_EQ(adc_get(2), 4095);
}

TEST_F(Adc, SaysWhyAReadingFailed)
{
	ASSERT_EQ(adc_init(), 0);
	raw(1, "busy\n");
	raw(3, "99999999999\n");
	raw(4, "");
	testing::internal::CaptureStderr();
	EXPECT_EQ(adc_get(5), ADC_FAILED);
	EXPECT_EQ(adc_get(-1), ADC_FAILED);
	EXPECT_EQ(adc_get(1), ADC_FAILED);
	EXPECT_EQ(adc_get(3), ADC_FAILED);
	EXPECT_EQ(adc_get(4), ADC_FAILED);
	EXPECT_EQ(testing::internal::GetCapturedStderr(), "adc_get(): channel 5 is unsupported\n"
							  "adc_get(): channel -1 is unsupported\n"
							  "adc_get(): strtol(\"busy\"): Not a number\n"
							  "adc_get(): Value 99999999999 is out of range\n"
							  "adc_get(): strtol(\"\"): Not a number\n");

	adc_done();
	testing::internal::CaptureStderr();
	EXPECT_EQ(adc_get(0), ADC_FAILED);
	EXPECT_EQ(testing::internal::GetCapturedStderr(), "adc_get(): pread(): Bad file descriptor\n");
}

TEST_F(Adc, AMissingChannelLeavesNothingOpen)
{
	const int before = open_fds();

	std::filesystem::remove(dir.path(IIO "in_voltage3_raw"));
	EXPECT_EQ(adc_init(), -ENOENT);
	EXPECT_EQ(open_fds(), before);
	testing::internal::CaptureStderr();
	EXPECT_EQ(adc_get(0), ADC_FAILED);
	testing::internal::GetCapturedStderr();

	// Initialising twice does not leak the first descriptors either.
	raw(3, "7\n");
	ASSERT_EQ(adc_init(), 0);
	ASSERT_EQ(adc_init(), 0);
	EXPECT_EQ(open_fds(), before + ADC_CHANNELS);
	EXPECT_EQ(adc_get(3), 7);
	adc_done();
	EXPECT_EQ(open_fds(), before);
}

} // namespace
