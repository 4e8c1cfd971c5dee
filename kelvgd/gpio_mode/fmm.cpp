// Fireman's mode: the poll that decides when it begins and ends, and the
// channel and the console's call to the fireman's intercom.
#include "fmm.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "console_link.h"
#include "console_pipe.h"
#include "errmsg.h"
#include "inputs.h"
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
				if (console_send(fd, console_line_call(icom)) > 0)
					vgd_store(&vgd_state->fmm_active, 1);
				close(fd);
			}
		} else if (r == -EINVAL)
			fprintf(stderr, "%s(): Invalid channel number (%d)\n", __func__, ch);
	}
	vgd_sem_unlock(SEM_SOUNDPINS);
}

// Places the fireman's call again on the channel still connected, while
// fireman's mode lasts: the count written, 0 when fireman's mode has ended
// or a maintenance channel took the path, or the error of the pipe, which
// is not reported (-ENXIO: the console is not reading yet).
static int fmm_call_again(void)
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
			r = console_send(fd, console_line_call(icom));
			close(fd);
		} else
			r = fd;
	}
	vgd_sem_unlock(SEM_SOUNDPINS);
	return r;
}

int fmm_hangup_cmd(void)
{
	int fd;
	int n;

	vgd_store(&vgd_state->fmm_active, 0);
	fd = console_open();
	if (fd < 0)
		return fd;
	n = console_send(fd, console_line_hangup());
	if (n < 0) {
		close(fd);
		return n;
	}
	// The console removes its speaker state file when the call's audio
	// has ended: checks after 0, 1, 3, ... 511 ms, then give up.
	for (unsigned t = 1, total = 0;; t *= 2) {
		if (!speaker_state_present()) {
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

void fmm_poll_init(fmm_poll_state *p)
{
	p->states_fd = -1;
	fmm_poll_forget(p);
}

void fmm_poll_done(fmm_poll_state *p)
{
	if (p->states_fd >= 0)
		close(p->states_fd);
	p->states_fd = -1;
}

// Tries at the states file's lock, a millisecond apart.
#define FMM_LOCK_TRIES 10

// Reads the intercom states file; -1 when it could not be read.
static int fmm_read_states(fmm_poll_state *p, char *buf, size_t size)
{
	const char *path = kel_path(IC_STATES_FILE);
	struct stat st;
	ssize_t n;

	// The console removes its file when it stops and makes a new one when
	// it starts again: the one still held would be read for ever.
	if (p->states_fd >= 0 && (fstat(p->states_fd, &st) != 0 || st.st_nlink == 0)) {
		close(p->states_fd);
		p->states_fd = -1;
	}
	if (p->states_fd < 0) {
		p->states_fd = open(path, O_RDONLY | O_CLOEXEC);
		if (p->states_fd < 0) {
			syslog(LOG_ERR, "Failed to open %s for read (%m)!", path);
			return -1;
		}
	}
	// The console holds the file only while it rewrites it, for moments:
	// a few short tries, never a wait that could hold up the loop.
	for (int tries = 1; flock(p->states_fd, LOCK_SH | LOCK_NB) != 0; tries++) {
		if (errno != EWOULDBLOCK || tries == FMM_LOCK_TRIES) {
			syslog(LOG_ERR, "Failed to lock %s for read (%m)!", path);
			goto fail;
		}
		vgd_msleep(1);
	}
	n = pread(p->states_fd, buf, size - 1, 0);
	if (n < 0) {
		syslog(LOG_ERR, "Failed to read %s (%m)!", path);
		flock(p->states_fd, LOCK_UN);
		goto fail;
	}
	buf[n] = '\0';
	if (flock(p->states_fd, LOCK_UN) != 0) {
		syslog(LOG_ERR, "Failed to unlock %s (%m)!", path);
		goto fail;
	}
	return 0;
fail:
	close(p->states_fd);
	p->states_fd = -1;
	return -1;
}

void fmm_poll_forget(fmm_poll_state *p)
{
	p->call_up = p->call_lost = false;
	p->call_err = 0;
}

// A console that restarts (after a crash, or killed) begins without the
// fireman's call and knows nothing of it, while the key switch stays on and
// the trigger does not change. So the call is placed again, once each time
// it was seen up and then gone: one that never comes up is not placed over
// and over.
static void fmm_call_follow(fmm_poll_state *p, int call_state, int icomaddr)
{
	int r;

	if (call_state == IC_CALL_LOCAL) {
		p->call_up = true;
		p->call_lost = false;
		return;
	}
	if (call_state != IC_CALL_NONE)
		return;
	if (p->call_up) {
		p->call_up = false;
		p->call_lost = true;
		p->call_err = 0;
		syslog(LOG_DAEMON | LOG_WARNING, "Fireman's call lost, calling intercom %d again", icomaddr);
	}
	if (!p->call_lost)
		return;
	r = fmm_call_again();
	if (r >= 0) {
		fmm_poll_forget(p);
		return;
	}
	// Tried again at the next poll. A console that is still starting has
	// no reader on its pipe yet, or is making the pipe anew: no news.
	if (r != -ENXIO && r != -ENOENT && r != p->call_err) {
		errno = -r;
		neg_errno_automsg();
	}
	p->call_err = r;
}

void fmm_poll(fmm_poll_state *p)
{
	const shared_state *s = vgd_state;
	const int active = vgd_load(&s->fmm_active);
	const int icomaddr = s->fmm_icomaddr, icominp = s->fmm_icominp, discrete = s->fmm_discrete;
	const int invert = s->fmm_invert, cabinact = s->fmm_cabinact, soundch = s->fmm_soundch;
	static char text[IC_STATES_MAX];
	static ic_states states;
	int trigger = -1, call_state = -1;

	if (fmm_read_states(p, text, sizeof(text)) == 0) {
		ic_states_parse(text, &states);
		call_state = states.call;
		if (icominp >= 0 && icomaddr >= 0 && icomaddr < IC_STATES_INTERCOMS)
			trigger = ic_states_input(&states, icomaddr, icominp);
		if (call_state == IC_CALL_OTHER) {
			// Another call has taken the intercom from the fireman's.
			vgd_store(&vgd_state->fmm_active, 0);
			fmm_poll_forget(p);
			return;
		}
	}
	if (discrete >= 0 && discrete < num_discrete())
		trigger = inputs_closed(s->discrete[discrete]);
	if (invert > 0 && trigger != -1)
		trigger = !trigger;
	if (cabinact > 0 && soundch >= 0 && soundch < num_buttons()) {
		int32_t ohms = s->buttoncur[soundch];

		if (ohms > 9000)
			trigger = invert;
		else if (ohms >= 4500)
			trigger = invert == 0;
		else
			trigger = active;
	}
	if (!active || trigger == 0)
		fmm_poll_forget(p);
	if (trigger == 1 && !active)
		fmm_activate();
	else if (trigger == 0 && active)
		fmm_deactivate();
	else if (active && call_state >= 0)
		fmm_call_follow(p, call_state, icomaddr);
}
