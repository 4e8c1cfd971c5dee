// Driver of the 4-line VIA board on a serial port of the host (revision 1).
//
// The board is driven through its port alone: each byte written sets its
// output register (port B: module reset, sound path, filter and the line
// selector), the modem outputs DTR and RTS drive SI, the modem input DSR
// tells whether the lines' voltage is gone, and the board streams its line
// samples without pause, two 4-bit samples a byte. Its temperature comes
// from the host's first hwmon device.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <ctime>
#include <unistd.h>

#include "boards.h"
#include "cfg.h"
#include "errmsg.h"
#include "fileio.h"
#include "paths.h"
#include "receive.h"
#include "rootpath.h"
#include "serial.h"
#include "shared_state.h"
#include "thermal.h"
#include "util.h"

#define VIA_TTY_DEFAULT "/dev/ttyS1"
#define VIA_BAUD 115200
#define VIA_LINES 4
#define VIA_RATE 16384u
#define VIA_WAIT_MS 1000
// Volts on every line while DSR says they are there, and gone.
#define VIA_VOLTS_PRESENT 60
#define VIA_VOLTS_GONE 0

// Bits of port B.
#define VIA_MODULE_RESET 0x01
#define VIA_SOUND 0x08
#define VIA_FILTER 0x10
#define VIA_SEL_BIT1 0x40 // not bit 1 of the selected line
#define VIA_SEL_BIT0 0x80 // not bit 0

#define VIA_HWMON_SENSOR "/sys/class/hwmon/hwmon0/device/temp%u_input"

static int cp_fd = -1;
static uint8_t portb;

static int cio_via_init(void)
{
	const char *tty = cfg_read_str(kel_path(DEVICE_CONF), "tty", nullptr);
	int fd;

	if (cp_fd >= 0) {
		errno = EBUSY;
		return neg_errno_msg("%s(): Already initialized!\n", __func__);
	}
	fd = serial_open_raw(tty ? tty : kel_path(VIA_TTY_DEFAULT), VIA_BAUD, 8, 0, 0, 1);
	if (fd < 0)
		return fd;
	cp_fd = fd;
	return 0;
}

static int cio_via_done(void)
{
	int r = cp_fd >= 0 ? serial_close(cp_fd) : 0;

	cp_fd = -1;
	return r;
}

static int cio_via_update_portb(void)
{
	static const char who[] = "cio_via_update_portb";
	struct timespec first = {}, now;
	bool retrying = false;

	for (;;) {
		ssize_t n = write(cp_fd, &portb, 1);

		if (n == 1)
			return 0;
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0)
			return neg_errno_msg("%s(): write() failed\n", who);
		// Nothing taken: the port is full. Try again for a second.
		if (clock_gettime(CLOCK_MONOTONIC, retrying ? &now : &first) != 0)
			return neg_errno_msg("%s(): clock_gettime() failed\n", who);
		if (retrying && ts_elapsed_ns(&first, &now) >= NSEC_PER_SEC) {
			errno = ETIMEDOUT;
			return neg_errno_msg("%s(): time out\n", who);
		}
		retrying = true;
		vgd_usleep(1000);
	}
}

static int cio_via_set_mux(int line)
{
	if (line & 1)
		portb = (uint8_t)((portb & ~VIA_SEL_BIT0) | VIA_SEL_BIT1);
	else
		portb |= VIA_SEL_BIT0 | VIA_SEL_BIT1;
	if (line & 2)
		portb &= (uint8_t)~VIA_SEL_BIT1;
	return cio_via_update_portb();
}

static void via_portb_bit(uint8_t bit, bool on)
{
	portb = (uint8_t)(on ? portb | bit : portb & ~bit);
}

// Line -1 (no sound) leaves line 3 selected.
static int cio_via_sound_set(int line)
{
	via_portb_bit(VIA_SOUND, line >= 0);
	return cio_via_set_mux(line);
}

static int cio_via_filter_en(bool enable)
{
	via_portb_bit(VIA_FILTER, enable);
	return cio_via_update_portb();
}

static int cio_via_module_reset(bool reset)
{
	via_portb_bit(VIA_MODULE_RESET, reset);
	return cio_via_update_portb();
}

// SI into one line: that line selected, DTR and RTS raised. Into several:
// RTS dropped, which drives every line. None: DTR dropped, then RTS
// raised, so that no line sees SI on the way.
static int cio_via_si(uint8_t mask)
{
	int r;

	switch (mask) {
	case 0:
		if ((r = serial_set_dtr(cp_fd, 0)) < 0)
			return r;
		return serial_set_rts(cp_fd, 1);
	case 1:
	case 2:
	case 4:
	case 8:
		if ((r = cio_via_set_mux(__builtin_ctz(mask))) < 0 || (r = serial_set_dtr(cp_fd, 1)) < 0)
			return r;
		return serial_set_rts(cp_fd, 1);
	default:
		return serial_set_rts(cp_fd, 0);
	}
}

static int cio_via_freq_set(unsigned rate)
{
	return rate == VIA_RATE ? 0 : -EINVAL;
}

static int cio_via_num_phys_ch(void)
{
	return VIA_LINES;
}

static uint64_t cio_via_ns_to_send(void)
{
	return 1000000000ULL;
}

// Two 4-bit samples a byte, as they come; the board does not measure
// latency.
static int64_t cio_via_read(uint8_t *buf, unsigned count)
{
	if (count == 0)
		return 0;
	// What piled up meanwhile is old.
	if (serial_flush(cp_fd) < 0)
		return neg_errno_msg("%s(): Flushing failed\n", __func__);
	return cio_receive(cp_fd, buf, count / 2 + count % 2, VIA_WAIT_MS, __func__);
}

// DSR tells for all lines at once whether their voltage is gone.
static int cio_via_mod_voltage(uint8_t line, int32_t *volts)
{
	int dsr;

	if (line >= VIA_LINES)
		return -EINVAL;
	dsr = serial_dsr(cp_fd);
	if (dsr < 0) {
		errno = -dsr;
		return neg_errno_msg("%s(): DSR read failed\n", __func__);
	}
	*volts = dsr ? VIA_VOLTS_GONE : VIA_VOLTS_PRESENT;
	return 0;
}

// One sensor of hwmon0: 1 when read into *v, 0 when it does not exist, the
// error when it exists but cannot be read.
static int via_sensor(unsigned n, int32_t *v)
{
	char path[PATH_MAX];

	if (kel_pathf(path, sizeof(path), VIA_HWMON_SENSOR, n) < 0 || !file_exists(path))
		return 0;
	return file_readint(path, v) < 0 ? -EIO : 1;
}

// The hotter of the two sensors of the host's first hwmon device; the
// first is a raw reading of its own scale, the second in millidegrees.
static int cio_via_board_temp(int32_t *celsius)
{
	static bool told;
	int max = -1000;
	int32_t v;
	int r;

	if ((r = via_sensor(1, &v)) < 0)
		goto fail;
	if (r > 0) {
		max = (int)(((double)v - 83869) * 0.0010495382031905961);
		if ((r = via_sensor(2, &v)) < 0)
			goto fail;
		if (r > 0 && v / 1000 > max)
			max = v / 1000;
	}
	return cio_sensors_hottest(max, __func__, &told, celsius);
fail:
	return cio_sensor_unreadable(__func__);
}

const cio_ops cio_ops_via = {
	.init = cio_via_init,
	.done = cio_via_done,
	.si = cio_via_si,
	.delay = nullptr,
	.aux_pwr_en = nullptr,
	.filter_en = cio_via_filter_en,
	.sound_set = cio_via_sound_set,
	.prot_reset = nullptr,
	.mod_four_wire = nullptr,
	.module_reset = cio_via_module_reset,
	.freq_set = cio_via_freq_set,
	.num_phys_ch = cio_via_num_phys_ch,
	.read = cio_via_read,
	.pkt_set_ch = nullptr,
	.pkt_prepare = nullptr,
	.pkt_send = nullptr,
	.pkt_capable = nullptr,
	.read_diode = nullptr,
	.mod_voltage = cio_via_mod_voltage,
	.batt_voltage = nullptr,
	.psu_voltage = nullptr,
	.mod_supply = nullptr,
	.batt_charge = nullptr,
	.wdt_disable = nullptr,
	.wdt_reset = nullptr,
	.wdt_get = nullptr,
	.board_temp = cio_via_board_temp,
	.ns_to_send = cio_via_ns_to_send,
};
