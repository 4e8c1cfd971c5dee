#include "rootpath.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <unordered_set>

const char *kel_root(void)
{
	const char *root = getenv("KEL_ROOT");

	return root && *root ? root : nullptr;
}

const char *kel_path(const char *path)
{
	// Fixed paths are few; each prefixed form is kept once so that callers
	// can hold on to the pointer (the configuration cache does).
	static std::mutex lock;
	static std::unordered_set<std::string> interned;
	const char *root = kel_root();

	if (!root)
		return path;

	std::lock_guard<std::mutex> hold(lock);
	return interned.emplace(std::string(root) + path).first->c_str();
}

int kel_pathf(char *buf, size_t size, const char *fmt, ...)
{
	const char *root = kel_root();
	int n = root ? snprintf(buf, size, "%s", root) : 0;
	int m;
	va_list ap;

	if (n < 0 || (size_t)n >= size)
		return -ENAMETOOLONG;
	va_start(ap, fmt);
	m = vsnprintf(buf + n, size - n, fmt, ap);
	va_end(ap);
	if (m < 0 || (size_t)m >= size - n)
		return -ENAMETOOLONG;
	return n + m;
}
