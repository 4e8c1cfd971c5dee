#include "thermal.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fileio.h"
#include "rootpath.h"

// Chips whose sensors past the first two read nonsense.
struct hwmon_quirk {
	const char *name;
	unsigned idx_max;
};

static const hwmon_quirk hwmon_quirks[] = {
	{ "nct6793", 2 },
	{ "nct6796", 2 },
};

#define HWMON_SENSORS_MAX 16
// Sensors up to this number may be missing while later ones exist.
#define HWMON_GAP_MAX 4

// One sensor in millidegrees: 1 when read into *max, 0 when it does not
// exist, -1 when it exists but cannot be read.
static int thermal_take(const char *path, int *max)
{
	int32_t v;

	if (!file_exists(path))
		return 0;
	if (file_readint(path, &v) < 0)
		return -1;
	if (v / 1000 > *max)
		*max = v / 1000;
	return 1;
}

static unsigned hwmon_limit(unsigned dev)
{
	char path[PATH_MAX];
	char *name;
	unsigned limit = HWMON_SENSORS_MAX;

	if (kel_pathf(path, sizeof(path), "/sys/class/hwmon/hwmon%u/name", dev) < 0 || !(name = file_reads(path)))
		return limit;
	// Without its line end and anything else unprintable.
	char *o = name;
	for (const char *i = name; *i; i++)
		if ((unsigned char)*i >= 32 && *i != 127)
			*o++ = *i;
	*o = '\0';
	for (const auto &q : hwmon_quirks)
		if (!strcmp(q.name, name))
			limit = q.idx_max;
	free(name);
	return limit;
}

int cio_max_thermal_zone(int32_t *celsius)
{
	static bool told;
	char path[PATH_MAX];
	int max = -1000;
	unsigned dev, sensor;
	int r;

	for (unsigned zone = 0;; zone++) {
		if (kel_pathf(path, sizeof(path), "/sys/class/thermal/thermal_zone%u/temp", zone) < 0 ||
		    (r = thermal_take(path, &max)) == 0)
			break;
		if (r < 0)
			goto fail;
	}
	for (dev = 0;; dev++) {
		for (sensor = 1;; sensor++) {
			if (kel_pathf(path, sizeof(path), "/sys/class/hwmon/hwmon%u/device/temp%u_input", dev, sensor) < 0 ||
			    (r = thermal_take(path, &max)) == 0)
				break;
			if (r < 0)
				goto fail;
		}
		if (sensor == 1)
			break;
	}
	for (dev = 0;; dev++) {
		unsigned limit;

		if (kel_pathf(path, sizeof(path), "/sys/class/hwmon/hwmon%u", dev) < 0 || !file_exists(path))
			break;
		limit = hwmon_limit(dev);
		for (sensor = 1; sensor <= limit; sensor++) {
			if (kel_pathf(path, sizeof(path), "/sys/class/hwmon/hwmon%u/temp%u_input", dev, sensor) < 0)
				break;
			r = thermal_take(path, &max);
			if (r < 0)
				goto fail;
			if (r == 0 && sensor > HWMON_GAP_MAX)
				break;
		}
	}
	return cio_sensors_hottest(max, __func__, &told, celsius);
fail:
	return cio_sensor_unreadable(__func__);
}

int cio_sensors_hottest(int max, const char *who, bool *told, int32_t *celsius)
{
	// Said once: a host without sensors stays without them.
	if (max < -273 && !*told) {
		fprintf(stderr, "%s(): no sensors found\n", who);
		*told = true;
	}
	*celsius = max;
	return 0;
}

int cio_sensor_unreadable(const char *who)
{
	fprintf(stderr, "%s(): Read error\n", who);
	return -EIO;
}
