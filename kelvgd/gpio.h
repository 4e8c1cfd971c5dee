// The terminal's GPIO lines, by hardware variant.
//
// The first process that calls gpio_init() exports and configures the lines
// of the variant; the last one to call gpio_done() puts them in their rest
// state. The count of users lives in the shared state, so maintenance
// commands never reset lines that the daemon holds.
#pragma once

#include <cstdint>

#include "gpio_sysfs.h"

// One line of one hardware variant (cio, rev of /etc/device.conf).
struct gpio_cfg_ent {
	int32_t cio;
	int32_t rev;
	uint8_t n;         // GPIO number
	unsigned init : 1; // direction at start: 1 output, 0 input
	unsigned ival : 1; // level at start, for an output
	unsigned done : 1; // direction at rest
	unsigned dval : 1; // level at rest, for an output
};

// Descriptors are kept per GPIO number below this.
#define GPIO_FDS_MAX 96

extern const gpio_cfg_ent gpio_cfg[];
extern const int gpio_cfg_rows;

int gpio_init(void);
int gpio_done(void);
// Writes the level as one digit; any but 0 is high.
int gpio_set(int gpio, int level);
int gpio_get(int gpio);
int gpio_mode_set(int gpio, int out);
