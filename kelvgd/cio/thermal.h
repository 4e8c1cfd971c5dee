// Board temperatures from the host computer's own sensors: for boards
// without a sensor of their own, the hottest of the host's thermal zones
// and hwmon sensors.
#pragma once

#include <cstdint>

// Whole degrees Celsius; -1000 (after saying so once) when the host has no
// sensor; -EIO when a sensor cannot be read. A board_temp operation.
int cio_max_thermal_zone(int32_t *celsius);

// The end of a scan of host sensors by who: the hottest reading into
// *celsius, which is below -273 only when there was no sensor (said once,
// through *told); 0.
int cio_sensors_hottest(int max, const char *who, bool *told, int32_t *celsius);

// A sensor that exists but cannot be read: -EIO, after saying so.
int cio_sensor_unreadable(const char *who);
