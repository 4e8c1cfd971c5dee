// run, daemonize and stop: the monitoring daemon's start and end.
#include <algorithm>
#include <cstddef>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "cfg.h"
#include "cio/mainloop_cio.h"
#include "config.h"
#include "errmsg.h"
#include "gpio.h"
#include "gpio_mode/inputs.h"
#include "gpio_mode/mainloop.h"
#include "gpio_mode/push.h"
#include "handlers.h"
#include "rootpath.h"
#include "shared_state.h"

// The daemon's settings are read from the file while it holds the state's
// write lock. A command that changes one saves the file and then hands the
// value over under the same lock, so whichever comes first, the daemon
// ends up with the value the file has: read before the save, it is then
// handed the new one; read after it, it reads the new one.

// Settings of /etc/kelvgd.conf that both modes use.
static int vgd_load_common_settings(void)
{
	const char *conf = kel_path(VGD_CONF);
	int32_t wdt_disabled = 0, wdt_period = 900, multi_notify = 1, force_notify = 1;
	int r = vgd_write_lock(SEM_SSTATE_R, SEM_SSTATE_W);

	if (r < 0)
		return r;
	cfg_read_int(conf, "wdt_disabled", &wdt_disabled);
	cfg_read_int(conf, "wdt_period", &wdt_period);
	cfg_read_int(conf, "multi_notify", &multi_notify);
	cfg_read_int(conf, "force_notify", &force_notify);
	vgd_state->wdt_disabled = wdt_disabled != 0;
	vgd_state->wdt_period = wdt_period;
	vgd_state->multi_notify = multi_notify != 0;
	vgd_state->force_notify = force_notify != 0;
	return vgd_write_unlock(SEM_SSTATE_R, SEM_SSTATE_W);
}

static int vgd_run_cio(cmdline_param *params)
{
	const char *disp = kel_path(DISP_CONF);
	const char *addresses = param_given(params, 'a') ? param_str(params, 'a') : cfg_read_str(disp, "disp_addresses", "");
	int32_t interval = param_num(params, 'i');
	int r;

	cfg_read_int(disp, "disp_interval", &interval); // the file wins over -i
	r = vgd_load_mm();
	if (r < 0)
		return r;

	daemon_loop = &vgd_state->daemon_loop;
	r = vgd_main_loop_cio(addresses, interval);
	daemon_loop = nullptr;
	return r;
}

// Settings of a GPIO-mode terminal from /etc/kelvgd.conf. The push
// server's name is resolved outside the lock; fireman's mode is read under it.
static int vgd_load_gpio_settings(void)
{
	static const struct {
		const char *key;
		int32_t def;
		size_t field; // a signed byte of shared_state
	} fmm[] = {
		{ "fmm_icomaddr", -1, offsetof(shared_state, fmm_icomaddr) },
		{ "fmm_soundch", -1, offsetof(shared_state, fmm_soundch) },
		{ "fmm_discrete", -1, offsetof(shared_state, fmm_discrete) },
		{ "fmm_icominp", -1, offsetof(shared_state, fmm_icominp) },
		{ "fmm_cabinact", 0, offsetof(shared_state, fmm_cabinact) },
		{ "fmm_invert", -1, offsetof(shared_state, fmm_invert) },
	};
	const char *conf = kel_path(VGD_CONF);
	int32_t push = 0, enabled = 0;
	int r;

	cfg_read_int(conf, "push_enabled", &push);
	vgd_store(&vgd_state->push_en, push != 0);
	vgd_update_addr(cfg_read_str(conf, "serv_addr", ""));
	if ((r = vgd_write_lock(SEM_SSTATE_R, SEM_SSTATE_W)) < 0)
		return r;
	cfg_read_int(conf, "fmm_enabled", &enabled);
	vgd_store(&vgd_state->fmm_enabled, enabled != 0);
	for (const auto &f : fmm) {
		int32_t v = f.def;

		cfg_read_int(conf, f.key, &v);
		vgd_store((uint8_t *)vgd_state + f.field, (uint8_t)(int8_t)v);
	}
	return vgd_write_unlock(SEM_SSTATE_R, SEM_SSTATE_W);
}

static int vgd_run_gpio(cmdline_param *params)
{
	// The default device is a fixed path; one given with -D is used as is.
	const char *tty = param_given(params, 'D') ? param_str(params, 'D') : kel_path(param_str(params, 'D'));
	int r = gpio_init();

	if (r < 0) {
		errno = -r;
		return neg_errno_automsg();
	}
	r = inputs_init(tty);
	vgd_store(&vgd_state->error_coproc, r < 0);
	if (r != 0) {
		errno = -r;
		neg_errno_automsg();
		gpio_done();
		return r;
	}
	if ((r = vgd_load_gpio_settings()) < 0) {
		inputs_done();
		gpio_done();
		return r;
	}

	daemon_loop = &vgd_state->daemon_loop;
	r = vgd_main_loop();
	daemon_loop = nullptr;
	inputs_done();
	gpio_done();
	return r;
}

int vgd_run(cmdline_param *params)
{
	const char *device = kel_path(DEVICE_CONF);
	int32_t cio;
	int r;

	if ((r = vgd_instance_check()) < 0)
		return r;
	r = vgd_load_common_settings();
	if (r < 0)
		return r;
	r = cfg_read_int(device, "cio", &cio);
	if (r < 0) {
		fprintf(stderr, "Error reading config file %s.\n", device);
		return r;
	}
	return cio ? vgd_run_cio(params) : vgd_run_gpio(params);
}

int vgd_daemonize(cmdline_param *params)
{
	int r;

	// Refused while the operator still sees the answer; vgd_run() checks
	// again after the detach.
	if ((r = vgd_instance_check()) < 0)
		return r;
	if (daemon(0, 0) != 0)
		return neg_errno_automsg();
	return vgd_run(params);
}

// Clears the loop flag and waits, with doubling delays, until the instance
// lock is free: about 10.3 s in all before giving up.
int vgd_stop(cmdline_param *params)
{
	unsigned delay = 10;
	unsigned waited = 0;

	(void)params;
	// Stopping a stopped daemon succeeds, but the operator learns that
	// nothing was running.
	vgd_expect_loop();
	while (waited <= 9999) {
		int r;

		vgd_store(&vgd_state->daemon_loop, 0);
		r = vgd_msleep(delay);
		if (r < 0)
			return r;
		r = vgd_sem_trylock(SEM_MAINLOOP);
		if (r == 0)
			return vgd_sem_unlock(SEM_MAINLOOP);
		if (r != -EAGAIN)
			return r;
		waited += delay;
		delay = std::min(delay * 2, 1000u);
	}
	return -ETIMEDOUT;
}
