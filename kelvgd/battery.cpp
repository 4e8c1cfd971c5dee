#include "battery.h"

#include "shared_state.h"
#include "util.h"

int vgd_battery_cycle(vgd_battery *b, const struct timespec *now, const vgd_battery_ops *ops, void *ctx)
{
	const bool test = vgd_load(&vgd_state->batttest);
	const int64_t d = ts_elapsed_ns(&b->t_batt, now) / NSEC_PER_SEC;
	int32_t mv;
	int r;

	if (b->charging) {
		if (d < 10 && !test)
			return 0;
		if ((r = ops->charge(ctx, false)) < 0)
			return r;
		b->charging = false;
		b->t_batt = *now;
		return 1;
	}
	if (d < 1 && !test)
		return 0;
	if ((r = ops->measure(ctx, &mv)) < 0)
		return r;
	vgd_state->vbatt = mv;
	b->measured = true;
	if (test)
		return 1;
	vgd_store(&vgd_state->error_batt, mv <= 9999);
	if ((r = ops->charge(ctx, true)) < 0)
		return r;
	b->charging = true;
	b->t_batt = *now;
	return 1;
}
