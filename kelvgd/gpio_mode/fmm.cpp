// Fireman's mode: the monitoring loop decides when it begins and ends; here
// the fireman's channel is connected and the console calls the intercom.
#include <cerrno>
#include <cstdio>
#include <syslog.h>
#include <unistd.h>

#include "fileio.h"
#include "rootpath.h"
#include "shared_state.h"
#include "sound.h"

void fmm_activate(void)
{
	int ch = (int8_t)vgd_state->fmm_soundch;
	int icom = (int8_t)vgd_state->fmm_icomaddr;
	int r;

	if (ch < 0 || icom < 0)
		return;
	if (vgd_sem_lock(SEM_SOUNDPINS) < 0) {
		fprintf(stderr, "%s(): Cannot acquire semaphores\n", __func__);
		return;
	}
	// A maintenance channel keeps the path.
	if (vgd_load(&vgd_state->sound_ch) == 0) {
		r = sound_set_ch(ch);
		if (r == 0) {
			int fd = console_open();

			if (fd >= 0) {
				if (console_send(fd, "call rs%d\n", icom) > 0)
					vgd_store(&vgd_state->fmm_active, 1);
				close(fd);
			}
		} else if (r == -EINVAL)
			fprintf(stderr, "%s(): Invalid channel number (%d)\n", __func__, ch);
	}
	vgd_sem_unlock(SEM_SOUNDPINS);
}

int fmm_call_again(void)
{
	int icom = (int8_t)vgd_state->fmm_icomaddr;
	int fd, r = 0;

	if (icom < 0)
		return 0;
	if ((r = vgd_sem_lock(SEM_SOUNDPINS)) < 0) {
		fprintf(stderr, "%s(): Cannot acquire semaphores\n", __func__);
		return r;
	}
	// Fireman's mode may have ended, or a maintenance channel taken the
	// path, since the loop saw the call gone.
	if (vgd_load(&vgd_state->sound_ch) == 0 && vgd_load(&vgd_state->fmm_active)) {
		fd = console_try_open();
		if (fd >= 0) {
			r = console_send(fd, "call rs%d\n", icom);
			close(fd);
		} else
			r = fd;
	}
	vgd_sem_unlock(SEM_SOUNDPINS);
	return r;
}

int fmm_hangup_cmd(void)
{
	const char *speaker = kel_path(SPEAKER_STATE_FILE);
	int fd;
	int n;

	vgd_store(&vgd_state->fmm_active, 0);
	fd = console_open();
	if (fd < 0)
		return fd;
	n = console_send(fd, "hangup\n");
	if (n < 0) {
		close(fd);
		return n;
	}
	// The console removes its speaker state file when the call's audio
	// has ended: checks after 0, 1, 3, ... 511 ms, then give up.
	for (unsigned t = 1, total = 0;; t *= 2) {
		if (!file_exists(speaker)) {
			close(fd);
			return n;
		}
		total += t;
		vgd_msleep(t);
		if (total > 999)
			break;
	}
	syslog(LOG_DAEMON | LOG_WARNING, "Hangup timeout");
	close(fd);
	return n;
}

void fmm_deactivate(void)
{
	if (vgd_sem_lock(SEM_SOUNDPINS) < 0) {
		fprintf(stderr, "%s(): Cannot acquire semaphores\n", __func__);
		return;
	}
	if (vgd_load(&vgd_state->sound_ch) == 0) {
		sound_set_ch(-1);
		fmm_hangup_cmd();
	}
	vgd_sem_unlock(SEM_SOUNDPINS);
}
