// The reader of the stored call volumes against any file content: it finds
// a key exactly where a plain search of the text finds it, and either hands
// back a volume in range or says why not.
#include <cstdint>
#include <cstring>
#include <string>

#include "volume_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	const std::string text((const char *)data, size);

	for (const char *key : { "mic", "spk" }) {
		StoredVolume v = find_stored_volume(text, key);
		if (v.found != (strstr(text.c_str(), key) != nullptr))
			__builtin_trap();
		if (!v.found && (!v.error.empty() || v.percent))
			__builtin_trap();
		if (v.found && v.error.empty() && (v.percent < 50 || v.percent > 150))
			__builtin_trap();
		if (!v.error.empty() && v.percent)
			__builtin_trap();
		if (!v.error.empty() && v.error != "\nInvalid format of /etc/parlod_vol.conf" &&
		    v.error != std::string("\nInvalid ") + key + " volume" &&
		    v.error != std::string("\n") + key + " volume out of range")
			__builtin_trap();
	}
	return 0;
}
