// Commands of CIO-mode terminals: the lines' 2/4-wire mode override, and a
// test of the board's SI outputs.
#include <cerrno>
#include <cstdio>
#include <syslog.h>

#include "cfg.h"
#include "cio/cio_ops.h"
#include "config.h"
#include "handlers.h"
#include "rootpath.h"
#include "shared_state.h"

static void vgd_store_mm(int32_t override, int32_t modes)
{
	vgd_state->mod_modes = (uint8_t)modes;
	vgd_state->mod_override = override != 0;
}

// The daemon's copy of the setting, read from the file under the lock
// that vgd_modules_save() holds from its first save to its update.
int vgd_load_mm(void)
{
	const char *conf = kel_path(VGD_CONF);
	int32_t override = 0, modes = 0;
	int r = vgd_write_lock(SEM_SSTATE_R, SEM_SSTATE_W);

	if (r < 0)
		return r;
	cfg_read_int(conf, "mods_override", &override);
	cfg_read_int(conf, "mods_modes", &modes);
	vgd_store_mm(override, modes);
	return vgd_write_unlock(SEM_SSTATE_R, SEM_SSTATE_W);
}

// Saved first, so that a failed save leaves the running daemon as it was.
// The two keys are one setting: the state lock is held from the first save
// to the update, so that two of these at once never leave one's modes with
// the other's override, in the file or in the running daemon.
static int vgd_modules_save(int32_t override, int32_t modes)
{
	const char *conf = kel_path(VGD_CONF);
	int r = vgd_write_lock(SEM_SSTATE_R, SEM_SSTATE_W);

	if (r < 0)
		return r;
	if ((r = cfg_write_int(conf, "mods_modes", modes)) < 0) {
		errno = -r;
		syslog(LOG_ERR, "Failed to save modules modes: %m");
	} else if ((r = cfg_write_int(conf, "mods_override", override)) < 0) {
		errno = -r;
		syslog(LOG_ERR, "Failed to save modules modes override flag: %m");
	} else
		vgd_store_mm(override, modes);
	vgd_write_unlock(SEM_SSTATE_R, SEM_SSTATE_W);
	return r;
}

int vgd_modules(cmdline_param *params)
{
	const char *conf = kel_path(VGD_CONF);
	int32_t modes = param_num(params, 'm'), override = param_num(params, 'o');
	int32_t saved_modes = 0, saved_override = 0;
	const cio_ops *board;
	int channels = 0;

	if (modes >= 0 && override >= 0)
		return vgd_modules_save(override, modes);
	// A GPIO-mode terminal has no CIO board, whatever its revision.
	if (cio_terminal() && (board = cio_detect()))
		channels = board->num_phys_ch();
	cfg_read_int(conf, "mods_override", &saved_override);
	cfg_read_int(conf, "mods_modes", &saved_modes);
	printf("channels=%d\noverride=%d\nmodes=%d\n", channels, saved_override, saved_modes);
	return 0;
}

// Blinks SI on all lines, 20 times 50 ms on and 50 ms off.
int vgd_xmas(cmdline_param *params)
{
	const cio_ops *board;
	uint8_t all;
	int r;

	(void)params;
	if (!cio_terminal()) {
		fputs("No CIO board on this terminal\n", stderr);
		return -ENODEV;
	}
	if (!(board = cio_detect()))
		return -ENODEV;
	// The running daemon owns the board; its port is locked against us,
	// and blinking its lines would disturb the dispatcher's view of them.
	if (vgd_loop_running() > 0) {
		fputs("The CIO board is in use by the running kelvgd: stop it first\n", stderr);
		return -EBUSY;
	}
	if ((r = cio_init(board)) < 0) {
		if (r == -EBUSY)
			fputs("The CIO board is in use by another program\n", stderr);
		return r;
	}
	all = cio_all_lines(board->num_phys_ch());
	for (int i = 0; i < 20 && r == 0; i++) {
		if ((r = board->si(all)) == 0 && (r = vgd_msleep(50)) == 0 && (r = board->si(0)) == 0)
			r = vgd_msleep(50);
	}
	// Cut short: the lines do not keep their SI.
	if (r < 0)
		board->si(0);
	cio_done(board);
	return r;
}
