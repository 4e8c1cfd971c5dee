// Driver of the 2-line compact board (revision 4).
//
// The board's switches are GPIO lines of the terminal and its analogue
// values come from the host's IIO converter; sampling, SI, line packets,
// the hardware watchdog and the board temperature belong to the serial
// coprocessor of GPIO-mode terminals (coproc.h), which on this board has
// device type 2 and talks at 230400 baud.
#include <cerrno>
#include <climits>
#include <cstdio>

#include "adc.h"
#include "boards.h"
#include "cfg.h"
#include "coproc.h"
#include "gpio.h"
#include "hostio.h"
#include "packet.h"
#include "paths.h"
#include "rootpath.h"
#include "shared_state.h"

#define OM_TTY_DEFAULT "/dev/ttyS4"
#define OM_BAUD 230400
#define OM_LINES 2
#define OM_DEVTYPE 2
// The watchdog is armed for the configured period and this much more, so
// that the loop's own reboot comes first.
#define OM_WDT_MARGIN 60

// GPIO lines of the board (1 = on unless said otherwise).
#define OM_ROUTE_LINE1 59 // with OM_ROUTE_ON: line 1, else line 2
#define OM_ROUTE_ON 47
#define OM_ROUTE_PKT 86 // the route serves the packet transmitter, not the sound path
#define OM_FILTER 57
#define OM_AUX_OFF 7
#define OM_FOUR_WIRE 87
#define OM_MODULE_RESET 88
#define OM_PROT_RESET 89
#define OM_CHARGE_OFF 49

// Converter channels.
#define OM_ADC_MOD_SUPPLY 2
#define OM_ADC_PSU 3
#define OM_ADC_BATTERY 4

// The board's dividers.
#define OM_LINE_FACTOR 69.18181818181819
#define OM_PSU_FACTOR 14.636363636363637

static int cp_fd = -1;
static cio_packet om_pkt;
static cio_host_io om_io;

static int orbesk_mini_done(void)
{
	int r = 0, g;

	if (cp_fd >= 0)
		r = coproc_done(cp_fd);
	cp_fd = -1;
	cio_packet_drop(&om_pkt);
	g = cio_host_io_release(&om_io);
	return r < 0 ? r : g;
}

static int orbesk_mini_init(void)
{
	const char *tty = cfg_read_str(kel_path(DEVICE_CONF), "tty", nullptr);
	int devtype, minor;
	int r;

	if (cp_fd >= 0)
		return -EBUSY;
	// The coprocessor's reset is a GPIO line: GPIO first.
	if ((r = cio_host_io_take(&om_io)) < 0 || (r = coproc_init(tty ? tty : kel_path(OM_TTY_DEFAULT), OM_BAUD)) < 0)
		goto fail;
	cp_fd = r;
	if ((r = coproc_info(cp_fd, &devtype, &minor)) < 0)
		goto fail;
	if (devtype != OM_DEVTYPE) {
		fputs("Wrong firmware in the coprocessor!\n", stderr);
		r = -EINVAL;
		goto fail;
	}
	return 0;
fail:
	orbesk_mini_done();
	return r;
}

static int orbesk_mini_num_phys_ch(void)
{
	return OM_LINES;
}

static uint64_t orbesk_mini_ns_to_send(void)
{
	return 1000000000ULL;
}

static int orbesk_mini_si(uint8_t mask)
{
	return coproc_si(cp_fd, mask);
}

static int orbesk_mini_freq_set(unsigned rate)
{
	return coproc_freq_set(cp_fd, rate);
}

// Four 2-bit samples a byte; the latency as the coprocessor shows it.
static int64_t orbesk_mini_read(uint8_t *buf, unsigned count)
{
	return coproc_read_ld(cp_fd, buf, count);
}

static int om_route(int line, bool packet)
{
	int r;

	if ((r = gpio_set(OM_ROUTE_LINE1, line == 0)) < 0 || (r = gpio_set(OM_ROUTE_ON, line >= 0)) < 0)
		return r;
	return gpio_set(OM_ROUTE_PKT, packet || line < 0);
}

static int orbesk_mini_sound_set(int line)
{
	return om_route(line, false);
}

static int orbesk_mini_pkt_set_ch(int line)
{
	return om_route(line, true);
}

static int orbesk_mini_filter_en(bool enable)
{
	return gpio_set(OM_FILTER, enable);
}

static int orbesk_mini_mod_four_wire(bool enable)
{
	return gpio_set(OM_FOUR_WIRE, enable);
}

static int orbesk_mini_module_reset(bool reset)
{
	return gpio_set(OM_MODULE_RESET, reset);
}

static int orbesk_mini_prot_reset(bool reset)
{
	return gpio_set(OM_PROT_RESET, reset);
}

static int orbesk_mini_aux_pwr_en(bool enable)
{
	return gpio_set(OM_AUX_OFF, !enable);
}

static int orbesk_mini_batt_charge(bool enable)
{
	return gpio_set(OM_CHARGE_OFF, !enable);
}

// Whole volts behind a line module's divider; a reading below the
// converter's zero is none.
static int om_divided_volts(int channel, const char *who, int32_t *volts)
{
	double v;
	int r = adc_read_volts(channel, who, &v);

	if (r < 0)
		return r;
	v *= OM_LINE_FACTOR;
	*volts = v < 0 ? 0 : v > INT32_MAX ? INT32_MAX : (int32_t)v;
	return 0;
}

static int orbesk_mini_mod_voltage(uint8_t line, int32_t *volts)
{
	if (line >= OM_LINES)
		return -EINVAL;
	return om_divided_volts(line, __func__, volts);
}

static int orbesk_mini_mod_supply(int32_t *volts)
{
	return om_divided_volts(OM_ADC_MOD_SUPPLY, __func__, volts);
}

// A reading far below the converter's zero comes from a converter out of
// order, not from the supply.
static int orbesk_mini_psu_voltage(double *volts)
{
	double v;
	int r = adc_read_volts(OM_ADC_PSU, __func__, &v);

	if (r < 0)
		return r;
	v *= OM_PSU_FACTOR;
	if (v < -0.5)
		return -ERANGE;
	*volts = v;
	return 0;
}

static int orbesk_mini_batt_voltage(int32_t *millivolts)
{
	int32_t mv;
	int64_t batt;
	int r = adc_read_mv(OM_ADC_BATTERY, __func__, &mv);

	if (r < 0)
		return r;
	batt = (int64_t)mv * 32200 / 2200;
	*millivolts = batt < 0 ? 0 : batt > INT32_MAX ? INT32_MAX : (int32_t)batt;
	return 0;
}

static int orbesk_mini_wdt_get(void)
{
	return coproc_wdt(cp_fd, -1);
}

static int orbesk_mini_wdt_reset(void)
{
	int32_t period = vgd_state->wdt_period;

	// A negative load would be a query, and a huge one would wrap.
	if (period < 0)
		period = 0;
	if (period > INT32_MAX - OM_WDT_MARGIN)
		period = INT32_MAX - OM_WDT_MARGIN;
	return coproc_wdt(cp_fd, period + OM_WDT_MARGIN);
}

static int orbesk_mini_wdt_disable(void)
{
	return coproc_wdt(cp_fd, 0);
}

static int orbesk_mini_board_temp(int32_t *celsius)
{
	return coproc_board_temp(cp_fd, celsius);
}

static int orbesk_mini_pkt_prepare(const uint8_t *bytes, unsigned count)
{
	return cio_packet_keep(&om_pkt, bytes, count);
}

static int orbesk_mini_pkt_send(void)
{
	int r = coproc_pkt_send(cp_fd, om_pkt.data, om_pkt.len);

	if (r < 0)
		return r;
	cio_packet_drop(&om_pkt);
	return 0;
}

const cio_ops cio_ops_orbesk_mini = {
	.init = orbesk_mini_init,
	.done = orbesk_mini_done,
	.si = orbesk_mini_si,
	.delay = nullptr,
	.aux_pwr_en = orbesk_mini_aux_pwr_en,
	.filter_en = orbesk_mini_filter_en,
	.sound_set = orbesk_mini_sound_set,
	.prot_reset = orbesk_mini_prot_reset,
	.mod_four_wire = orbesk_mini_mod_four_wire,
	.module_reset = orbesk_mini_module_reset,
	.freq_set = orbesk_mini_freq_set,
	.num_phys_ch = orbesk_mini_num_phys_ch,
	.read = orbesk_mini_read,
	.pkt_set_ch = orbesk_mini_pkt_set_ch,
	.pkt_prepare = orbesk_mini_pkt_prepare,
	.pkt_send = orbesk_mini_pkt_send,
	.pkt_capable = nullptr,
	.read_diode = nullptr,
	.mod_voltage = orbesk_mini_mod_voltage,
	.batt_voltage = orbesk_mini_batt_voltage,
	.psu_voltage = orbesk_mini_psu_voltage,
	.mod_supply = orbesk_mini_mod_supply,
	.batt_charge = orbesk_mini_batt_charge,
	.wdt_disable = orbesk_mini_wdt_disable,
	.wdt_reset = orbesk_mini_wdt_reset,
	.wdt_get = orbesk_mini_wdt_get,
	.board_temp = orbesk_mini_board_temp,
	.ns_to_send = orbesk_mini_ns_to_send,
};
