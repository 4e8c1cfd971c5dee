// The board temperature of boards without a sensor of their own: the
// hottest of the host computer's thermal zones and hwmon sensors.
#pragma once

// Whole degrees Celsius; -1000 (after saying so once) when the host has no
// sensor; CIO_TEMP_FAILED when a sensor cannot be read.
int cio_max_thermal_zone(void);
