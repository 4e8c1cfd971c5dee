// Driver of the 2-line board of the Cirrus Logic based terminal
// (revision 3).
//
// The board's switches (SI outputs, sound path, filter, four-wire mode,
// resets, charger, auxiliary power) are GPIO lines of the terminal, its
// analogue values come from the host's IIO converter, and a small
// coprocessor on a serial port samples the two lines and sends line
// packets. The coprocessor is reset and configured with a short binary
// frame before each acquisition and each packet; its firmware answers a
// version query from the version on that can send packets.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "adc.h"
#include "boards.h"
#include "cfg.h"
#include "errmsg.h"
#include "fileio.h"
#include "gpio.h"
#include "hostio.h"
#include "packet.h"
#include "paths.h"
#include "rootpath.h"
#include "serial.h"
#include "shared_state.h"
#include "util.h"

#define CM_TTY_DEFAULT "/dev/ttyAM1"
#define CM_BAUD 115200
#define CM_LINES 2
// The coprocessor's sample clock divides this.
#define CM_CLOCK 3686400u
#define CM_RATE_MIN 16384u
#define CM_RATE_MAX 46080u
#define CM_ANSWER_MS 250
#define CM_WAIT_MS 1000
// The packet header carries the length in one byte.
#define CM_PKT_MAX 255u

// GPIO lines of the board (1 = on unless said otherwise).
#define CM_SI_LINE1 9
#define CM_SI_LINE2 8
#define CM_SOUND_SEL 12 // 0 = line 1, 1 = line 2
#define CM_SOUND_ON 13
#define CM_FILTER 17
#define CM_AUX_OFF 7
#define CM_FOUR_WIRE 10
#define CM_PROT_RESET 18
#define CM_MODULE_RESET 11
#define CM_CHARGE_OFF 15
#define CM_SUPPLY 61 // input: 1 = supply present
#define CM_CP_RESET 14

// Converter channels.
#define CM_ADC_LINE1 1
#define CM_ADC_LINE2 0
#define CM_ADC_BATTERY 2
#define CM_ADC_DIODE 4

// The line modules' dividers and the supply and diode as the board has them.
#define CM_LINE_FACTOR 55.59975117746379
#define CM_PSU_VOLTS 15.0

static const uint8_t cm_version_query[] = { 0x02, 0x16, 0x22, 0x19, 0x37, 0x00, 0x00 };
static const uint8_t cm_end[] = { 0x00, 0x00 };
static const uint8_t cm_pkt_start = 0x00;

static int cp_fd = -1;
static bool cm_packets; // the coprocessor's firmware can send them
static unsigned read_freq = CM_RATE_MIN;
static cio_packet cm_pkt;
static cio_host_io cm_io;

static int cm_failed(int r, const char *fmt, const char *who)
{
	errno = -r;
	return neg_errno_msg(fmt, who);
}

static int cio_cm_cp_reset(int state)
{
	return gpio_set(CM_CP_RESET, state);
}

// A pulse on the reset line; the coprocessor then waits for a frame.
static int cio_cm_cp_pulse(void)
{
	int r;

	if ((r = cio_cm_cp_reset(1)) < 0)
		return r;
	vgd_usleep(6);
	if ((r = cio_cm_cp_reset(0)) < 0)
		return r;
	vgd_usleep(300);
	return 0;
}

static int cm_write(const uint8_t *bytes, size_t len, const char *who)
{
	int r = fd_write_all(cp_fd, bytes, len);

	return r < 0 ? cm_failed(r, "%s(): write() failed\n", who) : 0;
}

// The version of the coprocessor's firmware; 0 when it does not answer
// (firmware without packet support).
static int cio_cm_coproc_ver(void)
{
	static const char who[] = "cio_cm_coproc_ver";
	int r, c;

	if ((r = cio_cm_cp_pulse()) < 0)
		return r;
	if ((r = serial_flush(cp_fd)) < 0)
		return cm_failed(r, "%s(): Flushing failed\n", who);
	if ((r = cm_write(cm_version_query, sizeof(cm_version_query), who)) < 0)
		return r;
	if (tcdrain(cp_fd) != 0)
		return neg_errno_msg("%s(): write() failed\n", who);
	c = serial_getchr(cp_fd, CM_ANSWER_MS);
	if (c == -ETIMEDOUT)
		return 0;
	if (c < 0)
		return c;
	if (c != 'V')
		return -EINVAL;
	c = serial_getchr(cp_fd, CM_ANSWER_MS);
	if (c == -ETIMEDOUT)
		return -EIO;
	if (c < 0)
		return c;
	// The byte counts up from "0", past "9" too; one below "0" is no
	// answer the firmware gives.
	return c >= '0' ? c - '0' : -EINVAL;
}

// Opens the coprocessor's port and asks its version; firmware before
// version 3 cannot send packets, and the board is left without them.
static int cio_cm_coproc_init(const char *path, int baud)
{
	static const char who[] = "cio_cm_coproc_init";
	int ver;

	int fd = serial_open_raw(path, baud, 8, 0, 0, 1);

	if (fd < 0) {
		errno = -fd;
		return neg_errno_msg("%s(): Error opening %s!\n", who, path);
	}
	cp_fd = fd;
	ver = cio_cm_coproc_ver();
	if (ver < 0) {
		errno = -ver;
		return neg_errno_msg("%s(): cio_cm_coproc_ver() failed!\n", who);
	}
	cm_packets = ver > 2;
	return 0;
}

static int cio_cm_done(void)
{
	int r = 0, g;

	if (cp_fd >= 0)
		r = serial_close(cp_fd);
	cp_fd = -1;
	cm_packets = false;
	cio_packet_drop(&cm_pkt);
	g = cio_host_io_release(&cm_io);
	return r < 0 ? r : g;
}

static int cio_cm_init(void)
{
	const char *tty = cfg_read_str(kel_path(DEVICE_CONF), "tty", nullptr);
	int r;

	if (cp_fd >= 0) {
		errno = EBUSY;
		return neg_errno_msg("%s(): Already initialized!\n", __func__);
	}
	if ((r = cio_host_io_take(&cm_io)) < 0 ||
	    (r = cio_cm_coproc_init(tty ? tty : kel_path(CM_TTY_DEFAULT), CM_BAUD)) < 0) {
		cio_cm_done();
		return r;
	}
	return 0;
}

// Resets the coprocessor and configures it for the rate; then it samples
// (no packet) or waits for the packet start byte.
static int cio_cm_coproc_cfg(unsigned cur_freq, unsigned cmd_count, const uint8_t *cmd_data)
{
	static const char who[] = "cio_cm_coproc_cfg";
	uint8_t cfg[] = { 0x06, 0x16, 0x22, 0x0E, 0x00, 0x19, 0x17, 0x91, 0x00, 0x81, 0xDF, 0x0B, 0xE0 };
	uint8_t header[] = { 0x03, 0x0E, 0x22, 0x0F, 0x07, 0x0B, 0xE0, 0x00 };
	int r;

	if (cur_freq == 0 || cmd_count > CM_PKT_MAX)
		return -EINVAL;
	cfg[4] = (uint8_t)(3 - CM_CLOCK / cur_freq);
	if ((r = cio_cm_cp_pulse()) < 0)
		return cm_failed(r, "%s(): coprocessor reset failed\n", who);
	if ((r = serial_flush(cp_fd)) < 0)
		return cm_failed(r, "%s(): Flushing failed\n", who);
	if ((r = cm_write(cfg, sizeof(cfg), who)) < 0)
		return r;
	if (cmd_count == 0)
		return cm_write(cm_end, sizeof(cm_end), who);
	header[7] = (uint8_t)cmd_count;
	if ((r = cm_write(header, sizeof(header), who)) < 0)
		return r;
	return cm_write(cmd_data, cmd_count, who);
}

static int cio_cm_num_phys_ch(void)
{
	return CM_LINES;
}

static uint64_t cio_cm_ns_to_send(void)
{
	return 1000000000ULL;
}

static int cio_cm_si(uint8_t mask)
{
	int r = gpio_set(CM_SI_LINE1, mask & 1);

	return r < 0 ? r : gpio_set(CM_SI_LINE2, (mask >> 1) & 1);
}

// Also routes the packet transmitter: packets go out on the sound path's line.
static int cio_cm_sound_set(int line)
{
	int r = gpio_set(CM_SOUND_SEL, line != 0);

	return r < 0 ? r : gpio_set(CM_SOUND_ON, line >= 0);
}

static int cio_cm_filter_en(bool enable)
{
	return gpio_set(CM_FILTER, enable);
}

static int cio_cm_mod_four_wire(bool enable)
{
	return gpio_set(CM_FOUR_WIRE, enable);
}

static int cio_cm_prot_reset(bool reset)
{
	return gpio_set(CM_PROT_RESET, reset);
}

static int cio_cm_module_reset(bool reset)
{
	return gpio_set(CM_MODULE_RESET, reset);
}

static int cio_cm_aux_pwr_en(bool enable)
{
	return gpio_set(CM_AUX_OFF, !enable);
}

static int cio_cm_batt_charge(bool enable)
{
	return gpio_set(CM_CHARGE_OFF, !enable);
}

static int cio_cm_freq_set(unsigned rate)
{
	if (rate < CM_RATE_MIN || rate > CM_RATE_MAX || CM_CLOCK % rate)
		return -EINVAL;
	read_freq = rate;
	return 0;
}

// The supply is there or not: its full voltage, or none.
static int cio_cm_psu_voltage(double *volts)
{
	int present = gpio_get(CM_SUPPLY);

	if (present < 0)
		return present;
	*volts = present * CM_PSU_VOLTS;
	return 0;
}

static int cio_cm_batt_voltage(int32_t *millivolts)
{
	int32_t mv;
	int64_t batt;
	int r = adc_read_mv(CM_ADC_BATTERY, __func__, &mv);

	if (r < 0)
		return r;
	batt = (int64_t)mv * 10216400000LL / 2000000000LL + 1200;
	*millivolts = batt < 0 ? 0 : batt > INT32_MAX ? INT32_MAX : (int32_t)batt;
	return 0;
}

static int cio_cm_mod_voltage(uint8_t line, int32_t *volts)
{
	double v;
	int r;

	if (line >= CM_LINES)
		return -EINVAL;
	if ((r = adc_read_volts(line == 0 ? CM_ADC_LINE1 : CM_ADC_LINE2, __func__, &v)) < 0)
		return r;
	v *= CM_LINE_FACTOR;
	*volts = v < 0 ? 0 : v > INT32_MAX ? INT32_MAX : (int32_t)v;
	return 0;
}

static int cio_cm_read_diode(double *volts)
{
	return adc_read_volts(CM_ADC_DIODE, __func__, volts);
}

// Degrees Celsius from the forward voltage of the board's diode.
static int cio_cm_board_temp(int32_t *celsius)
{
	double d;
	int r = cio_cm_read_diode(&d);

	if (r < 0) {
		fprintf(stderr, "%s(): cio_cm_read_diode() failed!\n", __func__);
		return r;
	}
	*celsius = (int32_t)((d - 0.657756) * 42.5 / -0.086592 + 20.9);
	return 0;
}

static bool cio_cm_pkt_capable(void)
{
	return cm_packets;
}

static int cio_cm_pkt_prepare(const uint8_t *bytes, unsigned count)
{
	if (count > CM_PKT_MAX)
		return -EMSGSIZE;
	return cio_packet_keep(&cm_pkt, bytes, count);
}

static int cio_cm_pkt_send(void)
{
	int r;

	if (!cm_pkt.data)
		return 0;
	if ((r = cio_cm_coproc_cfg(read_freq, cm_pkt.len, cm_pkt.data)) < 0 ||
	    (r = cm_write(&cm_pkt_start, 1, __func__)) < 0)
		return r;
	cio_packet_drop(&cm_pkt);
	return 0;
}

// Waits for the coprocessor's samples; 0, or the error.
static int cio_cm_wait(void)
{
	struct pollfd p = { cp_fd, POLLIN, 0 };
	int n;

	while ((n = poll(&p, 1, CM_WAIT_MS)) < 0 && errno == EINTR)
		;
	if (n < 0)
		return neg_errno();
	if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) {
		fprintf(stderr, "%s(): poll() reports an error\n", "cio_cm_read");
		return -EIO;
	}
	return n == 0 ? -ETIMEDOUT : 0;
}

// Four 2-bit samples a byte. The latency is the time from the call until
// the coprocessor, reset and configured, begins to sample.
static int64_t cio_cm_read(uint8_t *buf, unsigned count)
{
	uint8_t scratch[256];
	const unsigned want = count / 4 + (count % 4 != 0);
	struct timespec t0, t1;
	unsigned got = 0;
	int flags;
	int64_t r = 0;

	if (count == 0)
		return 0;
	clock_gettime(CLOCK_MONOTONIC, &t0);
	if ((r = cio_cm_coproc_cfg(read_freq, 0, nullptr)) < 0)
		return r;
	if ((flags = fcntl(cp_fd, F_GETFL)) < 0 || fcntl(cp_fd, F_SETFL, flags | O_NONBLOCK) < 0)
		return neg_errno();
	clock_gettime(CLOCK_MONOTONIC, &t1);

	while (got < want) {
		unsigned room = buf ? want - got : want - got < sizeof(scratch) ? want - got : sizeof(scratch);
		ssize_t n;

		if ((r = cio_cm_wait()) < 0)
			break;
		n = read(cp_fd, buf ? buf + got : scratch, room);
		if (n < 0 && (errno == EAGAIN || errno == EINTR))
			continue;
		if (n <= 0) {
			r = n < 0 ? neg_errno() : -EIO;
			break;
		}
		got += (unsigned)n;
	}
	// The port goes back to blocking whatever happened: the frames are
	// written with it.
	fcntl(cp_fd, F_SETFL, flags);
	if (r < 0)
		return r;
	return ts_elapsed_ns(&t0, &t1);
}

const cio_ops cio_ops_cirrus_mini = {
	.init = cio_cm_init,
	.done = cio_cm_done,
	.si = cio_cm_si,
	.delay = nullptr,
	.aux_pwr_en = cio_cm_aux_pwr_en,
	.filter_en = cio_cm_filter_en,
	.sound_set = cio_cm_sound_set,
	.prot_reset = cio_cm_prot_reset,
	.mod_four_wire = cio_cm_mod_four_wire,
	.module_reset = cio_cm_module_reset,
	.freq_set = cio_cm_freq_set,
	.num_phys_ch = cio_cm_num_phys_ch,
	.read = cio_cm_read,
	.pkt_set_ch = cio_cm_sound_set,
	.pkt_prepare = cio_cm_pkt_prepare,
	.pkt_send = cio_cm_pkt_send,
	.pkt_capable = cio_cm_pkt_capable,
	.read_diode = cio_cm_read_diode,
	.mod_voltage = cio_cm_mod_voltage,
	.batt_voltage = cio_cm_batt_voltage,
	.psu_voltage = cio_cm_psu_voltage,
	.mod_supply = nullptr,
	.batt_charge = cio_cm_batt_charge,
	.wdt_disable = nullptr,
	.wdt_reset = nullptr,
	.wdt_get = nullptr,
	.board_temp = cio_cm_board_temp,
	.ns_to_send = cio_cm_ns_to_send,
};
