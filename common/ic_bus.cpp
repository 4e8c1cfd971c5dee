#include "ic_bus.h"

#include <cerrno>

#include "cfg.h"
#include "paths.h"
#include "rootpath.h"

unsigned ic_bus_tty_number(unsigned port, bool cio, int32_t revision)
{
	return cio && revision <= 3 ? port : port + 1;
}

int ic_bus_ttys(int ttys[IC_BUS_PORTS])
{
	const char *device = kel_path(DEVICE_CONF);
	int32_t cio = 0, revision = 0, mask = 0;
	int n = 0;

	cfg_read_int(device, "cio", &cio);
	cfg_read_int(device, "revision", &revision);
	// The console takes a mask too large for a number as every port on.
	if (cfg_read_int(kel_path(PARLOD_IC_CONF), "ports_mask", &mask) == -ERANGE)
		mask = -1;
	for (unsigned port = 0; port < IC_BUS_PORTS; port++) {
		ttys[port] = (mask >> port) & 1 ? (int)ic_bus_tty_number(port, cio != 0, revision) : -1;
		n += ttys[port] >= 0;
	}
	return n;
}
