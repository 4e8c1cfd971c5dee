// The jitter buffer of the loudspeaker against any sequence of puts, takes
// and clock steps (tests/unit/playout_driver.h says what the input makes
// and what is checked): a take never writes beyond its count, a put never
// waits for ever, and the counts add up.
#include <cstdint>
#include <cstdio>
#include <string>

#include "playout_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	const std::string error = playout_driver::Driver::run(data, size);
	if (!error.empty()) {
		fprintf(stderr, "%s\n", error.c_str());
		__builtin_trap();
	}
	return 0;
}
