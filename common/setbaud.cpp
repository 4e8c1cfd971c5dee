// Arbitrary baud rates need the kernel's termios2, whose header cannot be
// included together with the C library's <termios.h>.
#include <asm/termbits.h>
#include <cerrno>
#include <cstdio>
#include <sys/ioctl.h>

#include "serial.h"

int serial_setbaud(int fd, int baud)
{
	struct termios2 tio;

	if (ioctl(fd, TCGETS2, &tio) != 0) {
		int e = errno;

		fprintf(stderr, "ioctl(..., TCGETS2, ...) failed with %d\n", e);
		return -e;
	}
	tio.c_cflag &= ~CBAUD;
	tio.c_cflag |= BOTHER;
	tio.c_ispeed = (speed_t)baud;
	tio.c_ospeed = (speed_t)baud;
	ioctl(fd, TCSETS2, &tio);
	return 0;
}

bool serial_baud_supported(unsigned long long baud)
{
	return baud >= SERIAL_BAUD_MIN && baud <= SERIAL_BAUD_MAX;
}
