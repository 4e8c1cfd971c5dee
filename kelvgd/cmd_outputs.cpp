// auxpwr: switches the external (auxiliary) power supply off or on.
#include <cstdio>

#include "gpio.h"
#include "handlers.h"

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
