// The voice console's intercom buses: which serial device each of its two
// bus ports is. Known to both programs, so that nothing else takes a bus
// from under the console.
#pragma once

#include <cstdint>

#include "paths.h"

#define IC_BUS_PORTS 2

// The number n of "/dev/ttyS<n>" of bus port 0 or 1. CIO boards up to
// revision 3 number their bus ports from 0, every other terminal from 1.
unsigned ic_bus_tty_number(unsigned port, bool cio, int32_t revision);

// The ttyS numbers of the bus ports that "ports_mask" turns on, by port,
// -1 for a port that is off; the terminal's identity comes from
// /etc/device.conf. Returns how many are on.
int ic_bus_ttys(int ttys[IC_BUS_PORTS]);
