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
#include "errmsg.h"
#include "gpio.h"
#include "pulse_context.h"
#include "rootpath.h"
#include "shared_state.h"
#include "sound.h"

#define BELL_PROGRAM "/bin/button_bell"
// How long the console may take for each half of the handshake, and the
// sound server for muting or unmuting the call streams.
#define BELL_HANDSHAKE_MS 3000
#define BELL_PULSE_MS 5000

// The bell process's connection to the sound server.
static pa_mainloop *pa_ml;
static pa_mainloop_api *pa_mlapi;
static pa_context *pa_ctx;
static int pa_actions;     // operations not yet completed
static bool pa_requested;  // the stream lists have been asked for

static void pa_error(pa_context *c)
{
	fprintf(stderr, "PulseAudio error: %s\n", pa_strerror(pa_context_errno(c)));
}

static void pa_complete_action(pa_context *c)
{
	(void)c;
	pa_actions--;
}

static void pa_simple_cb(pa_context *c, int success, void *userdata)
{
	(void)userdata;
	if (!success) {
		pa_error(c);
		pa_mlapi->quit(pa_mlapi, 1);
		return;
	}
	pa_complete_action(c);
}

static bool pa_is_phone(pa_proplist *props)
{
	const char *role = pa_proplist_gets(props, PA_PROP_MEDIA_ROLE);

	return role && !strcmp(role, "phone");
}

// One mute request; a request that cannot be made ends the loop.
static void pa_track(pa_context *c, pa_operation *op)
{
	if (!op) {
		pa_actions--;
		pa_error(c);
		pa_mlapi->quit(pa_mlapi, 1);
		return;
	}
	pa_operation_unref(op);
}

// One entry of the list of playback or recording streams (then an end call):
// a "phone" stream is muted or unmuted as userdata says.
template <typename Info, pa_operation *(*set_mute)(pa_context *, uint32_t, int, pa_context_success_cb_t, void *)>
static void pa_mute_list_cb(pa_context *c, const Info *i, int eol, void *userdata)
{
	if (eol < 0) {
		pa_error(c);
		pa_mlapi->quit(pa_mlapi, 1);
		return;
	}
	if (eol) {
		pa_actions--;
		return;
	}
	if (pa_is_phone(i->proplist)) {
		pa_actions++;
		pa_track(c, set_mute(c, i->index, userdata != nullptr, pa_simple_cb, nullptr));
	}
}

static constexpr auto pa_mute_sink_input_cb = pa_mute_list_cb<pa_sink_input_info, pa_context_set_sink_input_mute>;
static constexpr auto pa_mute_source_output_cb =
	pa_mute_list_cb<pa_source_output_info, pa_context_set_source_output_mute>;

// userdata: non-null to mute, null to unmute.
static void pa_mute_state_cb(pa_context *c, void *userdata)
{
	switch (pa_context_get_state(c)) {
	case PA_CONTEXT_READY:
		pa_requested = true;
		pa_actions++;
		pa_track(c, pa_context_get_sink_input_info_list(c, pa_mute_sink_input_cb, userdata));
		pa_actions++;
		pa_track(c, pa_context_get_source_output_info_list(c, pa_mute_source_output_cb, userdata));
		break;
	case PA_CONTEXT_FAILED:
		fputs("PulseAudio connection failed\n", stderr);
		pa_mlapi->quit(pa_mlapi, 1);
		break;
	case PA_CONTEXT_TERMINATED:
		pa_mlapi->quit(pa_mlapi, 0);
		break;
	default:
		break;
	}
}

static void pa_timeout_cb(pa_mainloop_api *api, pa_time_event *e, const struct timeval *tv, void *userdata)
{
	(void)e;
	(void)tv;
	(void)userdata;
	fputs("PulseAudio does not answer\n", stderr);
	api->quit(api, 1);
}

// Runs the loop until the requests are done; a server that hangs is given
// up after a while instead of holding the sound locks.
static int pa_run_until_done(void)
{
	struct timeval tv;
	pa_time_event *timeout;
	int ret = 0;
	int r;

	pa_timeval_add(pa_gettimeofday(&tv), (pa_usec_t)BELL_PULSE_MS * 1000);
	timeout = pa_mlapi->time_new(pa_mlapi, &tv, pa_timeout_cb, nullptr);
	while (!(pa_requested && pa_actions == 0)) {
		r = pa_mainloop_iterate(pa_ml, 1, &ret);
		if (r < 0) {
			if (r != -2) // -2: quit was asked, with ret
				pa_error(pa_ctx);
			ret = ret ? ret : 1;
			break;
		}
	}
	pa_mlapi->time_free(timeout);
	return ret ? -EIO : 0;
}

static int pa_mute_calls(void)
{
	pa_ml = pa_mainloop_new();
	if (!pa_ml)
		return neg_errno_func("pa_mainloop_new");
	pa_mlapi = pa_mainloop_get_api(pa_ml);
	if (!pa_mlapi)
		return neg_errno_func("pa_mainloop_get_api");
	pa_ctx = kel_pa_context_new(pa_mlapi, "button-handler");
	if (!pa_ctx)
		return neg_errno_func("pa_context_new");
	pa_context_set_state_callback(pa_ctx, pa_mute_state_cb, (void *)1);
	if (pa_context_connect(pa_ctx, nullptr, PA_CONTEXT_NOFLAGS, nullptr) < 0) {
		pa_error(pa_ctx);
		return -EIO;
	}
	return pa_run_until_done();
}

static void pa_unmute_calls(void)
{
	int ret = 0;

	if (pa_ctx && pa_context_get_state(pa_ctx) == PA_CONTEXT_READY) {
		pa_requested = false;
		pa_mute_state_cb(pa_ctx, nullptr);
		pa_run_until_done();
	}
	if (pa_ctx && pa_context_get_state(pa_ctx) == PA_CONTEXT_READY) {
		// Terminates at once; the loop then quits with 0.
		pa_context_disconnect(pa_ctx);
		for (int i = 0; i < 100 && pa_mainloop_iterate(pa_ml, 0, &ret) >= 0; i++)
			;
	}
	if (pa_ctx)
		pa_context_unref(pa_ctx);
	if (pa_ml)
		pa_mainloop_free(pa_ml);
	pa_ctx = nullptr;
	pa_ml = nullptr;
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
	if (console_send(fd, "tcmd %s\n", "tr_on") < 0 || fifo_drain(fd, BELL_HANDSHAKE_MS) < 0 ||
	    !bell_wait_mute(true, BELL_HANDSHAKE_MS) || console_send(fd, "tcmd %s\n", "tr_off") < 0 ||
	    fifo_drain(fd, BELL_HANDSHAKE_MS) < 0 || !bell_wait_mute(false, BELL_HANDSHAKE_MS))
		fputs("play_bell(): the console did not hand the speech path over\n", stderr);
	close(fd);
}

static void parlod_deactivate(void)
{
	int fd = console_open();

	if (fd < 0)
		return;
	if (console_send(fd, "tcmd %s\n", "tr_auto") > 0)
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
	if (saved_mute >= 0 && pa_mute_calls() == 0) {
		parlod_activate();
		if (sound_set_mute(0) == 0 && sound_set_ch(channel) == 0) {
			r = system(kel_path(BELL_PROGRAM));
			status = r == -1 ? 1 : 0;
		}
		sound_set_ch((int)vgd_load(&vgd_state->sound_ch) - 1);
		sound_set_mute(saved_mute);
		parlod_deactivate();
	}
	pa_unmute_calls();
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
