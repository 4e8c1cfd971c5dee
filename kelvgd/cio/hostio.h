// The host's GPIO lines and IIO converter, as the boards wired to them
// (the Cirrus-mini and the compact board) take and give them back.
#pragma once

struct cio_host_io {
	bool gpio; // gpio_init() succeeded and is not yet undone
	bool adc;
};

// Takes GPIO, then the converter; "Error opening GPIO!" or "Error opening
// ADC!" and the error when one fails. What was taken stays noted, so that
// cio_host_io_release() gives back exactly that.
int cio_host_io_take(cio_host_io *io);

// Gives back what was taken; 0 or the error of giving back GPIO.
int cio_host_io_release(cio_host_io *io);
