// The coprocessor's replies as the daemon reads them. The harness plays the
// coprocessor on the other end of a socket pair: it echoes the command (or,
// when the first byte's top bit is set, does not) and then sends the input;
// after that the line is silent. The first byte picks the exchange, the
// second its argument. Whatever comes, each reader must end at once and
// hand back only values its caller may rely on.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "coproc.h"

namespace {

// The daemon's end of a line on which the coprocessor has sent the echo and
// the input and then nothing more: every wait for more returns at once. The
// commands the daemon writes land in the other end, read by no one.
struct Line {
	int fd[2];

	Line(const std::string &echo, const uint8_t *data, size_t size)
	{
		if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fd) < 0)
			abort();
		std::string stream = echo + std::string((const char *)data, size);
		for (size_t done = 0; done < stream.size();) {
			ssize_t n = write(fd[1], stream.data() + done, stream.size() - done);
			if (n <= 0)
				abort();
			done += (size_t)n;
		}
		shutdown(fd[1], SHUT_WR);
	}
	~Line()
	{
		close(fd[0]);
		close(fd[1]);
	}
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < 2 || size > 8192)
		return 0;
	const unsigned exchange = data[0] & 0x7f;
	const bool echoed = !(data[0] & 0x80);
	const unsigned arg = data[1];
	data += 2;
	size -= 2;

	static const char *const commands[] = { "ver", "adc %u", "input %u", "calls", "power %u", "wdt", "tcon",
						"trd", "temp", "cnt %u", "pkt 00" };
	const unsigned which = exchange % (sizeof(commands) / sizeof(commands[0]));
	char cmd[64];
	unsigned want = (arg + 3) / 4;
	snprintf(cmd, sizeof(cmd), commands[which], which == 9 ? want : which == 4 ? arg % 2 : arg);
	Line line(echoed ? std::string(cmd) + "\r" : "", data, size);
	const int fd = line.fd[0];
	int r;

	switch (which) {
	case 0: {
		int devtype = -1, minor = -1;
		r = coproc_info(fd, &devtype, &minor);
		if (r == 0 && (devtype < 0 || devtype > 255 || minor < 0 || minor > 255))
			__builtin_trap();
		break;
	}
	case 1:
		r = coproc_adc(fd, arg);
		if (r > 1023)
			__builtin_trap();
		break;
	case 2:
		r = coproc_input(fd, arg);
		if (r > 0)
			__builtin_trap();
		break;
	case 3: {
		uint32_t pressed, latched;
		r = coproc_calls(fd, &pressed, &latched);
		if (r > 0)
			__builtin_trap();
		break;
	}
	case 4:
		r = coproc_charge(fd, !(arg % 2));
		if (r > 0)
			__builtin_trap();
		break;
	case 5:
		coproc_wdt(fd, -1);
		break;
	case 6:
		coproc_temp_convert(fd);
		break;
	case 7: {
		double values[2] = { NAN, NAN };
		int count = arg % 4;
		r = coproc_temp_read(fd, values, &count);
		if (count < 0 || count > 2 || (r < 0 && count != 0))
			__builtin_trap();
		for (int i = 0; i < count; i++)
			if (!std::isfinite(values[i]) || std::fabs(values[i]) > 2147483648.0 * 0.0625)
				__builtin_trap();
		break;
	}
	case 8: {
		int temp;
		coproc_board_temp(fd, &temp);
		break;
	}
	case 9: {
		uint8_t samples[64];
		r = coproc_read_ld(fd, arg & 1 ? samples : nullptr, arg);
		(void)r;
		break;
	}
	default: {
		static const uint8_t zero = 0;
		coproc_pkt_send(fd, &zero, 1);
		break;
	}
	}
	return 0;
}
