// Board temperatures from the host computer's own sensors: for boards
// without a sensor of their own, the hottest of the host's thermal zones
// and hwmon sensors.
#pragma once

// Whole degrees Celsius; -1000 (after saying so once) when the host has no
// sensor; CIO_TEMP_FAILED when a sensor cannot be read.
int cio_max_thermal_zone(void);

// The end of a scan of host sensors by who: the hottest reading, which is
// below -273 only when there was no sensor (said once, through *told).
int cio_sensors_hottest(int max, const char *who, bool *told);

// A sensor that exists but cannot be read: CIO_TEMP_FAILED, after saying so.
int cio_sensor_unreadable(const char *who);
