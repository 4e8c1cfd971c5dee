// The character format of an open. A pseudo-terminal always reports 8 bits
// without parity, so the settings are checked before they reach a driver.
#include <gtest/gtest.h>
#include <termios.h>

#include "serial.h"

namespace {

TEST(SerialMode, CharacterFormats)
{
	struct {
		int bits, parity, odd, stop;
		tcflag_t cflag, iflag;
	} cases[] = {
		{ 9, 0, 0, 0, CS8, 0 },
		{ 4, 0, 1, 3, CS8, 0 },
		{ 8, 0, 0, 2, CS8 | CSTOPB, 0 },
		{ 7, 1, 0, 2, CS7 | PARENB | CSTOPB, INPCK | ISTRIP },
		{ 6, 1, 0, 1, CS6 | PARENB, INPCK | ISTRIP },
		{ 5, 1, 1, 1, CS5 | PARENB | PARODD, INPCK | ISTRIP },
	};
	for (auto &c : cases) {
		termios t;
		memset(&t, 0xff, sizeof(t)); // every flag set before
		serial_raw_mode(&t, c.bits, c.parity, c.odd, c.stop, 0);
		EXPECT_EQ(t.c_cflag & (CSIZE | CSTOPB | PARENB | PARODD | CRTSCTS), c.cflag) << c.bits;
		EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL), (tcflag_t)(CREAD | CLOCAL));
		EXPECT_EQ(t.c_iflag & (INPCK | ISTRIP | IGNPAR | PARMRK | ICRNL | IXON | IXOFF | IGNBRK),
			  c.iflag | IGNBRK);
		EXPECT_EQ(t.c_oflag & 0xff, 0u);
		EXPECT_EQ(t.c_lflag & (ISIG | ICANON | ECHO | ECHOE | FLUSHO | IEXTEN), 0u);
		EXPECT_EQ(t.c_cc[VMIN], 0);
		EXPECT_EQ(t.c_cc[VTIME], 1);
	}
	termios t = {};
	serial_raw_mode(&t, 8, 0, 0, 1, SERIAL_NONBLOCK);
	EXPECT_EQ(t.c_cc[VTIME], 0);
}

} // namespace
