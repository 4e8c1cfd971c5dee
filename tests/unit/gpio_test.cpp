// The table-driven GPIO lines against a plain directory tree: the kernel's
// behaviour is simulated in the system tests; here the errors.
#include <cerrno>
#include <gtest/gtest.h>

#include "cfg.h"
#include "gpio.h"
#include "gpio_mode/sound.h"
#include "private_ipc.h"
#include "tmpdir.h"

namespace {

class Gpio : public ::testing::Test {
protected:
	TmpDir dir;
	PrivateIpc ipc;

	void variant(int cio, int rev)
	{
		cfg_cache_drop();
		dir.write("etc/device.conf", "cio=" + std::to_string(cio) + "\nrevision=" + std::to_string(rev) + "\n");
		for (int i = 0; i < gpio_cfg_rows; i++) {
			std::string line = "sys/class/gpio/gpio" + std::to_string(gpio_cfg[i].n);
			std::filesystem::create_directories(dir.path(line));
			dir.write(line + "/direction", "in\n");
			dir.write(line + "/value", "0\n");
		}
	}
	void TearDown() override { cfg_cache_drop(); }
};

TEST_F(Gpio, RefusesLinesOutsideTheTable)
{
	variant(1, 3);
	ASSERT_EQ(gpio_init(), 0);
	EXPECT_EQ(ipc.state().gpiousr, 1);

	testing::internal::CaptureStderr();
	EXPECT_EQ(gpio_set(96, 1), -EINVAL);
	EXPECT_EQ(gpio_set(-1, 1), -EINVAL);
	EXPECT_EQ(gpio_set(47, 1), -EINVAL);
	EXPECT_EQ(testing::internal::GetCapturedStderr(), "gpio_set(): Invalid GPIO index 96\n"
							  "gpio_set(): Invalid GPIO index -1\n"
							  "gpio_set(): GPIO not initialized\n");
	EXPECT_EQ(gpio_get(96), -EINVAL);
	EXPECT_EQ(gpio_get(47), -EINVAL);
	EXPECT_EQ(gpio_mode_set(1000, 1), -EINVAL);
	EXPECT_EQ(gpio_get(61), 0);
	dir.write("sys/class/gpio/gpio61/value", "1\n");
	EXPECT_EQ(gpio_get(61), 1);

	ASSERT_EQ(gpio_done(), 0);
	EXPECT_EQ(ipc.state().gpiousr, 0);
	EXPECT_EQ(gpio_get(61), -EINVAL); // descriptors are closed
}

// A line that cannot be opened fails the start, releases the lock and
// leaves the count alone.
TEST_F(Gpio, MissingLineFailsCleanly)
{
	variant(0, 5);
	std::filesystem::remove(dir.path("sys/class/gpio/gpio87/value"));
	testing::internal::CaptureStderr();
	EXPECT_EQ(gpio_init(), -ENOENT);
	testing::internal::GetCapturedStderr();
	EXPECT_EQ(ipc.state().gpiousr, 0);
	EXPECT_EQ(PrivateIpc::value(SEM_SSTATE_R), 32767);
	EXPECT_EQ(gpio_get(89), -EINVAL);
}

TEST_F(Gpio, CountNeverGoesNegative)
{
	variant(0, 5);
	ipc.state().gpiousr = -3; // left by something else
	ASSERT_EQ(gpio_init(), 0);
	EXPECT_EQ(ipc.state().gpiousr, 1);
	ipc.state().gpiousr = 0;
	ASSERT_EQ(gpio_done(), 0);
	EXPECT_EQ(ipc.state().gpiousr, 0);
}

// The sound channel's select lines carry the channel number inverted, each
// line handed the masked bit itself: the value file gets that digit, which
// the kernel takes as high when it is not 0.
TEST_F(Gpio, SelectLinesGetTheMaskedBitsAsDigits)
{
	variant(0, 5);
	ipc.state().num_buttons = 8;
	ASSERT_EQ(gpio_init(), 0);
	auto level = [&](int n) { return dir.read("sys/class/gpio/gpio" + std::to_string(n) + "/value").substr(0, 1); };

	ASSERT_EQ(sound_set_ch(0), 0); // 000, inverted 111
	EXPECT_EQ(level(47) + level(52) + level(57) + level(59), "1421");
	ASSERT_EQ(sound_set_ch(5), 0); // 101, inverted 010
	EXPECT_EQ(level(47) + level(52) + level(57) + level(59), "1020");
	ASSERT_EQ(sound_set_ch(-1), 0); // none: code 7, inverted 000
	EXPECT_EQ(level(47) + level(52) + level(57) + level(59), "0000");
	ASSERT_EQ(gpio_done(), 0);
}

TEST(GpioName, FormatsUnderTheRoot)
{
	unsetenv("KEL_ROOT");
	char *n = gpio_name(GPIO_VALUE, 86);
	EXPECT_STREQ(n, "/sys/class/gpio/gpio86/value");
	free(n);
	setenv("KEL_ROOT", "/tmp/x", 1);
	n = gpio_name(GPIO_DIR, 7);
	EXPECT_STREQ(n, "/tmp/x/sys/class/gpio/gpio7");
	free(n);
	unsetenv("KEL_ROOT");
}

TEST(SysfsGpio, ConsoleLine)
{
	TmpDir dir;
	std::filesystem::create_directories(dir.path("sys/class/gpio/gpio49"));
	dir.write("sys/class/gpio/export", "");
	dir.write("sys/class/gpio/gpio49/value", "0\n");
	dir.write("sys/class/gpio/gpio49/direction", "in\n");

	int fd = sysfs_gpio::gpio_open(49);
	ASSERT_GE(fd, 0);
	EXPECT_EQ(dir.read("sys/class/gpio/export"), ""); // already exported
	EXPECT_EQ(sysfs_gpio::gpio_mode_set(49, 1), 0);
	EXPECT_EQ(dir.read("sys/class/gpio/gpio49/direction"), "out");
	EXPECT_EQ(sysfs_gpio::gpio_set(fd, 1), 0);
	EXPECT_EQ(dir.read("sys/class/gpio/gpio49/value"), "1\n");
	close(fd);

	// A missing line is exported first; without a kernel it does not appear.
	EXPECT_EQ(sysfs_gpio::gpio_open(50), -ENOENT);
	EXPECT_EQ(dir.read("sys/class/gpio/export"), "50");
}

} // namespace
