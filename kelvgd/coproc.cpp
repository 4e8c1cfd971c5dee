#include "coproc.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <unistd.h>

#include "errmsg.h"
#include "gpio.h"
#include "serial.h"
#include "serial_reply.h"
#include "shared_state.h"
#include "util.h"

#define COPROC_PROMPT '>'
#define COPROC_NAK 0x15
#define COPROC_ECHO_MS 1000
#define COPROC_REPLY_MS 1000
#define COPROC_BOOT_MS 11000

static int coproc_reset(int fd)
{
	int r;

	if ((r = gpio_set(COPROC_RESET_GPIO, 0)) < 0 || (r = vgd_msleep(80)) < 0 ||
	    (r = gpio_set(COPROC_RESET_GPIO, 1)) < 0)
		return r;
	serial_flush(fd);
	if ((r = vgd_msleep(1)) < 0 || (r = gpio_set(COPROC_RESET_GPIO, 0)) < 0 || (r = vgd_msleep(10)) < 0)
		return r;

	for (int i = 0; i < 32; i++) {
		r = serial_getchr(fd, COPROC_BOOT_MS);
		if (r == COPROC_PROMPT)
			return 0;
		if (r == COPROC_NAK)
			return -ENOMEDIUM;
		if (r < 0)
			return r;
	}
	return -ETIMEDOUT;
}

int coproc_init(const char *path, int baud)
{
	int fd = serial_open_raw(path, baud, 8, 0, 0, 1);
	int r;

	if (fd < 0) {
		errno = -fd;
		return neg_errno_automsg();
	}
	r = coproc_reset(fd);
	if (r < 0) {
		serial_close(fd);
		return r;
	}
	return fd;
}

int coproc_done(int fd)
{
	return serial_close(fd);
}

// Writes one byte; a write that takes nothing is tried again, 32 times in all.
static int coproc_putc(int fd, char c)
{
	for (int attempt = 0; attempt < 32; attempt++) {
		ssize_t n = write(fd, &c, 1);

		if (n == 1)
			return 0;
		if (n < 0 && errno != EAGAIN && errno != EINTR)
			return neg_errno();
	}
	return -ETIMEDOUT;
}

int coproc_cmd(int fd, const char *fmt, ...)
{
	char cmd[256];
	va_list ap;
	int len;
	int r;

	va_start(ap, fmt);
	len = vsnprintf(cmd, sizeof(cmd), fmt, ap);
	va_end(ap);
	if (len < 0)
		return -EINVAL;
	if (len > 255)
		return -E2BIG;

	for (int i = 0; i < len; i++) {
		if ((r = coproc_putc(fd, cmd[i])) < 0)
			return r;
		// Also skips what is left of the previous reply.
		r = serial_waitchr(fd, cmd[i], COPROC_ECHO_MS);
		if (r < 0) {
			fprintf(stderr, "%s(): Last written data: %.*s\n", __func__, i + 1, cmd);
			return r;
		}
	}
	ssize_t n;

	do
		n = write(fd, "\r", 1);
	while (n < 0 && errno == EINTR);
	if (n < 0)
		return neg_errno();
	if (n == 0) {
		fprintf(stderr, "%s(): Short write\n", __func__);
		return -EIO;
	}
	r = serial_waitchr(fd, '\r', COPROC_ECHO_MS);
	if (r < 0)
		fprintf(stderr, "%s(): Last written data: %s\\n\n", __func__, cmd);
	return r;
}

int coproc_readnums(int fd, int32_t *nums, int *count)
{
	return serial_reply_nums(fd, nums, count, __func__);
}

int coproc_readnum(int fd, int32_t *num)
{
	int count = 1;
	int r = coproc_readnums(fd, num, &count);

	return r < 0 ? r : count == 1 ? 0 : -ENODATA;
}

// A command with a one-number reply that must not be negative.
static int coproc_query(int fd, int32_t *v, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
static int coproc_query(int fd, int32_t *v, const char *fmt, ...)
{
	char cmd[256];
	va_list ap;
	int n;
	int r;

	va_start(ap, fmt);
	n = vsnprintf(cmd, sizeof(cmd), fmt, ap);
	va_end(ap);
	if (n < 0 || (size_t)n >= sizeof(cmd))
		return -E2BIG;
	if ((r = coproc_cmd(fd, "%s", cmd)) < 0 || (r = coproc_readnum(fd, v)) < 0)
		return r;
	return *v < 0 ? -ERANGE : 0;
}

int coproc_info(int fd, int *devtype, int *minor)
{
	int32_t v;
	int r = coproc_cmd(fd, "ver");

	if (r < 0) {
		fprintf(stderr, "%s(): \"ver\" command failed\n", __func__);
		return r;
	}
	r = coproc_readnum(fd, &v);
	if (r < 0)
		return r;
	*devtype = (v >> 8) & 0xff;
	*minor = v & 0xff;
	return 0;
}

int coproc_adc(int fd, unsigned channel)
{
	int32_t v;
	int r = coproc_query(fd, &v, "adc %u", channel);

	if (r < 0)
		return r;
	return v <= 1023 ? v : -ERANGE; // a 10-bit converter
}

int coproc_input(int fd, unsigned input)
{
	int32_t v;
	int r = coproc_query(fd, &v, "input %u", input);

	return r < 0 ? r : (uint32_t)v == input ? 0 : -EINVAL;
}

int coproc_calls(int fd, uint32_t *pressed, uint32_t *latched)
{
	int32_t v[3];
	int count = 3; // a third number is as wrong as a missing one
	int r;

	if ((r = coproc_cmd(fd, "calls")) < 0 || (r = coproc_readnums(fd, v, &count)) < 0)
		return r;
	if (count != 2)
		return -ENODATA;
	*pressed = (uint32_t)v[0];
	*latched = (uint32_t)v[1];
	return 0;
}

int coproc_charge(int fd, int on)
{
	unsigned off = on ? 0 : 1;
	int32_t v;
	int r = coproc_query(fd, &v, "power %u", off);

	return r < 0 ? r : (uint32_t)v == off ? 0 : -EINVAL;
}

int coproc_wdt(int fd, int seconds)
{
	int32_t v;
	int r = seconds < 0 ? coproc_query(fd, &v, "wdt") : coproc_query(fd, &v, "wdt %u", (unsigned)seconds);

	return r < 0 ? r : v;
}

int coproc_temp_convert(int fd)
{
	int32_t v;
	int r = coproc_query(fd, &v, "tcon");

	return r < 0 ? r : v;
}

int coproc_temp_read(int fd, double *values, int *count)
{
	int32_t raw[2];
	int n = std::clamp(*count, 0, 2);
	int r;

	*count = 0;
	if ((r = coproc_cmd(fd, "trd")) < 0 || (r = coproc_readnums(fd, raw, &n)) < 0)
		return r;
	for (int i = 0; i < n; i++)
		values[i] = raw[i] * 0.0625;
	*count = n;
	return 0;
}

int coproc_board_temp(int fd, int *temp)
{
	int32_t v;
	int r = coproc_cmd(fd, "temp");

	if (r < 0 || (r = coproc_readnum(fd, &v)) < 0)
		return r;
	*temp = v;
	return 0;
}

int coproc_freq_set(int fd, unsigned freq)
{
	return coproc_cmd(fd, "freq %u", freq);
}

int coproc_si(int fd, unsigned mask)
{
	return coproc_cmd(fd, "si %u", mask % 256);
}

int coproc_pkt_send(int fd, const uint8_t *bytes, size_t count)
{
	static const char hex[] = "0123456789abcdef";
	char text[2 * 96 + 1];
	int r;

	if (count == 0)
		return 0;
	if (count > 96)
		return -EMSGSIZE;
	for (size_t i = 0; i < count; i++) {
		text[2 * i] = hex[bytes[i] >> 4];
		text[2 * i + 1] = hex[bytes[i] & 15];
	}
	text[2 * count] = '\0';
	if ((r = coproc_cmd(fd, "pkt %s", text)) < 0)
		return r;
	return serial_waitchr(fd, ' ', COPROC_REPLY_MS);
}

int coproc_read_ld(int fd, uint8_t *buf, unsigned samples)
{
	struct timespec t0, t1;
	uint8_t sink[4096];
	unsigned want;
	unsigned got = 0;
	int r;

	clock_gettime(CLOCK_MONOTONIC, &t0);
	if (samples == 0)
		return 0;
	if (samples + 3u > 262143u || samples > UINT_MAX - 3)
		return -ENOSYS;
	want = (samples + 3) / 4;
	if ((r = coproc_cmd(fd, "cnt %u", want)) < 0 || (r = serial_waitchr(fd, ' ', COPROC_REPLY_MS)) < 0)
		return r;
	clock_gettime(CLOCK_MONOTONIC, &t1);

	while (got < want) {
		size_t room = buf ? want - got : sizeof(sink);
		ssize_t n;

		if ((r = serial_waitdata(fd, COPROC_REPLY_MS)) < 0)
			return r;
		n = read(fd, buf ? buf + got : sink, room);
		if (n < 0)
			return neg_errno();
		if (n == 0)
			return -ETIMEDOUT;
		if (!buf && (size_t)n > want - got)
			break;
		got += (unsigned)n;
	}
	return (int)std::min<int64_t>(ts_elapsed_ns(&t0, &t1), INT32_MAX);
}
