// fmm: the fireman's mode configuration. Each value is saved, then handed to
// the running loop, which picks it up at its next poll.
#include <cerrno>
#include <cstdio>
#include <syslog.h>

#include "cfg.h"
#include "config.h"
#include "gpio_mode/inputs.h"
#include "handlers.h"
#include "rootpath.h"
#include "shared_state.h"

enum fmm_check { FMM_ANY, FMM_CHANNEL, FMM_DISCRETE, FMM_CABIN };

struct fmm_option {
	char letter;
	int32_t given_from; // the option was given when its value is at least this
	fmm_check check;
	const char *key;
	size_t field; // offset of the signed byte in shared_state
	const char *save_error;
};

static const fmm_option fmm_options[] = {
	{ 'e', 0, FMM_ANY, "fmm_enabled", offsetof(shared_state, fmm_enabled),
	  "Failed to save fireman's mode enable state" },
	{ 'a', -1, FMM_ANY, "fmm_icomaddr", offsetof(shared_state, fmm_icomaddr),
	  "Failed to save fireman's mode intercom address" },
	{ 'c', -1, FMM_CHANNEL, "fmm_soundch", offsetof(shared_state, fmm_soundch),
	  "Failed to save fireman's mode sound channel" },
	{ 'd', -1, FMM_DISCRETE, "fmm_discrete", offsetof(shared_state, fmm_discrete),
	  "Failed to save fireman's mode discrete input" },
	{ 'i', -1, FMM_ANY, "fmm_icominp", offsetof(shared_state, fmm_icominp),
	  "Failed to save fireman's mode intercom input" },
	{ 'r', 0, FMM_CABIN, "fmm_cabinact", offsetof(shared_state, fmm_cabinact),
	  "Failed to save fireman's mode cabin activation" },
	{ 'v', 0, FMM_ANY, "fmm_invert", offsetof(shared_state, fmm_invert),
	  "Failed to save fireman's mode input inversion" },
};

// The operator at the command line learns why, as the system log does.
static int fmm_refuse(const char *message)
{
	syslog(LOG_ERR, "%s", message);
	fprintf(stderr, "%s\n", message);
	return -EINVAL;
}

static int fmm_valid(fmm_check check, int32_t v)
{
	switch (check) {
	// -1, none, is always valid, even before the counts are known.
	case FMM_CHANNEL:
		return v < 0 || v < num_buttons() ? 0 : fmm_refuse("Invalid fireman's mode sound channel");
	case FMM_DISCRETE:
		return v < 0 || v < num_discrete() ? 0 : fmm_refuse("Invalid fireman's mode discrete input");
	case FMM_CABIN:
		return v == 0 || vgd_state->devtype ? 0 : fmm_refuse("Unsupported fireman's mode cabin activation");
	default:
		return 0;
	}
}

static void fmm_print(void)
{
	const shared_state *s = vgd_state;

	printf("enabled=%d\nicomaddr=%d\nsoundch=%d\ntotalch=%d\ndiscrete=%d\ntotaldisc=%d\nicominp=%d\ninvert=%d\n",
	       s->fmm_enabled, s->fmm_icomaddr, s->fmm_soundch, num_buttons(), s->fmm_discrete, num_discrete(),
	       s->fmm_icominp, s->fmm_invert);
	if (s->devtype)
		printf("cabinact=%d\n", s->fmm_cabinact);
}

int vgd_fmm(cmdline_param *params)
{
	const char *conf = kel_path(VGD_CONF);
	bool any = false;
	int r;

	for (const fmm_option &o : fmm_options) {
		int32_t v = param_num(params, o.letter);

		if (v < o.given_from)
			continue;
		any = true;
		if ((r = fmm_valid(o.check, v)) < 0)
			return r;
		if ((r = cfg_write_int(conf, o.key, v)) < 0) {
			errno = -r;
			syslog(LOG_ERR, "%s: %m", o.save_error);
			return r;
		}
		// Handed over under the lock the daemon reads its file under.
		if ((r = vgd_write_lock(SEM_SSTATE_R, SEM_SSTATE_W)) < 0)
			return r;
		vgd_store((uint8_t *)vgd_state + o.field, (uint8_t)(o.letter == 'e' ? v != 0 : (int8_t)v));
		if ((r = vgd_write_unlock(SEM_SSTATE_R, SEM_SSTATE_W)) < 0)
			return r;
	}
	if (!any)
		fmm_print();
	return 0;
}
