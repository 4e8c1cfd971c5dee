// Driver of the 8-line USB control board "DornUSB" (revision 2).
//
// The board is a USB serial device with a line-oriented text protocol: a
// command is ASCII text ended by a carriage return, several commands may go
// in one transmission, numbers are decimal. Replies that carry numbers give
// them in decimal or as "0x" hexadecimal, separated by blanks and ended by
// a carriage return; the board echoes nothing. It generates SI, samples the
// eight lines, switches the sound path and its filter, measures line
// voltages and sends line packets itself. Its temperature is the hottest of
// the host's own sensors.
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <syslog.h>
#include <unistd.h>

#include "boards.h"
#include "cfg.h"
#include "errmsg.h"
#include "packet.h"
#include "receive.h"
#include "paths.h"
#include "rootpath.h"
#include "serial.h"
#include "serial_reply.h"
#include "thermal.h"
#include "util.h"

#define USB_TTY_DEFAULT "/dev/serial/by-id/usb-dorn"
#define USB_BAUD 4000000
#define USB_LINES 8
#define USB_WAIT_MS SERIAL_REPLY_WAIT_MS
// The longest command text, without its carriage return.
#define USB_CMD_MAX 254
#define USB_WRITE_PIECE 64
#define USB_WRITE_ATTEMPTS 32
#define USB_SAMPLES_MAX 16777215u
#define USB_PKT_MAX 62

static int usb_fd = -1;
static cio_packet usb_pkt;
static char usb_version[64];

static int usb_error(int status)
{
	errno = -status;
	return status;
}

static int __attribute__((format(printf, 2, 3))) cio_usb_coproc_cmd(int fd, const char *fmt, ...)
{
	static const char who[] = "cio_usb_coproc_cmd";
	char buf[USB_CMD_MAX + 2];
	va_list ap;
	size_t len, off = 0;
	int n;

	va_start(ap, fmt);
	n = vsnprintf(buf, USB_CMD_MAX + 1, fmt, ap);
	va_end(ap);
	if (n < 0) {
		errno = EINVAL;
		return neg_errno_msg("%s(): Error processing parameters\n", who);
	}
	if (n > USB_CMD_MAX) {
		errno = E2BIG;
		return neg_errno_msg("%s(): Parameters list too long\n", who);
	}
	buf[n] = '\r';
	len = (size_t)n + 1;

	// Pieces of at most 64 bytes, each written within 32 attempts.
	while (off < len) {
		size_t piece = len - off < USB_WRITE_PIECE ? len - off : USB_WRITE_PIECE;
		int attempts = 0;

		while (piece > 0) {
			ssize_t w;

			if (attempts++ == USB_WRITE_ATTEMPTS) {
				errno = ETIMEDOUT;
				return neg_errno_msg("%s(): Write timeout\n", who);
			}
			w = write(fd, buf + off, piece);
			if (w < 0 && errno != EAGAIN && errno != EINTR)
				return neg_errno_automsg();
			if (w > 0) {
				off += (size_t)w;
				piece -= (size_t)w;
			}
		}
	}
	return 0;
}

static int cio_usb_readnums(int fd, int32_t *nums, int *count)
{
	return serial_reply_nums(fd, nums, count, __func__);
}

static int cio_usb_read_num(int fd, int32_t *v)
{
	int n = 1;
	int r = cio_usb_readnums(fd, v, &n);

	if (r < 0)
		return r;
	return n == 1 ? 0 : -ENODATA;
}

static int cio_usb_flush(int fd, const char *who)
{
	if (serial_flush(fd) < 0)
		return neg_errno_msg("%s(): Flushing failed\n", who);
	return 0;
}

// Opens the port and checks that a board answers.
static int cio_usb_coproc_init(const char *path, int baud)
{
	static const char who[] = "cio_usb_coproc_init";
	char erase[64];
	int fd = serial_open_raw(path, baud, 8, 0, 0, 1);
	int r;

	if (fd < 0)
		return fd;
	// Backspaces clear whatever half command the board's line editor holds.
	memset(erase, 0x08, sizeof(erase));
	for (int i = 0; i < 2; i++) {
		ssize_t n = write(fd, erase, sizeof(erase));

		if (n < 0) {
			r = neg_errno_automsg();
			goto fail;
		}
		if (n == 0) {
			errno = EIO;
			r = neg_errno_msg("%s(): Short write\n", who);
			goto fail;
		}
	}
	if ((r = cio_usb_flush(fd, who)) < 0)
		goto fail;
	if ((r = cio_usb_coproc_cmd(fd, "echo 0x55")) < 0 || (r = serial_waitchr(fd, 0x55, USB_WAIT_MS)) < 0) {
		usb_error(r);
		r = neg_errno_msg("%s(): No echo\n", who);
		goto fail;
	}
	return fd;
fail:
	serial_close(fd);
	return r;
}

static int cio_usb_done(void)
{
	int r = 0;

	if (usb_fd >= 0)
		r = serial_close(usb_fd);
	usb_fd = -1;
	cio_packet_drop(&usb_pkt);
	return r;
}

static int cio_usb_init(void)
{
	const char *device = kel_path(DEVICE_CONF);
	const char *tty = cfg_read_str(device, "tty", nullptr);
	int32_t v[2];
	int n = 2;
	int r;

	if (usb_fd >= 0) {
		errno = EBUSY;
		return neg_errno_msg("%s(): Already initialized!\n", __func__);
	}
	r = cio_usb_coproc_init(tty ? tty : kel_path(USB_TTY_DEFAULT), USB_BAUD);
	if (r < 0)
		return r;
	usb_fd = r;

	if ((r = cio_usb_coproc_cmd(usb_fd, "ver")) < 0 ||
	    (r = serial_waitstr(usb_fd, "DornUSB firmware v. ", USB_WAIT_MS)) < 0) {
		usb_error(r);
		neg_errno_msg("%s(): Firmware check failed\n", __func__);
		goto fail;
	}
	if ((r = cio_usb_readnums(usb_fd, v, &n)) < 0)
		goto fail;
	if (n < 2) {
		r = -EINVAL;
		goto fail;
	}
	snprintf(usb_version, sizeof(usb_version), "DornUSB firmware v. %d.%d", v[0], v[1]);
	syslog(LOG_INFO, "%s", usb_version);
	if ((r = cio_usb_coproc_cmd(usb_fd, "simodset 0\rladdset 1")) < 0)
		goto fail;
	return 0;
fail:
	cio_usb_done();
	return r;
}

static int cio_usb_num_phys_ch(void)
{
	return USB_LINES;
}

static int cio_usb_freq_set(unsigned rate)
{
	if (rate < 16384 || rate > 81920)
		return -ERANGE;
	if (2048000 % rate)
		return -EINVAL;
	return cio_usb_coproc_cmd(usb_fd, "freq %u", rate);
}

static int cio_usb_mod_four_wire(bool enable)
{
	return cio_usb_coproc_cmd(usb_fd, "linemode %u", enable ? 1u : 0u);
}

// Also routes the packet transmitter: packets go out on the sound channel.
static int cio_usb_sound_set(int line)
{
	if (line < 0)
		return cio_usb_coproc_cmd(usb_fd, "sndchset %u\rsndset %u", 7u, 0u);
	return cio_usb_coproc_cmd(usb_fd, "sndchset %u\rsndset %u", (unsigned)line, 1u);
}

static int cio_usb_filter_en(bool enable)
{
	return cio_usb_coproc_cmd(usb_fd, "sndmode %u", enable ? 1u : 0u);
}

static int cio_usb_si(uint8_t mask)
{
	if (mask)
		return cio_usb_coproc_cmd(usb_fd, "siact %u", (unsigned)mask);
	return cio_usb_coproc_cmd(usb_fd, "sipas %u", 255u);
}

// The board answers once it has waited; an answer later than the wait plus
// a second is none.
static int cio_usb_delay(unsigned ms)
{
	const long limit = (long)ms + USB_WAIT_MS;
	struct timespec start;
	int r;

	if ((r = cio_usb_flush(usb_fd, __func__)) < 0)
		return r;
	clock_gettime(CLOCK_MONOTONIC, &start);
	if ((r = cio_usb_coproc_cmd(usb_fd, "delay %u\recho 0xaa", ms)) < 0)
		return r;
	for (;;) {
		long left = limit - (long)(ts_elapsed_ns(&start, nullptr) / NSEC_PER_MSEC);
		unsigned char b;
		ssize_t n;

		if (left <= 0 || (r = serial_waitdata(usb_fd, left > INT_MAX ? INT_MAX : (int)left)) == -ETIMEDOUT) {
			errno = ETIMEDOUT;
			return neg_errno_msg("%s(): No answer\n", __func__);
		}
		if (r < 0)
			return r;
		n = read(usb_fd, &b, 1);
		if (n == 1)
			return 0;
		if (n < 0 && errno != EAGAIN && errno != EINTR)
			return neg_errno_automsg();
	}
}

// One sample a byte, bit i = line i. The board does not measure latency.
static int64_t cio_usb_read(uint8_t *buf, unsigned count)
{
	int r;

	if (count == 0)
		return 0;
	if (count > USB_SAMPLES_MAX)
		return -ENOSYS;
	if ((r = cio_usb_flush(usb_fd, __func__)) < 0)
		return r;
	if ((r = cio_usb_coproc_cmd(usb_fd, "ddcnt %u", count)) < 0)
		return r;
	return cio_receive(usb_fd, buf, count, USB_WAIT_MS, __func__);
}

// The board cannot measure a line while the sound path uses it. A
// negative number is no voltage the board gives.
static int cio_usb_mod_voltage(uint8_t line, int32_t *volts)
{
	int32_t v;
	int r;

	if (line >= USB_LINES)
		return -EINVAL;
	if ((r = cio_usb_flush(usb_fd, __func__)) < 0)
		return r;
	if ((r = cio_usb_coproc_cmd(usb_fd, "sndget")) < 0 || (r = cio_usb_read_num(usb_fd, &v)) < 0)
		return r;
	if (v != 0)
		return -EBUSY;
	if ((r = cio_usb_coproc_cmd(usb_fd, "sndchset %u\rlinev", (unsigned)line)) < 0 ||
	    (r = cio_usb_read_num(usb_fd, &v)) < 0)
		return r;
	if (v < 0)
		return -EPROTO;
	*volts = v;
	return 0;
}

static int cio_usb_pkt_prepare(const uint8_t *bytes, unsigned count)
{
	return cio_packet_keep(&usb_pkt, bytes, count);
}

static int cio_usb_pkt_send(void)
{
	static const char digits[] = "0123456789abcdef";
	char hex[2 * USB_PKT_MAX + 1];
	int r;

	if (!usb_pkt.data)
		return 0;
	if (usb_pkt.len > USB_PKT_MAX)
		return -EMSGSIZE;
	for (unsigned i = 0; i < usb_pkt.len; i++) {
		hex[2 * i] = digits[usb_pkt.data[i] >> 4];
		hex[2 * i + 1] = digits[usb_pkt.data[i] & 15];
	}
	hex[2 * usb_pkt.len] = '\0';
	if ((r = cio_usb_flush(usb_fd, __func__)) < 0)
		return r;
	if ((r = cio_usb_coproc_cmd(usb_fd, "pkt %s\recho 0xaa", hex)) < 0)
		return r;
	if ((r = serial_getchr(usb_fd, USB_WAIT_MS)) < 0) {
		usb_error(r);
		return neg_errno_msg("%s(): Read failed\n", __func__);
	}
	cio_packet_drop(&usb_pkt);
	return 0;
}

const cio_ops cio_ops_usb = {
	.init = cio_usb_init,
	.done = cio_usb_done,
	.si = cio_usb_si,
	.delay = cio_usb_delay,
	.aux_pwr_en = nullptr,
	.filter_en = cio_usb_filter_en,
	.sound_set = cio_usb_sound_set,
	.prot_reset = nullptr,
	.mod_four_wire = cio_usb_mod_four_wire,
	.module_reset = nullptr,
	.freq_set = cio_usb_freq_set,
	.num_phys_ch = cio_usb_num_phys_ch,
	.read = cio_usb_read,
	.pkt_set_ch = cio_usb_sound_set,
	.pkt_prepare = cio_usb_pkt_prepare,
	.pkt_send = cio_usb_pkt_send,
	.pkt_capable = nullptr,
	.read_diode = nullptr,
	.mod_voltage = cio_usb_mod_voltage,
	.batt_voltage = nullptr,
	.psu_voltage = nullptr,
	.mod_supply = nullptr,
	.batt_charge = nullptr,
	.wdt_disable = nullptr,
	.wdt_reset = nullptr,
	.wdt_get = nullptr,
	.board_temp = cio_max_thermal_zone,
	.ns_to_send = nullptr,
};
