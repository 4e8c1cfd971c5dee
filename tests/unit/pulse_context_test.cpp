// The sound server's clients: they share no memory with it (libpulse sets
// up its pool of shared memory when a context is made, so the maps of this
// process show whether it would), and the daemon's never waits for a server
// beyond its deadline.
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <pulse/mainloop.h>

#include "gpio_mode/pulse_client.h"
#include "pulse_context.h"
#include "tmpdir.h"

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

// A server that takes the connection and never answers holds no one past
// the deadline; one that is not there is refused at once.
TEST(PulseClient, GivesUpOnAServerThatDoesNotAnswer)
{
	using namespace std::chrono;
	TmpDir dir;
	sockaddr_un addr = {};
	int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
	ASSERT_GE(fd, 0);
	addr.sun_family = AF_UNIX;
	snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", dir.path("native").c_str());
	ASSERT_EQ(bind(fd, (sockaddr *)&addr, sizeof(addr)), 0);
	ASSERT_EQ(listen(fd, 4), 0);
	setenv("PULSE_SERVER", ("unix:" + dir.path("native")).c_str(), 1);

	// A client that waited for ever would be ended here.
	alarm(60);
	pulse_client c = {};
	auto t0 = steady_clock::now();
	EXPECT_EQ(pulse_client_connect(&c, "silent", 300), -ETIMEDOUT);
	auto took = steady_clock::now() - t0;
	EXPECT_GE(took, milliseconds(250));
	EXPECT_LT(took, seconds(20));
	EXPECT_FALSE(pulse_client_ready(&c));
	pulse_client_close(&c);
	pulse_client_close(&c);
	close(fd);

	unlink(dir.path("native").c_str());
	t0 = steady_clock::now();
	EXPECT_EQ(pulse_client_connect(&c, "none", 20000), -ECONNREFUSED);
	EXPECT_LT(steady_clock::now() - t0, seconds(10));
	pulse_client_close(&c);
	alarm(0);
	unsetenv("PULSE_SERVER");
}

} // namespace
