// The console's command pipe, as the daemon writes it: one whole line of
// console_link.h per write.
#pragma once

#include "console_link.h"

// A descriptor, or a failure at once while the console is not running;
// console_open() reports it, console_try_open() does not.
int console_open(void);
int console_try_open(void);
// The count written, or a negated errno value, reported.
int console_send(int fd, console_line line);
// Bytes the console has not read yet.
int fifo_unread(int fd);
// Waits until the console has read everything, at most timeout_ms.
int fifo_drain(int fd, int timeout_ms);
