#include "hostio.h"

#include <cstdio>

#include "adc.h"
#include "gpio.h"

int cio_host_io_take(cio_host_io *io)
{
	int r;

	if (!io->gpio) {
		if ((r = gpio_init()) < 0) {
			fputs("Error opening GPIO!\n", stderr);
			return r;
		}
		io->gpio = true;
	}
	if (!io->adc) {
		if ((r = adc_init()) < 0) {
			fputs("Error opening ADC!\n", stderr);
			return r;
		}
		io->adc = true;
	}
	return 0;
}

int cio_host_io_release(cio_host_io *io)
{
	int r = 0;

	if (io->adc)
		adc_done();
	io->adc = false;
	// Another process's count must never drop for a GPIO this one never took.
	if (io->gpio)
		r = gpio_done();
	io->gpio = false;
	return r;
}
