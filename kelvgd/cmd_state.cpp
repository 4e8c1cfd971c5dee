// Commands on the daemon's state: calls and alarms, the charger, the speaker
// test, the device type.
#include <cerrno>
#include <cstdio>
#include <ctime>

#include "gpio_mode/inputs.h"
#include "handlers.h"
#include "shared_state.h"

// Clears one latched flag, or all of them.
static int vgd_clear(vgd_flag *flags, int count, int32_t which)
{
	int r = vgd_write_lock(SEM_SSTATE_R, SEM_SSTATE_W);

	if (r < 0)
		return r;
	for (int i = 0; i < count; i++)
		if (which < 0 || which == i)
			flags[i] = 0;
	return vgd_write_unlock(SEM_SSTATE_R, SEM_SSTATE_W);
}

int vgd_clcall(cmdline_param *params)
{
	return vgd_clear(vgd_state->buttonact, 8, param_num(params, 'c'));
}

int vgd_clalarm(cmdline_param *params)
{
	return vgd_clear(vgd_state->alarm, 22, param_num(params, 'c'));
}

// -e 0 keeps the charger off and has the battery measured every cycle.
int vgd_charge(cmdline_param *params)
{
	vgd_expect_loop();
	vgd_store(&vgd_state->batttest, !param_num(params, 'e'));
	return 0;
}

int vgd_spktest(cmdline_param *params)
{
	int n = num_buttons();

	vgd_expect_loop();
	if (n < 0)
		return n;
	vgd_fetch_or(&vgd_state->stest_mask, (uint8_t)(param_num(params, 'm') & ((1 << n) - 1)));
	return 0;
}

int vgd_spkres(cmdline_param *params)
{
	struct timespec now;
	int n = num_buttons();
	int r;

	(void)params;
	clock_gettime(CLOCK_MONOTONIC, &now);
	if ((r = vgd_read_lock(SEM_SSTATE_R, SEM_SSTATE_W)) < 0)
		return r;
	for (int i = 0; i < n; i++) {
		const sound_test_result *t = &vgd_state->stest_res[i];

		if (t->ts)
			printf("vol_mic%u=%g\namp%u=%u\ntime%u=%u\n", i, t->vol_mic, i, t->amp, i,
			       (unsigned)(now.tv_sec - t->ts));
	}
	return vgd_read_unlock(SEM_SSTATE_R, SEM_SSTATE_W);
}

int vgd_devtype(cmdline_param *params)
{
	(void)params;
	if (!vgd_load(&vgd_state->devtype_valid)) {
		vgd_expect_loop(); // the daemon reads it when it starts
		return -EAGAIN;
	}
	printf("%u\n", vgd_state->devtype);
	return 0;
}
