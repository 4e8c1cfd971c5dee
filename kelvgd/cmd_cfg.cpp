// cfg: the watchdog and bell settings of /etc/kelvgd.conf.
#include <cerrno>
#include <cstdio>

#include "cfg.h"
#include "config.h"
#include "errmsg.h"
#include "handlers.h"
#include "rootpath.h"
#include "shared_state.h"

static int vgd_save(const char *key, int32_t value)
{
	int r = cfg_write_int(kel_path(VGD_CONF), key, value);

	if (r < 0) {
		errno = -r;
		return neg_errno_automsg();
	}
	return 0;
}

// Saves a setting, then hands it to the running daemon under the write lock,
// the lock the daemon reads its file under when it starts.
static int vgd_save_locked(const char *key, int32_t value, void (*apply)(int32_t))
{
	int r = vgd_save(key, value);

	if (r < 0)
		return r;
	r = vgd_write_lock(SEM_SSTATE_R, SEM_SSTATE_W);
	if (r < 0)
		return r;
	apply(value);
	return vgd_write_unlock(SEM_SSTATE_R, SEM_SSTATE_W);
}

int vgd_cfg(cmdline_param *params)
{
	const char *conf = kel_path(VGD_CONF);
	int32_t wdt_disabled = param_num(params, 'd');
	int32_t wdt_period = param_num(params, 'w');
	int32_t multi_notify = param_num(params, 'm');
	int32_t force_notify = param_num(params, 'f');
	int r;

	if (wdt_disabled >= 0) {
		r = vgd_save_locked("wdt_disabled", wdt_disabled, [](int32_t v) { vgd_state->wdt_disabled = v != 0; });
		if (r < 0)
			return r;
	}
	if (wdt_period >= 0) {
		r = vgd_save_locked("wdt_period", wdt_period, [](int32_t v) { vgd_state->wdt_period = v; });
		if (r < 0)
			return r;
	}
	if (multi_notify >= 0) {
		r = vgd_save_locked("multi_notify", multi_notify, [](int32_t v) { vgd_state->multi_notify = v != 0; });
		if (r < 0)
			return r;
	}
	if (force_notify >= 0) {
		r = vgd_save_locked("force_notify", force_notify, [](int32_t v) { vgd_state->force_notify = v != 0; });
		if (r < 0)
			return r;
	}

	if (wdt_disabled < 0 && wdt_period < 0 && multi_notify < 0 && force_notify < 0)
		printf("wdt_disabled=%s\nwdt_period=%s\nmulti_notify=%s\nforce_notify=%s\n",
		       cfg_read_str(conf, "wdt_disabled", "0"), cfg_read_str(conf, "wdt_period", "900"),
		       cfg_read_str(conf, "multi_notify", "1"), cfg_read_str(conf, "force_notify", "1"));
	return 0;
}
