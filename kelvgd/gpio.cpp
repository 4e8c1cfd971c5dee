#include "gpio.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "cfg.h"
#include "config.h"
#include "errmsg.h"
#include "rootpath.h"
#include "shared_state.h"

// Sound channel selectors 47, 52, 57, 59; speech path 49; coprocessor reset
// 20; auxiliary power 7; relays 86 to 89.
#define GPIO_VARIANT_SERIAL(cio, rev)                                                                  \
	{ cio, rev, 47, 1, 0, 0, 0 }, { cio, rev, 52, 1, 0, 0, 0 }, { cio, rev, 57, 1, 0, 0, 0 },      \
		{ cio, rev, 59, 1, 0, 0, 0 }, { cio, rev, 49, 1, 0, 1, 0 }, { cio, rev, 20, 1, 1, 1, 0 }, \
		{ cio, rev, 7, 1, 0, 0, 0 }, { cio, rev, 86, 1, 0, 0, 0 }, { cio, rev, 87, 1, 0, 0, 0 },  \
		{ cio, rev, 88, 1, 0, 0, 0 }, { cio, rev, 89, 1, 0, 0, 0 }

const gpio_cfg_ent gpio_cfg[] = {
	GPIO_VARIANT_SERIAL(0, 2),
	GPIO_VARIANT_SERIAL(0, 3),
	GPIO_VARIANT_SERIAL(0, 4),
	GPIO_VARIANT_SERIAL(0, 5),
	GPIO_VARIANT_SERIAL(1, 4),
	{ 1, 3, 17, 1, 0, 0, 0 }, { 1, 3, 12, 1, 0, 0, 0 }, { 1, 3, 13, 1, 0, 0, 0 },
	{ 1, 3, 9, 1, 0, 0, 0 },  { 1, 3, 8, 1, 0, 0, 0 },  { 1, 3, 7, 1, 0, 0, 0 },
	{ 1, 3, 10, 1, 0, 0, 0 }, { 1, 3, 18, 1, 0, 0, 0 }, { 1, 3, 11, 1, 0, 0, 0 },
	{ 1, 3, 61, 0, 0, 0, 0 },
	{ 1, 3, 15, 1, 0, 0, 0 }, { 1, 3, 58, 1, 0, 0, 0 }, { 1, 3, 59, 1, 0, 0, 0 },
	{ 1, 3, 14, 1, 0, 0, 0 },
};
#undef GPIO_VARIANT_SERIAL

const int gpio_cfg_rows = sizeof(gpio_cfg) / sizeof(gpio_cfg[0]);
static_assert(sizeof(gpio_cfg) / sizeof(gpio_cfg[0]) == 69);

static constexpr std::array<int, GPIO_FDS_MAX> gpio_no_fds()
{
	std::array<int, GPIO_FDS_MAX> fds{};

	fds.fill(-1);
	return fds;
}

static std::array<int, GPIO_FDS_MAX> gpio_dir_fds = gpio_no_fds();
static std::array<int, GPIO_FDS_MAX> gpio_val_fds = gpio_no_fds();
static int32_t cio;
static int32_t rev;

// Rows of this terminal's variant, from the last to the first.
#define for_each_line_reverse(e)                                                                       \
	for (const gpio_cfg_ent *e = gpio_cfg + gpio_cfg_rows - 1; e >= gpio_cfg; e--)                   \
		if (e->cio == cio && e->rev == rev)

static bool gpio_valid(int gpio)
{
	return gpio >= 0 && gpio < GPIO_FDS_MAX;
}

static int gpio_open_file(const char *fmt, int gpio)
{
	char path[256];
	int fd;

	if (kel_pathf(path, sizeof(path), fmt, gpio) < 0)
		return -ENAMETOOLONG;
	fd = open(path, O_RDWR | O_CLOEXEC);
	return fd < 0 ? neg_errno_automsg() : fd;
}

static void gpio_close_all(void)
{
	for (int i = 0; i < GPIO_FDS_MAX; i++) {
		if (gpio_val_fds[i] >= 0)
			close(gpio_val_fds[i]);
		if (gpio_dir_fds[i] >= 0)
			close(gpio_dir_fds[i]);
		gpio_val_fds[i] = gpio_dir_fds[i] = -1;
	}
}

static int gpio_apply(bool out, bool level, int gpio)
{
	int r = gpio_mode_set(gpio, out);

	return r < 0 || !out ? r : gpio_set(gpio, level);
}

static int gpio_setup(bool first_user)
{
	int r;

	if (first_user)
		for_each_line_reverse(e) {
			r = gpio_export(e->n);
			if (r < 0)
				return r;
		}
	for_each_line_reverse(e) {
		if (!gpio_valid(e->n)) {
			fputs("Please increase GPIO FDs array size!", stderr);
			return -E2BIG;
		}
		r = gpio_open_file(GPIO_DIRECTION, e->n);
		if (r < 0)
			return r;
		gpio_dir_fds[e->n] = r;
		r = gpio_open_file(GPIO_VALUE, e->n);
		if (r < 0)
			return r;
		gpio_val_fds[e->n] = r;
	}
	if (first_user)
		for_each_line_reverse(e) {
			r = gpio_apply(e->init, e->ival, e->n);
			if (r < 0)
				return r;
		}
	return 0;
}

int gpio_init(void)
{
	const char *device = kel_path(DEVICE_CONF);
	int r;

	if ((r = cfg_read_int(device, "cio", &cio)) < 0 || (r = cfg_read_int(device, "revision", &rev)) < 0) {
		fprintf(stderr, "Error reading config file %s.\n", device);
		return r;
	}
	gpio_close_all();

	r = vgd_write_lock(SEM_SSTATE_R, SEM_SSTATE_W);
	if (r < 0) {
		fprintf(stderr, "%s(): Cannot acquire semaphore\n", __func__);
		return r;
	}
	r = gpio_setup(vgd_state->gpiousr <= 0);
	if (r == 0)
		vgd_state->gpiousr = vgd_state->gpiousr <= 0 ? 1 : vgd_state->gpiousr + 1;
	else
		gpio_close_all();
	vgd_write_unlock(SEM_SSTATE_R, SEM_SSTATE_W);
	return r;
}

int gpio_done(void)
{
	int r = vgd_write_lock(SEM_SSTATE_R, SEM_SSTATE_W);

	if (r < 0) {
		fprintf(stderr, "%s(): Cannot acquire semaphore\n", __func__);
		return r;
	}
	// The count never goes below zero, whatever a crashed process left.
	vgd_state->gpiousr = vgd_state->gpiousr > 1 ? vgd_state->gpiousr - 1 : 0;
	if (vgd_state->gpiousr == 0)
		for_each_line_reverse(e) {
			r = gpio_apply(e->done, e->dval, e->n);
			if (r < 0)
				break;
		}
	gpio_close_all();
	vgd_write_unlock(SEM_SSTATE_R, SEM_SSTATE_W);
	return r;
}

// The level goes out as one digit, as the caller gave it: the sound
// channel's select lines are handed the masked bit itself (2, 4), which the
// kernel takes as high like any digit but 0.
int gpio_set(int gpio, int level)
{
	char c = level >= 0 && level <= 9 ? (char)('0' + level) : '1';

	if (!gpio_valid(gpio)) {
		fprintf(stderr, "%s(): Invalid GPIO index %d\n", __func__, gpio);
		return -EINVAL;
	}
	if (gpio_val_fds[gpio] < 0) {
		fprintf(stderr, "%s(): GPIO not initialized\n", __func__);
		return -EINVAL;
	}
	if (pwrite(gpio_val_fds[gpio], &c, 1, 0) != 1)
		return neg_errno_automsg();
	return 0;
}

int gpio_get(int gpio)
{
	char c;
	ssize_t n;

	if (!gpio_valid(gpio) || gpio_val_fds[gpio] < 0)
		return -EINVAL;
	n = pread(gpio_val_fds[gpio], &c, 1, 0);
	if (n < 0)
		return neg_errno();
	return n == 1 ? c - '0' : -EIO;
}

int gpio_mode_set(int gpio, int out)
{
	if (!gpio_valid(gpio) || gpio_dir_fds[gpio] < 0)
		return -EINVAL;
	if (out)
		return pwrite(gpio_dir_fds[gpio], "out", 3, 0) == 3 ? 0 : neg_errno();
	return pwrite(gpio_dir_fds[gpio], "in", 2, 0) == 2 ? 0 : neg_errno();
}
