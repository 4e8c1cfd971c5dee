// Linux sysfs GPIO lines: the paths and the export shared by both programs,
// and the console's direct access to single lines.
#pragma once

#define GPIO_SYSFS "/sys/class/gpio"
#define GPIO_EXPORT GPIO_SYSFS "/export"
#define GPIO_DIR GPIO_SYSFS "/gpio%d"
#define GPIO_DIRECTION GPIO_DIR "/direction"
#define GPIO_VALUE GPIO_DIR "/value"

// A newly allocated string: the format with the number filled in and
// KEL_ROOT in front (see kel_path()); none on failure. The caller frees it.
char *gpio_name(const char *fmt, int gpio);

// Exports the line unless its directory exists already.
int gpio_export(int gpio);

// The console drives single lines without the daemon's table and user count.
namespace sysfs_gpio {

// Exports the line if needed and opens its value file; the descriptor.
int gpio_open(int gpio);

// Writes the level at offset 0 of an open value file.
int gpio_set(int fd, int level);

// Writes the direction: "out" or "in".
int gpio_mode_set(int gpio, int out);

} // namespace sysfs_gpio
