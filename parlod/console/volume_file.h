// The call volumes stored in /etc/parlod_vol.conf. The file has a reader
// of its own: a key is found anywhere in the text (also inside a longer
// word or a comment), and its value is the number after the next "=".
#pragma once

#include <string>

#define PARLOD_VOL_CONF "/etc/parlod_vol.conf"

struct StoredVolume {
	bool found = false; // the key occurs in the text
	unsigned percent = 0;
	std::string error; // the console's message when the entry is unusable
};

// The volume stored under key ("mic" or "spk") in text.
StoredVolume find_stored_volume(const std::string &text, const char *key);
