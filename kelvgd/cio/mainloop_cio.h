// The monitoring loop of a CIO-mode terminal.
#pragma once

// Runs until daemon_loop is cleared (0), or fails with the error that ended
// it: -EBUSY when another loop runs, -ENODEV without a board driver.
// serv_addr is the dispatcher address list (none keeps the one installed),
// addr_interval the seconds to stay with one dispatcher that does not answer.
int vgd_main_loop_cio(const char *serv_addr, int addr_interval);
