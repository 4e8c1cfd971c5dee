#include "watchdog.h"

#include <cerrno>
#include <unistd.h>

#include "errmsg.h"
#include "shared_state.h"

// Every call records in error_coproc whether it failed, and a failure is
// reported with its call site.
static int wdt_checked(int (*op)(void))
{
	int r = op ? op() : 0;

	vgd_store(&vgd_state->error_coproc, r < 0);
	if (r < 0) {
		errno = -r;
		neg_errno_automsg();
	}
	return r;
}

void vgd_watchdog_start(vgd_watchdog *w, const vgd_watchdog_ops *ops)
{
	w->ops = ops;
	w->disabled = !vgd_load(&vgd_state->wdt_disabled);
}

int vgd_watchdog_apply(vgd_watchdog *w)
{
	const bool disabled = vgd_load(&vgd_state->wdt_disabled);
	int r;

	if (disabled == w->disabled)
		return 0;
	w->disabled = disabled;
	r = wdt_checked(disabled ? w->ops->disable : w->ops->reset);
	return r < 0 ? r : 0;
}

int vgd_watchdog_keep(vgd_watchdog *w, bool delivered)
{
	int left;

	if (w->disabled)
		return 0;
	left = wdt_checked(w->ops->get);
	if (left <= 0)
		return left;
	if (delivered) {
		int r = wdt_checked(w->ops->reset);

		return r < 0 ? r : 0;
	}
	if (left < 60) {
		execlp("reboot", "reboot", (char *)nullptr);
		neg_errno_msg("%s(): cannot start reboot (%m)\n", __func__);
	}
	return 0;
}

int vgd_watchdog_stop(vgd_watchdog *w)
{
	return w->ops->disable ? w->ops->disable() : 0;
}
