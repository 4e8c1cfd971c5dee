// The battery cycle both monitoring loops run: the charger is on for 10 s,
// then off; after 1 s without charge current the battery is measured and
// the charger goes on again. A battery test (`kelvgd charge -e 0`) keeps
// the charger off and has the battery measured at every turn.
#pragma once

#include <cstdint>
#include <ctime>

// How a loop reaches its charger and battery; ctx is the loop's. Each
// reports its own failure and records it in error_coproc.
struct vgd_battery_ops {
	int (*charge)(void *ctx, bool on);
	int (*measure)(void *ctx, int32_t *millivolts);
};

struct vgd_battery {
	bool charging;          // the charger phase is running
	bool measured;          // the battery has been read at least once
	struct timespec t_batt; // the last switch of the charger
};

// One turn of the cycle at time now: 1 when it switched the charger or
// measured, 0 when nothing was due, or the error of a failed operation.
// A measurement lands in vbatt, and, outside a test, in error_batt.
int vgd_battery_cycle(vgd_battery *b, const struct timespec *now, const vgd_battery_ops *ops, void *ctx);
