// Inputs and measurements of a GPIO-mode terminal, read through the
// coprocessor and turned into the values of the shared state, and the relays.
#pragma once

#include <cstdint>

#include "shared_state.h"

#define INPUTS_BAUD 115200
#define RELAY_GPIO_BASE 86

// The reference diode drop; in this mode the reported diode value.
#define INPUTS_DIODE 0.8349996638655462
// This hardware has no board temperature sensor: the reported value.
#define INPUTS_BOARD_TEMP 29

// At most this many ohms is a closed loop: a pressed button, a shorted input.
#define OHMS_CLOSED 999
// "Not measured", and any resistance too large to tell.
#define OHMS_MAX 2147483647

// A discrete input raises its alarm outside 2000 to 8000 ohms.
static inline bool inputs_alarm(int32_t ohms)
{
	return ohms < 2000 || ohms > 8000;
}

static inline bool inputs_closed(int32_t ohms)
{
	return ohms <= OHMS_CLOSED;
}

// Opens the coprocessor, reads the device type and publishes the counts.
int inputs_init(const char *path);
int inputs_done(void);

// Each is the count, or -EAGAIN while the device type is not yet known. The
// counts never exceed the arrays of the shared record they index.
int num_discrete(void);
int num_buttons(void);
int num_relays(void);
int num_tsensors(void);

// One full reading of every input.
int inputs_update(double *diode, int32_t *temperature, int32_t *rmux, int32_t discrete[22], vgd_flag alarm[22],
		  int32_t buttons[8], vgd_flag active[8]);

int update_batt_voltage(int32_t *millivolts);
int update_psu_voltage(double *volts);
int update_micspk_voltage(double diode, int32_t *spk_current, double *mic_volts);

int battery_charge(int on);

// The external watchdog: seconds left; load with wdt_period + 60 s; off.
int ewdt_get(void);
int ewdt_reset(void);
int ewdt_disable(void);

// 1-Wire sensors: start conversions (the mask started), read up to *count.
int temp_convert(void);
int temp_read(double *values, int *count);

// Drives relay i and keeps its bit in the shared state; the caller holds
// the state write lock.
int relay_set(int relay, int on);
