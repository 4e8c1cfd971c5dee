#include "inputs.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "coproc.h"
#include "gpio.h"
#include "shared_state.h"

static int inputs_cp_fd = -1;

struct device_counts {
	uint8_t discrete, buttons, relays, tsensors;
};

// By device type: types 1 and 3 are the large terminals.
static const device_counts device_types[] = {
	{ 7, 4, 1, 0 },
	{ 22, 8, 4, 2 },
	{ 7, 4, 1, 0 },
	{ 22, 8, 4, 2 },
};

// The record may have been left by another build; a count from it is
// trusted only as far as the arrays go.
static int vgd_count(uint8_t n, int capacity)
{
	return n ? std::min<int>(n, capacity) : -EAGAIN;
}

int num_discrete(void)
{
	return vgd_count(vgd_state->num_discrete, sizeof(vgd_state->discrete) / sizeof(vgd_state->discrete[0]));
}

int num_buttons(void)
{
	return vgd_count(vgd_state->num_buttons, sizeof(vgd_state->buttoncur) / sizeof(vgd_state->buttoncur[0]));
}

int num_relays(void)
{
	return vgd_count(vgd_state->num_relays, 8 * sizeof(vgd_state->relays));
}

int num_tsensors(void)
{
	return std::min<int>(vgd_state->num_tsensors, sizeof(vgd_state->temp_sensors) / sizeof(vgd_state->temp_sensors[0]));
}

int inputs_init(const char *path)
{
	int devtype, minor;
	int fd;
	int r;

	if (inputs_cp_fd >= 0)
		return -EBUSY;
	fd = coproc_init(path, INPUTS_BAUD);
	if (fd < 0)
		return fd;
	r = coproc_info(fd, &devtype, &minor);
	if (r == 0 && devtype >= (int)(sizeof(device_types) / sizeof(device_types[0]))) {
		fprintf(stderr, "%s(): Unknown device type\n", __func__);
		r = -EINVAL;
	}
	if (r == 0)
		r = vgd_write_lock(SEM_SSTATE_R, SEM_SSTATE_W);
	if (r < 0) {
		coproc_done(fd);
		return r;
	}
	vgd_state->devtype = (uint8_t)devtype;
	vgd_state->devtype_valid = 1;
	// The four counts are adjacent and published in one store.
	static_assert(offsetof(shared_state, num_tsensors) - offsetof(shared_state, num_discrete) == 3);
	memcpy(&vgd_state->num_discrete, &device_types[devtype], sizeof(device_counts));
	vgd_write_unlock(SEM_SSTATE_R, SEM_SSTATE_W);
	inputs_cp_fd = fd;
	return 0;
}

int inputs_done(void)
{
	int r = 0;

	if (inputs_cp_fd >= 0)
		r = coproc_done(inputs_cp_fd);
	inputs_cp_fd = -1;
	return r;
}

static double adc_volts(int reading)
{
	return reading * 5.0 * 0.0009765625;
}

// Selects a multiplexer input and reads one ADC channel; volts.
static int read_input(unsigned input, unsigned channel, double *volts)
{
	int r = coproc_input(inputs_cp_fd, input);

	if (r == 0)
		r = coproc_adc(inputs_cp_fd, channel);
	if (r < 0)
		return r;
	*volts = adc_volts(r);
	return 0;
}

// A resistance rounded or truncated to whole ohms: not positive is 0, too
// large (or not a number) is the "not measured" value.
static int32_t ohms(double v)
{
	if (std::isnan(v))
		return OHMS_MAX;
	if (v <= 0)
		return 0;
	return v > OHMS_MAX ? OHMS_MAX : (int32_t)v;
}

static int32_t truncate_i32(double v)
{
	if (std::isnan(v))
		return 0;
	return (int32_t)std::clamp(v, (double)INT32_MIN, (double)INT32_MAX);
}

static int read_buttons_calls(int n, int32_t *buttons, vgd_flag *active)
{
	uint32_t pressed, latched;
	int r = coproc_calls(inputs_cp_fd, &pressed, &latched);

	if (r < 0)
		return r;
	for (int i = 0; i < n; i++) {
		buttons[i] = pressed & (1u << i) ? 0 : OHMS_MAX;
		active[i] = ((pressed | latched) >> i) & 1u;
	}
	return 0;
}

static int read_buttons_analog(int devtype, int n, double r_ref, int32_t *buttons, vgd_flag *active)
{
	int sound_ch = vgd_load(&vgd_state->sound_ch);

	for (int i = 0; i < n; i++) {
		int32_t value;
		int res;

		if (i + 1 == sound_ch) {
			// The channel is connected for maintenance: not a button now.
			buttons[i] = OHMS_MAX;
			active[i] = 0;
			continue;
		}
		if (devtype == 2) {
			double x, d;

			if ((res = coproc_input(inputs_cp_fd, 8 + i)) < 0 || (res = coproc_adc(inputs_cp_fd, 2)) < 0)
				return res;
			x = res;
			d = 81.00740840517241 - 0.0927734375 * x;
			if (d <= 0)
				value = OHMS_MAX;
			else
				value = std::max(truncate_i32((x * 249.0234375 - 9455.172413793098) / d) - 200, 0);
		} else {
			double u;

			if ((res = read_input(24 + i, 1, &u)) < 0)
				return res;
			value = ohms(0.5 + (u - INPUTS_DIODE) * 3006 / (5.0 - u) - r_ref - 200);
		}
		buttons[i] = value;
		active[i] = inputs_closed(value);
	}
	return 0;
}

int inputs_update(double *diode, int32_t *temperature, int32_t *rmux, int32_t discrete[22], vgd_flag alarm[22],
		  int32_t buttons[8], vgd_flag active[8])
{
	const int devtype = vgd_state->devtype;
	const int n_discrete = std::max(num_discrete(), 0);
	const int n_buttons = std::max(num_buttons(), 0);
	double u, r_ref;
	int r;

	if (inputs_cp_fd < 0)
		return -EBADF;
	*temperature = INPUTS_BOARD_TEMP;

	// The reference loop calibrates the multiplexer path.
	if ((r = read_input(devtype & 1 ? 23 : 7, 1, &u)) < 0)
		return r;
	r_ref = (u - INPUTS_DIODE) * 3006 / (5.0 - u) - 200;
	*diode = INPUTS_DIODE;
	*rmux = truncate_i32(r_ref);

	for (int i = 0; i < n_discrete; i++) {
		double R;

		if ((r = read_input(i, 1, &u)) < 0)
			return r;
		R = ((6.0 * r_ref + 324000 + 153000000) * (u - INPUTS_DIODE) / (5.0 - u) -
		     (200 * r_ref + 10800000 + 51000 * r_ref)) /
		    (r_ref + 54000);
		discrete[i] = ohms(R + 0.5);
		alarm[i] = inputs_alarm(discrete[i]);
	}

	if (devtype == 0)
		return read_buttons_calls(n_buttons, buttons, active);
	return read_buttons_analog(devtype, n_buttons, r_ref, buttons, active);
}

// The supply inputs sit behind an 18100:5100 divider.
#define DIVIDER (18100.0 / 5100.0)

int update_batt_voltage(int32_t *millivolts)
{
	int a = coproc_adc(inputs_cp_fd, 6);

	if (a < 0)
		return a;
	*millivolts = (int32_t)((int64_t)((a * 5000) >> 10) * 18100 / 5100);
	return 0;
}

int update_psu_voltage(double *volts)
{
	int a = coproc_adc(inputs_cp_fd, 7);

	if (a < 0)
		return a;
	*volts = adc_volts(a) * DIVIDER;
	return 0;
}

int update_micspk_voltage(double diode, int32_t *spk_current, double *mic_volts)
{
	int a = coproc_adc(inputs_cp_fd, 3);

	if (a < 0)
		return a;
	*mic_volts = adc_volts(a) * DIVIDER - diode;
	*spk_current = 0;
	return 0;
}

int battery_charge(int on)
{
	return coproc_charge(inputs_cp_fd, on);
}

int ewdt_get(void)
{
	return coproc_wdt(inputs_cp_fd, -1);
}

int ewdt_reset(void)
{
	return coproc_wdt(inputs_cp_fd, vgd_state->wdt_period + 60);
}

int ewdt_disable(void)
{
	return coproc_wdt(inputs_cp_fd, 0);
}

int temp_convert(void)
{
	return coproc_temp_convert(inputs_cp_fd);
}

int temp_read(double *values, int *count)
{
	return coproc_temp_read(inputs_cp_fd, values, count);
}

int relay_set(int relay, int on)
{
	int r;

	if (relay < 0 || relay >= 8)
		return -EINVAL;
	r = gpio_set(RELAY_GPIO_BASE + relay, on);
	if (r < 0)
		return r;
	if (on)
		vgd_state->relays |= (uint8_t)(1u << relay);
	else
		vgd_state->relays &= (uint8_t)~(1u << relay);
	return 0;
}
