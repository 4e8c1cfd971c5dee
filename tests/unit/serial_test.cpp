#include <asm/termbits.h>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <cstdlib>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>

#include "cfg.h"
#include "serial.h"
#include "tmpdir.h"

namespace {

using namespace std::chrono;

// A pseudo-terminal pair: the library opens the slave by name, the test
// plays the device on the master.
class Serial : public ::testing::Test {
protected:
	TmpDir dir;
	int master = -1;
	int slave = -1;
	std::string path;

	void SetUp() override
	{
		master = posix_openpt(O_RDWR | O_NOCTTY);
		ASSERT_GE(master, 0);
		ASSERT_EQ(grantpt(master), 0);
		ASSERT_EQ(unlockpt(master), 0);
		path = ptsname(master);
		// Held open so that closing the library's descriptor is no hang-up.
		slave = open(path.c_str(), O_RDWR | O_NOCTTY);
		ASSERT_GE(slave, 0);
		terminal(0, 2); // no serial adapter
	}
	void TearDown() override
	{
		cfg_cache_drop();
		if (master >= 0)
			close(master);
		close(slave);
	}

	void terminal(int cio, int rev)
	{
		cfg_cache_drop();
		dir.write("etc/device.conf", "cio=" + std::to_string(cio) + "\nrevision=" + std::to_string(rev) + "\n");
	}

	void send(const std::string &s) { ASSERT_EQ(write(master, s.data(), s.size()), (ssize_t)s.size()); }

	std::string received(int ms = 200)
	{
		std::string out;
		pollfd p = { master, POLLIN, 0 };
		char buf[256];
		while (poll(&p, 1, ms) == 1) {
			ssize_t n = read(master, buf, sizeof(buf));
			if (n <= 0)
				break;
			out.append(buf, (size_t)n);
		}
		return out;
	}

	static termios2 settings(int fd)
	{
		termios2 t = {};
		ioctl(fd, TCGETS2, &t);
		return t;
	}
};

TEST_F(Serial, RawModeAtAnyRate)
{
	for (int baud : { 4000000, 230400, 12345 }) {
		int fd = serial_open_raw(path.c_str(), baud, 8, 0, 0, 1);
		ASSERT_GE(fd, 0);
		termios2 t = settings(fd);
		EXPECT_EQ(t.c_ispeed, (speed_t)baud);
		EXPECT_EQ(t.c_ospeed, (speed_t)baud);
		EXPECT_EQ(t.c_cflag & CBAUD, (tcflag_t)BOTHER);
		EXPECT_EQ(t.c_cflag & (CSIZE | CSTOPB | PARENB | CREAD | CLOCAL | CRTSCTS), (tcflag_t)(CS8 | CREAD | CLOCAL));
		EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
		EXPECT_EQ(t.c_iflag & (ICRNL | IXON | IGNBRK), (tcflag_t)IGNBRK);
		EXPECT_EQ(t.c_oflag & OPOST, 0u);
		EXPECT_EQ(t.c_cc[VMIN], 0);
		EXPECT_EQ(t.c_cc[VTIME], 1);
		EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);

		// Bytes pass untouched both ways.
		send("\r\n\x03\xff");
		EXPECT_EQ(serial_getchr(fd, 1000), '\r');
		EXPECT_EQ(serial_getchr(fd, 1000), '\n');
		EXPECT_EQ(serial_getchr(fd, 1000), 3);
		EXPECT_EQ(serial_getchr(fd, 1000), 0xff);
		ASSERT_EQ(write(fd, "a\nb", 3), 3);
		EXPECT_EQ(received(), "a\nb");
		EXPECT_EQ(serial_close(fd), 0);
	}
}

TEST_F(Serial, PortIsExclusive)
{
	int fd = serial_open_raw(path.c_str(), 9600, 8, 0, 0, 1);
	ASSERT_GE(fd, 0);
	EXPECT_EQ(serial_open_raw(path.c_str(), 9600, 8, 0, 0, 1), -EBUSY);
	testing::internal::CaptureStderr();
	EXPECT_EQ(serial_open_flags(path.c_str(), 9600, 8, 0, 0, 1, SERIAL_BUS), -EBUSY);
	EXPECT_EQ(testing::internal::GetCapturedStderr(), "flock() failed with 11\n");
	serial_close(fd);
	fd = serial_open_raw(path.c_str(), 9600, 8, 0, 0, 1);
	EXPECT_GE(fd, 0);
	serial_close(fd);

	testing::internal::CaptureStderr();
	EXPECT_EQ(serial_open_raw(dir.path("dev/none").c_str(), 9600, 8, 0, 0, 1), -ENOENT);
	EXPECT_EQ(testing::internal::GetCapturedStderr(), "open(\"" + dir.path("dev/none") + "\", ...) failed with 2\n");
}

TEST_F(Serial, AdapterIsProgrammedWhereTheTerminalHasOne)
{
	struct {
		int cio, rev, baud;
		std::string bytes;
	} cases[] = {
		{ 1, 4, 230400, std::string("\x80\x00\x84\x03", 4) },
		{ 0, 5, 115200, "\x06" },
		{ 0, 5, 38400, "\x04" },
		{ 1, 3, 230400, "" },
		{ 0, 4, 230400, "" },
	};
	for (auto &c : cases) {
		terminal(c.cio, c.rev);
		int fd = serial_open(path.c_str(), c.baud, 8, 0, 0, 1);
		ASSERT_GE(fd, 0);
		EXPECT_EQ(received(), c.bytes) << c.cio << "," << c.rev;
		EXPECT_EQ(settings(fd).c_ospeed, (speed_t)c.baud);
		EXPECT_EQ(serial_close(fd), 0);
		EXPECT_EQ(received(50), ""); // a reset sends a break, no bytes
	}
	// The raw open never touches the adapter.
	terminal(1, 4);
	int fd = serial_open_raw(path.c_str(), 230400, 8, 0, 0, 1);
	ASSERT_GE(fd, 0);
	EXPECT_EQ(received(), "");
	close(fd);
}

TEST_F(Serial, WaitstrSkipsOtherBytes)
{
	int fd = serial_open_raw(path.c_str(), 9600, 8, 0, 0, 1);
	ASSERT_GE(fd, 0);
	send("xOyK");
	EXPECT_EQ(serial_waitstr(fd, "OK", 1000), 0);
	send("OOK");
	EXPECT_EQ(serial_waitstr(fd, "OK", 1000), 0);
	serial_close(fd);
}

TEST_F(Serial, WaitchrTimesOutWithTheSkippedBytes)
{
	int fd = serial_open_raw(path.c_str(), 9600, 8, 0, 0, 1);
	ASSERT_GE(fd, 0);
	send("abc");
	testing::internal::CaptureStderr();
	auto t0 = steady_clock::now();
	EXPECT_EQ(serial_waitchr(fd, 'U', 1000), -ETIMEDOUT);
	auto took = steady_clock::now() - t0;
	std::string err = testing::internal::GetCapturedStderr();
	EXPECT_GE(took, milliseconds(990));
	EXPECT_LT(took, milliseconds(5000));
	EXPECT_TRUE(err.starts_with("serial_waitchr(): select() returns 0, took ")) << err;
	EXPECT_TRUE(err.ends_with("ns\nserial_waitchr(): Last received bytes:abc\n")) << err;

	// The last 16 only, non-printable bytes in hexadecimal.
	send(std::string("0123456789") + "\x01\x1f\x7f\x80\xff xyz");
	testing::internal::CaptureStderr();
	EXPECT_EQ(serial_waitchr(fd, 'U', 300), -ETIMEDOUT);
	err = testing::internal::GetCapturedStderr();
	EXPECT_TRUE(err.ends_with("Last received bytes:3456789\\x01\\x1F\x7f\\x80\\xFF xyz\n")) << err;

	// Nothing received: no history line; success prints nothing.
	testing::internal::CaptureStderr();
	EXPECT_EQ(serial_waitchr(fd, 'U', 100), -ETIMEDOUT);
	send("U");
	EXPECT_EQ(serial_waitchr(fd, 'U', 100), 0);
	err = testing::internal::GetCapturedStderr();
	EXPECT_EQ(err.find("Last received"), std::string::npos);
	EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);
	serial_close(fd);
}

TEST_F(Serial, FloodDoesNotStretchTheWait)
{
	int fd = serial_open_raw(path.c_str(), 9600, 8, 0, 0, 1);
	ASSERT_GE(fd, 0);
	bool stop = false;
	fcntl(master, F_SETFL, O_NONBLOCK);
	std::thread flood([&] {
		std::string junk(64, 'x');
		while (!__atomic_load_n(&stop, __ATOMIC_RELAXED))
			if (write(master, junk.data(), junk.size()) < 0)
				usleep(100);
	});
	testing::internal::CaptureStderr();
	auto t0 = steady_clock::now();
	EXPECT_EQ(serial_waitchr(fd, 'U', 300), -ETIMEDOUT);
	auto took = steady_clock::now() - t0;
	testing::internal::GetCapturedStderr();
	__atomic_store_n(&stop, true, __ATOMIC_RELAXED);
	flood.join();
	EXPECT_LT(took, milliseconds(3000));
	serial_close(fd);
}

TEST_F(Serial, SilenceAndHangUp)
{
	int fd = serial_open_raw(path.c_str(), 9600, 8, 0, 0, 1);
	ASSERT_GE(fd, 0);
	EXPECT_EQ(serial_getchr(fd, 100), -ETIMEDOUT);
	EXPECT_EQ(serial_waitdata(fd, 100), -ETIMEDOUT);
	send("z");
	EXPECT_EQ(serial_waitdata(fd, 1000), 0);
	EXPECT_EQ(serial_flush(fd), 0);
	EXPECT_EQ(serial_getchr(fd, 100), -ETIMEDOUT);

	close(master);
	master = -1;
	testing::internal::CaptureStderr();
	EXPECT_EQ(serial_getchr(fd, 1000), -EIO);
	EXPECT_EQ(serial_waitdata(fd, 1000), -EIO);
	// serial_getchr() waits with serial_waitdata(), which says so.
	EXPECT_EQ(testing::internal::GetCapturedStderr(), "serial_waitdata(): poll() reports an error\n"
							  "serial_waitdata(): poll() reports an error\n");
	EXPECT_LT(serial_waitchr(fd, 'U', 1000), 0);
	close(fd);
}

TEST_F(Serial, BusPortStaysNonBlocking)
{
	int fd = serial_open_flags(path.c_str(), 115200, 8, 0, 0, 1, SERIAL_BUS);
	ASSERT_GE(fd, 0);
	EXPECT_NE(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
	EXPECT_EQ(settings(fd).c_cc[VTIME], 0);
	EXPECT_EQ(serial_getchr_us(fd, 20000), -ETIMEDOUT);

	std::thread later([&] {
		usleep(100000);
		send("xyU");
	});
	testing::internal::CaptureStderr();
	EXPECT_EQ(serial_waitchr_us(fd, 'U', -1, false), 0); // no limit
	later.join();
	EXPECT_EQ(serial_waitchr_us(fd, 'U', 50000, false), -ETIMEDOUT);
	EXPECT_EQ(testing::internal::GetCapturedStderr(), ""); // the bus waits are quiet
	EXPECT_EQ(serial_wait_us(fd, 1000), -ETIMEDOUT);
	testing::internal::CaptureStderr();

	// A line that hangs up is ready at once, and the read tells.
	close(master);
	master = -1;
	EXPECT_EQ(serial_wait_us(fd, 1000000), 0);
	EXPECT_LT(serial_getchr_us(fd, 1000000), 0);
	EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
	serial_close(fd);
}

TEST_F(Serial, ModemLinesOfAPortWithout)
{
	int fd = serial_open_raw(path.c_str(), 9600, 8, 0, 0, 1);
	ASSERT_GE(fd, 0);
	testing::internal::CaptureStderr();
	EXPECT_LT(serial_dsr(fd), 0); // a pseudo-terminal has no modem lines
	EXPECT_LT(serial_set_rts(fd, 1), 0);
	std::string err = testing::internal::GetCapturedStderr();
	EXPECT_TRUE(err.starts_with("serial_modem_ctl(): ioctl() failed with ")) << err;
	EXPECT_NE(err.find("serial_modem_set_ctl(): ioctl() failed with "), std::string::npos);
	serial_close(fd);
}

} // namespace
