// Numeric replies of the boards' serial text protocols (the coprocessor,
// the USB CIO board): integers in decimal, "0x" hexadecimal or leading-0
// octal, one separator character after each, the reply ended by a carriage
// return.
#pragma once

#include <cstdint>

// Each wait for data is this long at the most.
#define SERIAL_REPLY_WAIT_MS 1000
// A reply longer than this is not one: the peer talks nonsense.
#define SERIAL_REPLY_MAX 4096

// Reads one reply of at most *count numbers; *count becomes the number read.
// Input is taken in chunks that end with a blank or control character, so
// that no number is cut in two; the reply ends with a chunk that ends with
// a carriage return, or as soon as *count numbers are in. who names the
// caller in messages. -ETIMEDOUT, -ERANGE outside int32_t, -EMSGSIZE for a
// reply that does not end, or the error of the wait or the read.
int serial_reply_nums(int fd, int32_t *nums, int *count, const char *who);
