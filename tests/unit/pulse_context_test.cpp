// The sound server's clients share no memory with it: libpulse sets up its
// pool of shared memory when a context is made, so the maps of this process
// show whether it would.
#include <fstream>
#include <string>

#include <gtest/gtest.h>
#include <pulse/mainloop.h>

#include "pulse_context.h"

namespace {

int shared_pools()
{
	std::ifstream maps("/proc/self/maps");
	std::string line;
	int n = 0;

	while (std::getline(maps, line))
		if (line.find("pulse") != std::string::npos &&
		    (line.find("memfd:") != std::string::npos || line.find("/dev/shm/") != std::string::npos))
			n++;
	return n;
}

TEST(PulseContext, SharesNoMemoryWithTheServer)
{
	pa_mainloop *loop = pa_mainloop_new();
	ASSERT_NE(loop, nullptr);
	int before = shared_pools();

	// libpulse's default, to show that the maps tell.
	pa_context *shared = pa_context_new(pa_mainloop_get_api(loop), "shared");
	ASSERT_NE(shared, nullptr);
	bool told = shared_pools() > before;
	pa_context_unref(shared);
	ASSERT_EQ(shared_pools(), before);
	if (!told) {
		pa_mainloop_free(loop);
		GTEST_SKIP() << "this machine's client.conf shares no memory anyway";
	}

	pa_context *ours = kel_pa_context_new(pa_mainloop_get_api(loop), "ours");
	ASSERT_NE(ours, nullptr);
	EXPECT_EQ(shared_pools(), before);
	pa_context_unref(ours);
	pa_mainloop_free(loop);
}

} // namespace
