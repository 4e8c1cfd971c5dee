#include "leds.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "fileio.h"
#include "rootpath.h"

static int led_name(char *buf, size_t size, const char *name, const char *attr)
{
	return kel_pathf(buf, size, "/sys/class/leds/%s/%s", name, attr);
}

int led_on(const char *name)
{
	char max[PATH_MAX], br[PATH_MAX];
	char *level;
	int r;

	if ((r = led_name(max, sizeof(max), name, "max_brightness")) < 0 ||
	    (r = led_name(br, sizeof(br), name, "brightness")) < 0)
		return r;
	// Written back as read: the kernel parses it as it printed it.
	level = file_reads(max);
	if (!level)
		return -EIO;
	r = file_writes(br, "%s", level);
	free(level);
	return r;
}

int led_set(const char *name, int value)
{
	char br[PATH_MAX];
	int r = led_name(br, sizeof(br), name, "brightness");

	return r < 0 ? r : file_writes(br, "%d", value);
}

int led_off(const char *name)
{
	char br[PATH_MAX];
	int r = led_name(br, sizeof(br), name, "brightness");

	return r < 0 ? r : file_writes(br, "0");
}

int led_get(const char *name)
{
	char br[PATH_MAX];
	int32_t value;
	int r = led_name(br, sizeof(br), name, "brightness");

	if (r < 0 || (r = file_readint(br, &value)) < 0)
		return r;
	return value;
}

char *led_tr_parse(const char *text)
{
	const char *start = strchr(text, '[');
	const char *end = start ? strchr(start, ']') : nullptr;
	size_t len;

	if (end) {
		start++;
		len = (size_t)(end - start);
	} else {
		start = text;
		len = strcspn(text, "\n");
	}
	return strndup(start, len);
}

char *led_tr_get(const char *name)
{
	char path[PATH_MAX];
	char *text;
	char *trigger;

	if (led_name(path, sizeof(path), name, "trigger") < 0)
		return nullptr;
	text = file_reads(path);
	if (!text)
		return nullptr;
	trigger = led_tr_parse(text);
	free(text);
	return trigger;
}

int led_tr_set(const char *name, const char *trigger)
{
	char path[PATH_MAX];
	int r = led_name(path, sizeof(path), name, "trigger");

	return r < 0 ? r : file_writes(path, "%s", trigger);
}

int led_tr_reset(const char *name)
{
	return led_tr_set(name, "none");
}
