// Serial ports in raw mode at any baud rate, with exclusive use, timed waits
// and the modem lines.
//
// The daemon opens its ports blocking and waits in milliseconds; the
// console's bus ports stay non-blocking, with low latency, and wait in
// microseconds. Both are one implementation: the differences are the flags
// of serial_open_flags() and the units of the waits.
#pragma once

#include <sys/ioctl.h>

// Flags of serial_open_flags().
enum {
	SERIAL_ADAPTER = 1 << 0,     // program the serial adapter of terminals that have one
	SERIAL_NONBLOCK = 1 << 1,    // the descriptor stays non-blocking; reads never wait
	SERIAL_LOW_LATENCY = 1 << 2, // driver low-latency mode, 2-byte transmit FIFO
	SERIAL_REPORT_BUSY = 1 << 3, // say so when another process holds the port
	SERIAL_BUS = SERIAL_ADAPTER | SERIAL_NONBLOCK | SERIAL_LOW_LATENCY | SERIAL_REPORT_BUSY,
};

// Line settings: any positive baud rate; bits 5 to 8 (anything else is 8);
// parity on when non-zero, odd when odd is non-zero; stop 2 for two stop
// bits, anything else one. The open functions return the descriptor, or a
// negated errno value (-EBUSY when another process holds the port) and leave
// nothing open.
int serial_open_flags(const char *path, int baud, int bits, int parity, int odd, int stop, unsigned flags);
int __serial_open(const char *path, int baud, int bits, int parity, int odd, int stop, int cfg_adapter);
int serial_open(const char *path, int baud, int bits, int parity, int odd, int stop);
int serial_open_raw(const char *path, int baud, int bits, int parity, int odd, int stop);

// The raw-mode settings of an open, applied to tio.
struct termios;
void serial_raw_mode(struct termios *tio, int bits, int parity, int odd, int stop, unsigned flags);

// Resets the adapter, then closes (which drops the lock).
int serial_close(int fd);

// Sets input and output speed to any integer rate.
int serial_setbaud(int fd, int baud);

// The rates a setting may ask for: every rate from 1200 to 4000000 baud.
// The standard rates of the terminal interface from 1200 up lie there, the
// highest of them also the most the ports' UARTs and the serial adapter
// (whose rate command holds 24 bits) are made for; a rate between them is
// set through the arbitrary-rate setting, which the UART approximates.
// The slower standard rates serve no device of the terminal.
#define SERIAL_BAUD_MIN 1200
#define SERIAL_BAUD_MAX 4000000
bool serial_baud_supported(unsigned long long baud);

// Resets the terminal's serial adapter and, unless baud is 0, programs its
// rate; nothing on terminals without one.
int cfg_serial_adapter(int fd, int baud);

// Discards received, unread input.
int serial_flush(int fd);

// Waits in milliseconds: 0 when data is there, -ETIMEDOUT, or -EIO on an
// error or hang-up.
int serial_waitdata(int fd, int timeout_ms);
// The next byte (0 to 255), -ETIMEDOUT, -ENODATA or -EIO.
int serial_getchr(int fd, int timeout_ms);
// 0 once c has been received, other bytes skipped; on failure the last 16
// skipped bytes are printed.
int serial_waitchr(int fd, char c, int timeout_ms);
// serial_waitchr() for each character in turn, each with the full timeout.
int serial_waitstr(int fd, const char *s, int timeout_ms);

// The same waits in microseconds, a negative timeout waiting without limit.
// Without report, serial_waitchr_us() keeps no history and says nothing on a
// timeout. serial_wait_us() and serial_getchr_us() see the line as select()
// does: a hang-up or an error makes it ready and the read reports it; only
// an exceptional condition fails the wait (-EIO).
int serial_wait_us(int fd, long timeout_us);
int serial_getchr_us(int fd, long timeout_us);
int serial_waitchr_us(int fd, char c, long timeout_us, bool report);

// Modem lines.
int serial_modem_ctl(int fd, int bit);
int serial_modem_set_ctl(int fd, int bit, int state);

static inline int serial_dsr(int fd)
{
	return serial_modem_ctl(fd, TIOCM_DSR);
}

static inline int serial_cts(int fd)
{
	return serial_modem_ctl(fd, TIOCM_CTS);
}

static inline int serial_set_rts(int fd, int state)
{
	return serial_modem_set_ctl(fd, TIOCM_RTS, state);
}

static inline int serial_set_dtr(int fd, int state)
{
	return serial_modem_set_ctl(fd, TIOCM_DTR, state);
}
