#include "receive.h"

#include <cerrno>
#include <unistd.h>

#include "errmsg.h"
#include "serial.h"

int cio_receive(int fd, uint8_t *buf, unsigned len, int wait_ms, const char *who)
{
	uint8_t scratch[4096];
	unsigned got = 0;
	int r;

	while (got < len) {
		size_t room = len - got;
		ssize_t n;

		if ((r = serial_waitdata(fd, wait_ms)) < 0) {
			errno = -r;
			return neg_errno_msg("%s(): Wait failed\n", who);
		}
		if (!buf && room > sizeof(scratch))
			room = sizeof(scratch);
		n = read(fd, buf ? buf + got : scratch, room);
		if (n < 0 && errno == EINTR)
			continue;
		if (n == 0) // a hung-up port reads as empty and would never fill buf
			errno = EIO;
		if (n <= 0)
			return neg_errno_msg("%s(): Read failed\n", who);
		got += (unsigned)n;
	}
	return 0;
}
