// The serial coprocessor behind the analog and slow digital inputs.
//
// A text protocol with character echo: each command character is echoed
// before the next is sent, a carriage return ends the command, and the
// reply is blank-separated integers ended by a carriage return.
#pragma once

#include <cstddef>
#include <cstdint>

#define COPROC_RESET_GPIO 20

// Opens the device and resets the coprocessor (GPIO must be initialised);
// the descriptor, or -ENOMEDIUM when it reports no medium, -ETIMEDOUT.
int coproc_init(const char *path, int baud);
int coproc_done(int fd);

// Sends one formatted command of at most 255 characters, checking every echo.
int coproc_cmd(int fd, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// Reads one reply of at most *count numbers; *count becomes the number read.
int coproc_readnums(int fd, int32_t *nums, int *count);
// One number; -ENODATA when the reply holds none.
int coproc_readnum(int fd, int32_t *num);

int coproc_info(int fd, int *devtype, int *minor);
// The 10-bit reading of an ADC channel (0 to 1023).
int coproc_adc(int fd, unsigned channel);
// Selects the multiplexer input for the next ADC reading.
int coproc_input(int fd, unsigned input);
int coproc_calls(int fd, uint32_t *pressed, uint32_t *latched);
int coproc_charge(int fd, int on);
// Loads the external watchdog (0 disables), or queries it when seconds is
// negative; the seconds remaining.
int coproc_wdt(int fd, int seconds);
// Starts the 1-Wire conversions; the mask of sensors started.
int coproc_temp_convert(int fd);
// Up to *count (at most 2) readings in °C; *count becomes the number read.
int coproc_temp_read(int fd, double *values, int *count);
int coproc_board_temp(int fd, int *temp);
int coproc_freq_set(int fd, unsigned freq);
int coproc_si(int fd, unsigned mask);
// At most 96 bytes.
int coproc_pkt_send(int fd, const uint8_t *bytes, size_t count);
// Reads (samples + 3) / 4 bytes of 2-bit samples into buf (or discards them
// without one); the nanoseconds from the command to the start of the data.
int coproc_read_ld(int fd, uint8_t *buf, unsigned samples);
