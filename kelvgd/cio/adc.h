// The system's IIO analogue-to-digital converter in sysfs
// ("/sys/bus/iio/devices/iio:device0"): five voltage channels read through
// descriptors kept open, and the device's offset and scale to turn raw
// counts into volts. Used by the boards whose analogue values come from the
// host (the Cirrus-mini and the compact board).
#pragma once

#include <cstdint>

#define ADC_CHANNELS 5
// What adc_get() returns when the channel cannot be read.
#define ADC_FAILED INT32_MIN

// Reads offset and scale (the defaults stand when the device has none) and
// opens the channels; the first channel that cannot be opened fails it,
// and nothing stays open then. A second init starts afresh.
int adc_init(void);
void adc_done(void);

// The raw reading of channel 0 to 4, or ADC_FAILED after saying why.
int32_t adc_get(int channel);

// A raw reading in volts, and in whole millivolts (truncated).
double adc_to_voltage(int32_t raw);
int32_t adc_to_mv(int32_t raw);

// A channel in volts or whole millivolts for a board driver: 0, or -EIO
// after "<who>(): adc_get() failed!".
int adc_read_volts(int channel, const char *who, double *volts);
int adc_read_mv(int channel, const char *who, int32_t *mv);
