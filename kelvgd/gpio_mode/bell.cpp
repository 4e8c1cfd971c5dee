// The call bell. play_bell() returns at once; a detached process takes the
// sound locks, mutes the console's call streams ("media.role" = "phone"),
// hands the speech path over from the console, plays /bin/button_bell on the
// button's channel and puts everything back as it was.
#include <cerrno>
#include <csignal>
#include <initializer_list>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pulse/pulseaudio.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include "cmdline.h"
#include "console_pipe.h"
#include "errmsg.h"
#include "gpio.h"
#include "pulse_client.h"
#include "rootpath.h"
#include "shared_state.h"
#include "sound.h"

#define BELL_PROGRAM "/bin/button_bell"
// How long the console may take for each half of the handshake, and the
// sound server for muting or unmuting the call streams.
#define BELL_HANDSHAKE_MS 3000
#define BELL_PULSE_MS 5000

// The bell process's connection to the sound server, and its requests not
// yet answered.
static pulse_client bell_pa;
static int bell_pa_pending;

// A request refused or not made ends the wait.
static void bell_pa_failed(void)
{
	fprintf(stderr, "PulseAudio error: %s\n", pulse_client_error(&bell_pa));
	pulse_client_quit(&bell_pa, -EIO);
}

static void bell_pa_answered(void)
{
	if (--bell_pa_pending == 0)
		pulse_client_quit(&bell_pa, 0);
}

static void bell_pa_track(pa_operation *op)
{
	if (!op) {
		bell_pa_failed();
		return;
	}
	pa_operation_unref(op);
}

static void bell_pa_mute_cb(pa_context *c, int success, void *userdata)
{
	(void)c;
	(void)userdata;
	if (!success) {
		bell_pa_failed();
		return;
	}
	bell_pa_answered();
}

static bool bell_is_phone(pa_proplist *props)
{
	const char *role = pa_proplist_gets(props, PA_PROP_MEDIA_ROLE);

	return role && !strcmp(role, "phone");
}

// One entry of the list of playback or recording streams (then an end call):
// a "phone" stream is muted or unmuted as userdata says.
template <typename Info, pa_operation *(*set_mute)(pa_context *, uint32_t, int, pa_context_success_cb_t, void *)>
static void bell_mute_list_cb(pa_context *c, const Info *i, int eol, void *userdata)
{
	if (eol < 0) {
		bell_pa_failed();
		return;
	}
	if (eol) {
		bell_pa_answered();
		return;
	}
	if (bell_is_phone(i->proplist)) {
		bell_pa_pending++;
		bell_pa_track(set_mute(c, i->index, userdata != nullptr, bell_pa_mute_cb, nullptr));
	}
}

static constexpr auto bell_mute_sink_input_cb =
	bell_mute_list_cb<pa_sink_input_info, pa_context_set_sink_input_mute>;
static constexpr auto bell_mute_source_output_cb =
	bell_mute_list_cb<pa_source_output_info, pa_context_set_source_output_mute>;

// Mutes or unmutes the call streams and waits until the server has; a
// server that hangs is given up after a while instead of holding the sound
// locks.
static int bell_mute(bool mute)
{
	pa_context *c = bell_pa.ctx;
	void *how = mute ? (void *)1 : nullptr;
	int r;

	bell_pa_pending = 2;
	bell_pa_track(pa_context_get_sink_input_info_list(c, bell_mute_sink_input_cb, how));
	bell_pa_track(pa_context_get_source_output_info_list(c, bell_mute_source_output_cb, how));
	r = pulse_client_run(&bell_pa);
	if (r == -ETIMEDOUT)
		fputs("PulseAudio does not answer\n", stderr);
	else if (r == -ECONNABORTED)
		fputs("PulseAudio connection failed\n", stderr);
	return r;
}

static int bell_mute_calls(void)
{
	int r = pulse_client_connect(&bell_pa, "button-handler", BELL_PULSE_MS);

	if (r == -ECONNREFUSED)
		fprintf(stderr, "PulseAudio error: %s\n", pulse_client_error(&bell_pa));
	else if (r == -ETIMEDOUT)
		fputs("PulseAudio does not answer\n", stderr);
	else if (r == -ECONNABORTED)
		fputs("PulseAudio connection failed\n", stderr);
	return r == 0 ? bell_mute(true) : r;
}

static void bell_unmute_calls(void)
{
	if (pulse_client_ready(&bell_pa)) {
		pulse_client_deadline(&bell_pa, BELL_PULSE_MS);
		bell_mute(false);
	}
	pulse_client_close(&bell_pa);
}

// Waits until the mute line is (or is no longer) set, at most timeout_ms.
static bool bell_wait_mute(bool set, int timeout_ms)
{
	for (int waited = 0; waited <= timeout_ms; waited += 20) {
		int m = sound_get_mute();

		if (set ? m != 0 : m <= 0)
			return true;
		vgd_msleep(20);
	}
	return false;
}

// The console hands the speech path over: it forces its line on and off, so
// that its echo canceller lets go of the path while the bell plays. A
// console that does not drive the line is given up on after a while.
static void parlod_activate(void)
{
	int fd = console_open();

	if (fd < 0)
		return;
	if (console_send(fd, console_line_tcmd(CONSOLE_TR_ON)) < 0 || fifo_drain(fd, BELL_HANDSHAKE_MS) < 0 ||
	    !bell_wait_mute(true, BELL_HANDSHAKE_MS) || console_send(fd, console_line_tcmd(CONSOLE_TR_OFF)) < 0 ||
	    fifo_drain(fd, BELL_HANDSHAKE_MS) < 0 || !bell_wait_mute(false, BELL_HANDSHAKE_MS))
		fputs("play_bell(): the console did not hand the speech path over\n", stderr);
	close(fd);
}

static void parlod_deactivate(void)
{
	int fd = console_open();

	if (fd < 0)
		return;
	if (console_send(fd, console_line_tcmd(CONSOLE_TR_AUTO)) > 0)
		fifo_drain(fd, BELL_HANDSHAKE_MS);
	close(fd);
}

static void __attribute__((noreturn)) bell_exit(int channel, int status)
{
	vgd_store(&vgd_state->pendingbell[channel], 0);
	_exit(status);
}

// Takes the sound and bell locks without blocking anyone; 1 when taken, 0
// when the bell is no longer wanted, or the error.
static int bell_lock(int channel)
{
	for (;;) {
		int r = vgd_sem_trylock2(SEM_SOUNDPINS, SEM_SOUNDCODEC);

		if (r != -EAGAIN)
			return r == 0 ? 1 : r;
		if (!vgd_load(&vgd_state->daemon_loop) || !vgd_load(&vgd_state->pendingbell[channel]))
			return 0;
		vgd_msleep(10);
	}
}

static void bell_ignore_signal(int sig)
{
	(void)sig;
}

static void __attribute__((noreturn)) bell_process(int channel, bool force)
{
	struct sigaction sa = {};
	int status = 1;
	int saved_mute;
	int r;

	// Nothing of the daemon's: its descriptors, its loop flag. A
	// termination signal must not cut the bell short of restoring.
	closelog();
	close_range(3, ~0U, 0);
	daemon_loop = nullptr;
	sa.sa_handler = bell_ignore_signal;
	for (int sig : { SIGTERM, SIGHUP, SIGINT })
		sigaction(sig, &sa, nullptr);

	r = bell_lock(channel);
	if (r <= 0)
		bell_exit(channel, r < 0);
	if (vgd_load(&vgd_state->sound_ch) && !force) {
		// A maintenance channel is connected: no bell.
		vgd_sem_unlock2(SEM_SOUNDPINS, SEM_SOUNDCODEC);
		bell_exit(channel, 0);
	}
	if (gpio_init() < 0) {
		vgd_sem_unlock2(SEM_SOUNDPINS, SEM_SOUNDCODEC);
		bell_exit(channel, 1);
	}
	saved_mute = sound_get_mute();
	if (saved_mute >= 0 && bell_mute_calls() == 0) {
		parlod_activate();
		if (sound_set_mute(0) == 0 && sound_set_ch(channel) == 0) {
			r = system(kel_path(BELL_PROGRAM));
			status = r == -1 ? 1 : 0;
		}
		sound_set_ch((int)vgd_load(&vgd_state->sound_ch) - 1);
		sound_set_mute(saved_mute);
		parlod_deactivate();
	}
	bell_unmute_calls();
	gpio_done();
	vgd_sem_unlock2(SEM_SOUNDPINS, SEM_SOUNDCODEC);
	bell_exit(channel, status);
}

int play_bell(int channel)
{
	bool force;
	pid_t pid;
	int status;

	if (channel < 0 || channel >= 8)
		return -EINVAL;
	// A bell for this button is queued or playing.
	if (vgd_xchg(&vgd_state->pendingbell[channel], 1))
		return 0;
	force = vgd_load(&vgd_state->force_notify);

	pid = fork();
	if (pid < 0) {
		int r = neg_errno();

		vgd_store(&vgd_state->pendingbell[channel], 0);
		return r;
	}
	if (pid == 0) {
		// Forks again so that nobody has to wait for the bell.
		pid_t bell = fork();

		if (bell < 0)
			bell_exit(channel, 1);
		if (bell == 0)
			bell_process(channel, force);
		_exit(0);
	}
	if (waitpid(pid, &status, 0) < 0) {
		int r = neg_errno();

		vgd_store(&vgd_state->pendingbell[channel], 0);
		return r;
	}
	return 0;
}
