// Receiving the samples a board streams over its serial port.
#pragma once

#include <cstdint>

// Receives exactly len bytes into buf, or, without buf, reads and discards
// them; each wait for data is at most wait_ms. "<who>(): Wait failed" or
// "<who>(): Read failed" and the error when the board falls silent or the
// read fails; 0 once all are in.
int cio_receive(int fd, uint8_t *buf, unsigned len, int wait_ms, const char *who);
