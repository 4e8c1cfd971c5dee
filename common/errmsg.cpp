#include "errmsg.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>

int neg_errno(void)
{
	return errno > 0 ? -errno : -EIO;
}

int neg_errno_msg(const char *fmt, ...)
{
	int r = neg_errno();
	va_list ap;

	va_start(ap, fmt);
	vfprintf(stderr, fmt, ap);
	va_end(ap);
	errno = -r;
	return r;
}

// Not inlined, so that the return address names the caller's call site.
__attribute__((noinline)) int neg_errno_automsg(void)
{
	int r = neg_errno();
	void *site = __builtin_extract_return_addr(__builtin_return_address(0));

	errno = -r;
	fprintf(stderr, "%m (@%p)\n", site);
	errno = -r;
	return r;
}

int neg_errno_func(const char *func)
{
	return neg_errno_msg("%s() failed\n", func);
}
