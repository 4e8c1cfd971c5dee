#include "serial.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

#include "cfg.h"
#include "errmsg.h"
#include "paths.h"
#include "rootpath.h"
#include "util.h"

// Fails the open: closes the port and hands back the error.
static int serial_abandon(int fd, int err)
{
	close(fd);
	return err;
}

static int serial_syscall_failed(int fd, const char *what)
{
	int e = errno;

	fprintf(stderr, "%s failed with %d\n", what, e);
	return serial_abandon(fd, e > 0 ? -e : -EIO);
}

void serial_raw_mode(struct termios *tio, int bits, int parity, int odd, int stop, unsigned flags)
{
	static const tcflag_t sizes[] = { CS5, CS6, CS7, CS8 };

	tio->c_iflag &= ~(IGNPAR | PARMRK | INPCK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC | IXON | IXOFF);
	tio->c_iflag |= IGNBRK;
	if (parity)
		tio->c_iflag |= INPCK | ISTRIP;
	tio->c_oflag &= ~(tcflag_t)0xff;
	tio->c_cflag &= ~(CRTSCTS | CSIZE | CSTOPB | PARENB | PARODD);
	tio->c_cflag |= bits >= 5 && bits <= 8 ? sizes[bits - 5] : CS8;
	if (stop == 2)
		tio->c_cflag |= CSTOPB;
	if (parity)
		tio->c_cflag |= PARENB;
	if (parity && odd)
		tio->c_cflag |= PARODD;
	tio->c_cflag |= CREAD | CLOCAL;
	tio->c_lflag &= ~(ISIG | ICANON | ECHO | ECHOE | FLUSHO | IEXTEN);
	tio->c_cc[VMIN] = 0;
	tio->c_cc[VTIME] = flags & SERIAL_NONBLOCK ? 0 : 1;
}

static void serial_low_latency(int fd)
{
	struct serial_struct ss;

	if (ioctl(fd, TIOCGSERIAL, &ss) != 0)
		return; // not a UART: nothing to tune
	ss.flags |= ASYNC_LOW_LATENCY;
	ss.xmit_fifo_size = 2;
	if (ioctl(fd, TIOCSSERIAL, &ss) != 0)
		fprintf(stderr, "WARNING: TIOCSSERIAL failed with %d\n", errno);
}

int serial_open_flags(const char *path, int baud, int bits, int parity, int odd, int stop, unsigned flags)
{
	struct termios tio;
	int fd;
	int r;

	fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
	if (fd < 0) {
		r = neg_errno();
		fprintf(stderr, "open(\"%s\", ...) failed with %d\n", path, -r);
		return r;
	}
	if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
		if (errno != EWOULDBLOCK)
			return serial_syscall_failed(fd, "flock()");
		if (flags & SERIAL_REPORT_BUSY)
			fprintf(stderr, "flock() failed with %d\n", errno);
		return serial_abandon(fd, -EBUSY);
	}
	if (flags & SERIAL_LOW_LATENCY)
		serial_low_latency(fd);
	if (!(flags & SERIAL_NONBLOCK) && fcntl(fd, F_SETFL, 0) != 0)
		return serial_syscall_failed(fd, "fcntl()");
	if (tcgetattr(fd, &tio) != 0)
		return serial_syscall_failed(fd, "tcgetattr()");
	serial_raw_mode(&tio, bits, parity, odd, stop, flags);
	if (tcsetattr(fd, TCSANOW, &tio) != 0)
		return serial_syscall_failed(fd, "tcsetattr()");

	if (flags & SERIAL_ADAPTER) {
		r = cfg_serial_adapter(fd, baud);
		if (r < 0)
			return serial_abandon(fd, r);
	}
	r = serial_setbaud(fd, baud);
	if (r < 0)
		return serial_abandon(fd, r);
	return fd;
}

int __serial_open(const char *path, int baud, int bits, int parity, int odd, int stop, int cfg_adapter)
{
	return serial_open_flags(path, baud, bits, parity, odd, stop, cfg_adapter ? SERIAL_ADAPTER : 0);
}

int serial_open(const char *path, int baud, int bits, int parity, int odd, int stop)
{
	return __serial_open(path, baud, bits, parity, odd, stop, 1);
}

int serial_open_raw(const char *path, int baud, int bits, int parity, int odd, int stop)
{
	return __serial_open(path, baud, bits, parity, odd, stop, 0);
}

int serial_close(int fd)
{
	if (cfg_serial_adapter(fd, 0) != 0)
		fprintf(stderr, "%s(): cfg_serial_adapter() reports an error\n", __func__);
	return close(fd) == 0 ? 0 : neg_errno();
}

// The adapter's rate command: one byte for its two preset rates, else 0x80
// and the rate as 24 bits, least significant byte first.
static int serial_adapter_command(int baud, unsigned char cmd[4])
{
	if (baud == 38400) {
		cmd[0] = 0x04;
		return 1;
	}
	if (baud == 115200) {
		cmd[0] = 0x06;
		return 1;
	}
	cmd[0] = 0x80;
	cmd[1] = (unsigned char)baud;
	cmd[2] = (unsigned char)(baud >> 8);
	cmd[3] = (unsigned char)(baud >> 16);
	return 4;
}

int cfg_serial_adapter(int fd, int baud)
{
	const char *device = kel_path(DEVICE_CONF);
	int32_t cio = 0, rev = 0;
	unsigned char cmd[4];
	int n;
	int r;

	cfg_read_int(device, "cio", &cio);
	cfg_read_int(device, "revision", &rev);
	if (!((cio != 0 && rev > 3) || (cio == 0 && rev > 4)))
		return 0;

	if ((r = serial_setbaud(fd, 9600)) < 0)
		return r;
	if (tcsendbreak(fd, 0) != 0)
		return neg_errno();
	if (baud == 0)
		return 0;

	if ((r = serial_setbaud(fd, 115200)) < 0)
		return r;
	n = serial_adapter_command(baud, cmd);
	if (write(fd, cmd, (size_t)n) != n || tcdrain(fd) != 0)
		return neg_errno();
	return 0;
}

int serial_flush(int fd)
{
	return tcflush(fd, TCIFLUSH) == 0 ? 0 : neg_errno();
}

// Waits for input. A signal does not end the wait early: a half-finished
// exchange would leave the peer out of step.
//
// The daemon's waits take a hang-up or an error of the line as a failure
// of their own. The bus waits see the line as select() does: a hang-up or
// an error makes it readable, and the read that follows tells what
// happened; only an exceptional condition fails the wait.
static int serial_poll_in(int fd, long timeout_us, const char *who, bool bus)
{
	struct pollfd p = { fd, (short)(POLLIN | (bus ? POLLPRI : 0)), 0 };
	struct timespec start;
	int n;

	clock_gettime(CLOCK_MONOTONIC, &start);
	for (;;) {
		long left_us = timeout_us < 0 ? -1 : timeout_us - (long)(ts_elapsed_ns(&start, nullptr) / NSEC_PER_USEC);
		int ms = left_us < 0 ? (timeout_us < 0 ? -1 : 0) : (int)((left_us + 999) / 1000);

		n = poll(&p, 1, ms);
		if (n >= 0 || errno != EINTR)
			break;
	}
	if (n < 0)
		return neg_errno();
	if (bus) {
		if (p.revents & POLLNVAL)
			return -EBADF;
		if (p.revents & POLLPRI) {
			fprintf(stderr, "%s(): select() reports an error\n", who);
			return -EIO;
		}
	} else if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) {
		fprintf(stderr, "%s(): poll() reports an error\n", who);
		return -EIO;
	}
	return n > 0 ? 0 : -ETIMEDOUT;
}

static int serial_read_byte(int fd)
{
	unsigned char b;
	ssize_t n;

	do
		n = read(fd, &b, 1);
	while (n < 0 && errno == EINTR);

	if (n < 0)
		return neg_errno();
	return n == 0 ? -ENODATA : b;
}

int serial_wait_us(int fd, long timeout_us)
{
	return serial_poll_in(fd, timeout_us, "serial_wait", true);
}

int serial_waitdata(int fd, int timeout_ms)
{
	return serial_poll_in(fd, timeout_ms * 1000L, __func__, false);
}

int serial_getchr_us(int fd, long timeout_us)
{
	int r = serial_poll_in(fd, timeout_us, "serial_getchr", true);

	return r < 0 ? r : serial_read_byte(fd);
}

int serial_getchr(int fd, int timeout_ms)
{
	int r = serial_waitdata(fd, timeout_ms);

	return r < 0 ? r : serial_read_byte(fd);
}

// The last bytes skipped while waiting, for the diagnostic of a failed wait.
struct serial_history {
	unsigned char bytes[16];
	unsigned count; // all bytes ever pushed
};

static void serial_history_push(serial_history *h, unsigned char b)
{
	h->bytes[h->count++ % sizeof(h->bytes)] = b;
}

static void serial_history_print(const serial_history *h, const char *who)
{
	unsigned n = h->count < sizeof(h->bytes) ? h->count : sizeof(h->bytes);

	if (!n)
		return;
	fprintf(stderr, "%s(): Last received bytes:", who);
	for (unsigned i = h->count - n; i != h->count; i++) {
		unsigned char b = h->bytes[i % sizeof(h->bytes)];

		if (b < 32 || b >= 128)
			fprintf(stderr, "\\x%02X", b);
		else
			fputc(b, stderr);
	}
	fputc('\n', stderr);
}

int serial_waitchr_us(int fd, char c, long timeout_us, bool report)
{
	static const char who[] = "serial_waitchr";
	serial_history history = {};
	struct timespec start;
	int r;

	if (fd < 0 || fd >= FD_SETSIZE)
		return -EBADF;
	clock_gettime(CLOCK_MONOTONIC, &start);
	for (;;) {
		// The budget is counted on the clock, not by select(), so that a
		// flood of other bytes cannot stretch it.
		long left_us = timeout_us < 0 ? 0 : timeout_us - (long)(ts_elapsed_ns(&start, nullptr) / NSEC_PER_USEC);
		struct timeval tv = { left_us / 1000000, left_us % 1000000 };
		struct timespec t0;
		fd_set rd, ex;
		int n;

		if (timeout_us >= 0 && left_us <= 0) {
			r = -ETIMEDOUT;
			break;
		}
		FD_ZERO(&rd);
		FD_ZERO(&ex);
		FD_SET(fd, &rd);
		FD_SET(fd, &ex);
		clock_gettime(CLOCK_MONOTONIC, &t0);
		n = select(fd + 1, &rd, nullptr, &ex, timeout_us < 0 ? nullptr : &tv);
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0) {
			r = neg_errno();
			if (report)
				fprintf(stderr, "%s(): select() returns \"%m\", took %ldns\n", who, (long)ts_elapsed_ns(&t0, nullptr));
			break;
		}
		if (n == 0) {
			if (report)
				fprintf(stderr, "%s(): select() returns 0, took %ldns\n", who, (long)ts_elapsed_ns(&t0, nullptr));
			r = -ETIMEDOUT;
			break;
		}
		if (FD_ISSET(fd, &ex)) {
			fprintf(stderr, "%s(): select() reports an error\n", who);
			r = -EIO;
			break;
		}
		r = serial_read_byte(fd);
		if (r < 0)
			break;
		if (r == (unsigned char)c)
			return 0;
		serial_history_push(&history, (unsigned char)r);
	}
	if (report)
		serial_history_print(&history, who);
	return r;
}

int serial_waitchr(int fd, char c, int timeout_ms)
{
	return serial_waitchr_us(fd, c, timeout_ms * 1000L, true);
}

int serial_waitstr(int fd, const char *s, int timeout_ms)
{
	for (; *s; s++) {
		int r = serial_waitchr(fd, *s, timeout_ms);

		if (r < 0)
			return r;
	}
	return 0;
}

int serial_modem_ctl(int fd, int bit)
{
	int status;

	if (ioctl(fd, TIOCMGET, &status) != 0) {
		int r = neg_errno();

		fprintf(stderr, "%s(): ioctl() failed with %d\n", __func__, -r);
		return r;
	}
	return (status & bit) != 0;
}

int serial_modem_set_ctl(int fd, int bit, int state)
{
	if (ioctl(fd, state ? TIOCMBIS : TIOCMBIC, &bit) != 0) {
		int r = neg_errno();

		fprintf(stderr, "%s(): ioctl() failed with %d\n", __func__, -r);
		return r;
	}
	return 0;
}
