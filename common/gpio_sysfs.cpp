#include "gpio_sysfs.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "errmsg.h"
#include "fileio.h"
#include "rootpath.h"

char *gpio_name(const char *fmt, int gpio)
{
	const char *root = kel_root();
	size_t len = root ? strlen(root) : 0;
	int n = snprintf(nullptr, 0, fmt, gpio);
	char *name;

	if (n < 0)
		return nullptr;
	name = (char *)malloc(len + (size_t)n + 1);
	if (!name)
		return nullptr;
	if (len)
		memcpy(name, root, len);
	if (snprintf(name + len, (size_t)n + 1, fmt, gpio) != n) {
		free(name);
		return nullptr;
	}
	return name;
}

int gpio_export(int gpio)
{
	char path[256];
	char number[16];
	int n;

	if (kel_pathf(path, sizeof(path), GPIO_DIR, gpio) < 0)
		return -ENAMETOOLONG;
	if (file_exists(path))
		return 0;
	n = snprintf(number, sizeof(number), "%d", gpio);
	return file_write(kel_path(GPIO_EXPORT), number, (size_t)n);
}

namespace sysfs_gpio {

int gpio_open(int gpio)
{
	char path[256];
	int r = gpio_export(gpio);
	int fd;

	if (r < 0)
		return r;
	if (kel_pathf(path, sizeof(path), GPIO_VALUE, gpio) < 0)
		return -ENAMETOOLONG;
	fd = open(path, O_RDWR | O_CLOEXEC);
	return fd < 0 ? neg_errno() : fd;
}

int gpio_set(int fd, int level)
{
	char c = level ? '1' : '0';

	return pwrite(fd, &c, 1, 0) == 1 ? 0 : neg_errno();
}

int gpio_mode_set(int gpio, int out)
{
	char path[256];

	if (kel_pathf(path, sizeof(path), GPIO_DIRECTION, gpio) < 0)
		return -ENAMETOOLONG;
	return file_writes(path, "%s", out ? "out" : "in");
}

} // namespace sysfs_gpio
