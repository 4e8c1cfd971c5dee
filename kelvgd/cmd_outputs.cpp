// Commands that drive outputs: auxiliary power, relays, the maintenance
// sound channel.
#include <cerrno>
#include <cstdio>

#include "gpio.h"
#include "gpio_mode/inputs.h"
#include "gpio_mode/sound_maint.h"
#include "handlers.h"
#include "shared_state.h"

#define GPIO_AUXPWR_OFF 7

int vgd_auxpwrdis(cmdline_param *params)
{
	int32_t off = param_num(params, 'd');
	int r = gpio_init();

	if (r < 0)
		return r;
	r = gpio_set(GPIO_AUXPWR_OFF, off);
	gpio_done();
	printf("%d\n", off);
	return r;
}

// Options -a to -d switch relays 1 to 4.
int vgd_relays(cmdline_param *params)
{
	int r = gpio_init();
	int n;

	if (r < 0)
		return r;
	r = vgd_write_lock(SEM_SSTATE_R, SEM_SSTATE_W);
	if (r == 0) {
		n = num_relays();
		if (n < 0)
			r = n;
		for (int i = 0; r == 0 && i < n; i++) {
			int32_t v = param_num(params, (char)('a' + i));

			if (v >= 0)
				r = relay_set(i, v != 0);
		}
		vgd_write_unlock(SEM_SSTATE_R, SEM_SSTATE_W);
	}
	gpio_done();
	return r;
}

int vgd_sound(cmdline_param *params)
{
	return sound_enable(param_num(params, 'c'));
}

int vgd_nosound(cmdline_param *params)
{
	(void)params;
	return sound_disable();
}
