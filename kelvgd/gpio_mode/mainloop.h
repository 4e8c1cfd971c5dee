// The monitoring loop of a GPIO-mode terminal.
#pragma once

#include "paths.h"

#define PUSH_PORT 5559
#define PUSH_MSG_REPORT 0x0A
#define PUSH_MSG_MAX 4096

// Runs until daemon_loop is cleared (0), or fails with the error that ended
// it; -EBUSY when another loop runs.
int vgd_main_loop(void);
