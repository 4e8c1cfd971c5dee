#include "volume_file.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

StoredVolume find_stored_volume(const std::string &text, const char *key)
{
	StoredVolume v;
	// Up to the first NUL, as the console has always read it.
	const char *start = text.c_str();
	const char *at = strstr(start, key);

	if (!at)
		return v;
	v.found = true;
	const char *eq = strchr(at, '=');
	if (!eq) {
		v.error = std::string("\nInvalid format of ") + PARLOD_VOL_CONF;
		return v;
	}
	char *end;
	errno = 0;
	long n = strtol(eq + 1, &end, 0);
	if (errno || end == eq + 1)
		v.error = std::string("\nInvalid ") + key + " volume";
	else if (n < 50 || n > 150)
		v.error = std::string("\n") + key + " volume out of range";
	else
		v.percent = (unsigned)n;
	return v;
}
