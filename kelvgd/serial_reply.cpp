#include "serial_reply.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "errmsg.h"
#include "serial.h"

// Reads until the last byte received is a blank. Returns the bytes read.
static int serial_reply_chunk(int fd, char *buf, size_t size)
{
	size_t len = 0;

	do {
		int r = serial_waitdata(fd, SERIAL_REPLY_WAIT_MS);
		ssize_t n;

		if (r < 0)
			return r;
		do
			n = read(fd, buf + len, size - len);
		while (n < 0 && errno == EINTR);
		if (n < 0)
			return neg_errno();
		if (n == 0)
			return -ETIMEDOUT;
		len += (size_t)n;
	} while ((unsigned char)buf[len - 1] > 32 && len < size);
	return (int)len;
}

int serial_reply_nums(int fd, int32_t *nums, int *count, const char *who)
{
	char buf[SERIAL_REPLY_MAX + 1];
	const int max = *count;
	size_t total = 0;

	*count = 0;
	for (;;) {
		int len = serial_reply_chunk(fd, buf, SERIAL_REPLY_MAX);
		char *p = buf;

		if (len < 0)
			return len;
		// A peer that sends without ever ending a reply is not answering.
		total += (size_t)len;
		if (total > SERIAL_REPLY_MAX && (unsigned char)buf[len - 1] > 32)
			return -EMSGSIZE;
		buf[len] = '\0';

		while (*count < max) {
			char *end;
			long v;

			errno = 0;
			v = strtol(p, &end, 0);
			if (errno) { // beyond even what the conversion takes
				int r = neg_errno();

				fprintf(stderr, "%s(): strtol() failed on \"%s\"\n", who, p);
				return r;
			}
			if (end == p)
				break;
			if (v < INT32_MIN || v > INT32_MAX)
				return -ERANGE;
			nums[(*count)++] = (int32_t)v;
			p = *end ? end + 1 : end;
		}
		if (buf[len - 1] == '\r' || *count >= max)
			return 0;
		if (total > SERIAL_REPLY_MAX)
			return -EMSGSIZE;
	}
}
