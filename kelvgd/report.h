// The state report: lines of key=value, printed by `dump` and sent to the
// push server. Its keys and number formats are read by the server side.
#pragma once

#include <cstddef>

// Writes the report with a terminating NUL into buf; returns its length, or
// -EAGAIN (no valid data yet), -EBADMSG (a line failed to format),
// -EMSGSIZE (it does not fit) or the lock's error. On failure buf holds an
// empty string.
int vgd_format_state(char *buf, size_t size);
