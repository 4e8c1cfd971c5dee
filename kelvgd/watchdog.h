// The hardware watchdog as both monitoring loops keep it: the setting of
// `kelvgd cfg -d` is applied when it changes, and the watchdog is fed only
// when a message reached its reader in that pass (a report to the push
// server or a `dump` in GPIO mode, a packet to the dispatcher in CIO mode).
// When nothing was delivered and less than a minute is left, the system is
// rebooted in order before the watchdog cuts the power.
#pragma once

// The watchdog's operations; an absent one is a board without it: get
// reads 0 (not running), reset and disable do nothing.
struct vgd_watchdog_ops {
	int (*get)(void);     // seconds left, 0 when it is not running
	int (*reset)(void);   // (re)arms it for wdt_period plus the board's margin
	int (*disable)(void);
};

struct vgd_watchdog {
	const vgd_watchdog_ops *ops;
	bool disabled; // the setting last applied
};

// Starts with the opposite of the setting, so that the first
// vgd_watchdog_apply() applies it.
void vgd_watchdog_start(vgd_watchdog *w, const vgd_watchdog_ops *ops);

// Applies a changed wdt_disabled; 0 or the operation's error.
int vgd_watchdog_apply(vgd_watchdog *w);

// Feeds the watchdog when a message was delivered, or reboots when it is
// about to fire; 0 or the operation's error.
int vgd_watchdog_keep(vgd_watchdog *w, bool delivered);

// Disables it at the end of a loop; the result of the operation.
int vgd_watchdog_stop(vgd_watchdog *w);
