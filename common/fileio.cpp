#include "fileio.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "errmsg.h"
#include "util.h"

int fd_write_all(int fd, const void *buf, size_t len)
{
	const char *p = (const char *)buf;

	while (len > 0) {
		ssize_t n = write(fd, p, len);

		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0)
			return neg_errno();
		if (n == 0)
			return -EIO;
		p += n;
		len -= (size_t)n;
	}
	return 0;
}

int file_write(const char *path, const void *buf, size_t len)
{
	int fd = open(path, O_WRONLY | O_CLOEXEC);
	int r;

	if (fd < 0)
		return neg_errno_automsg();
	r = fd_write_all(fd, buf, len);
	if (r < 0) {
		errno = -r;
		r = neg_errno_automsg();
	}
	if (close(fd) != 0 && r == 0)
		r = neg_errno_automsg();
	return r;
}

int file_writes(const char *path, const char *fmt, ...)
{
	FILE *f = fopen(path, "we");
	va_list ap;
	int n;

	if (!f)
		return neg_errno_automsg();
	va_start(ap, fmt);
	n = vfprintf(f, fmt, ap);
	va_end(ap);
	if (n < 0) {
		fclose(f);
		errno = EIO;
		return neg_errno_msg("%s(): vfprintf() failed\n", "file_writes");
	}
	if (fclose(f) != 0)
		return neg_errno_automsg();
	return 0;
}

char *file_reads(const char *path)
{
	FILE *f = fopen(path, "re");
	char *buf;
	char *shrunk;

	if (!f) {
		neg_errno_automsg();
		return nullptr;
	}
	buf = (char *)malloc(4096);
	if (buf && !fgets(buf, 4096, f)) {
		free(buf);
		buf = nullptr;
	}
	fclose(f);
	if (!buf)
		return nullptr;
	shrunk = (char *)realloc(buf, strlen(buf) + 1);
	return shrunk ? shrunk : buf;
}

int file_readint(const char *path, int32_t *val)
{
	char *s = file_reads(path);
	int r;

	if (!s)
		return -EIO;
	r = str_to_int32(s, val);
	free(s);
	return r;
}

int file_readdbl(const char *path, double *val)
{
	char *s = file_reads(path);
	char *end;
	int r = 0;

	if (!s)
		return -EIO;
	errno = 0;
	double v = strtod(s, &end);
	if (errno)
		r = -errno;
	else if (end == s)
		r = -EINVAL;
	else
		*val = v;
	free(s);
	return r;
}

bool file_exists(const char *path)
{
	struct stat st;

	return stat(path, &st) == 0;
}

int file_private(const char *path)
{
	struct stat st;

	if (stat(path, &st) != 0)
		return neg_errno();
	return st.st_mode & (S_IRGRP | S_IROTH) ? -EPERM : 0;
}
