#include "console_pipe.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "errmsg.h"
#include "rootpath.h"
#include "shared_state.h"

int console_try_open(void)
{
	// Non-blocking: fails at once while nobody reads the pipe. It stays
	// non-blocking, so a console that stopped reading can never hold up
	// the daemon; a command line is far below the pipe's atomic size.
	int fd = open(kel_path(CONSOLE_PIPE), O_WRONLY | O_NONBLOCK | O_CLOEXEC);

	return fd < 0 ? neg_errno() : fd;
}

int console_open(void)
{
	int fd = console_try_open();

	if (fd < 0) {
		errno = -fd;
		return neg_errno_automsg();
	}
	return fd;
}

int console_send(int fd, console_line line)
{
	ssize_t n = write(fd, line.text, line.len);

	return n < 0 ? neg_errno_automsg() : (int)n;
}

int fifo_unread(int fd)
{
	int n;

	return ioctl(fd, FIONREAD, &n) == 0 ? n : neg_errno_automsg();
}

int fifo_drain(int fd, int timeout_ms)
{
	int n;

	for (int waited = 0; (n = fifo_unread(fd)) >= 1 && waited < timeout_ms; waited += 20)
		vgd_msleep(20);
	return n >= 1 ? -ETIMEDOUT : n;
}
