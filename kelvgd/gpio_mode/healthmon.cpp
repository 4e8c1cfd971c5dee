#include "healthmon.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <pthread.h>
#include <pulse/pulseaudio.h>
#include <sys/wait.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include "cfg.h"
#include "cmdline.h"
#include "config.h"
#include "errmsg.h"
#include "fileio.h"
#include "handlers.h"
#include "leds.h"
#include "pulse_context.h"
#include "rootpath.h"
#include "shared_state.h"
#include "util.h"

// A test is judged when this many whole seconds have passed since it
// started; the next one starts at the following pass.
#define HM_TEST_S 5
// Failed tests power-cycle the USB port at most this often, counted from the
// last passed test or power cycle.
#define HM_USB_RETRY_S 20
#define HM_USB_OFF_MS 3000
#define HM_FLASH_MS 250
#define HM_PAUSE_MS 1000
// Each wait for the sound server.
#define HM_PA_WAIT_S 5

// The loop runs while set; termination signals clear it through daemon_loop.
static uint8_t running;

// The PulseAudio mainloop thread tells the test that the awaited event
// happened.
static bool hm_pa_read;
static pthread_mutex_t hm_pa_mutex = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t hm_pa_cond;

static const pa_sample_spec s_fmt = { PA_SAMPLE_S16LE, 8000, 2 };
// Server defaults, except that nothing has to be buffered before data flow.
static const pa_buffer_attr b_attr = { (uint32_t)-1, 0, 0, 0, (uint32_t)-1 };

// Called on the mainloop thread, which holds the mainloop lock.
static void hm_pa_signal(void)
{
	int r = pthread_mutex_lock(&hm_pa_mutex);

	if (r != 0) {
		errno = r;
		neg_errno_msg("pthread_mutex_lock() failed (%m)\n");
		return;
	}
	hm_pa_read = true;
	if ((r = pthread_cond_signal(&hm_pa_cond)) != 0) {
		errno = r;
		neg_errno_msg("pthread_cond_signal() failed (%m)\n");
	}
	if ((r = pthread_mutex_unlock(&hm_pa_mutex)) != 0) {
		errno = r;
		neg_errno_msg("pthread_mutex_unlock() failed (%m)\n");
	}
}

static void hm_ctx_state_callback(pa_context *c, void *userdata)
{
	(void)userdata;
	if (pa_context_get_state(c) == PA_CONTEXT_READY)
		hm_pa_signal();
}

static void hm_pa_stream_ready_rd(pa_stream *s, size_t nbytes, void *userdata)
{
	(void)s;
	(void)userdata;
	if (nbytes != 0)
		hm_pa_signal();
}

static int hm_pa_lock(void)
{
	int r = pthread_mutex_lock(&hm_pa_mutex);

	if (r != 0) {
		errno = r;
		return neg_errno_msg("pthread_mutex_lock() failed\n");
	}
	return 0;
}

static void hm_pa_unlock(void)
{
	int r = pthread_mutex_unlock(&hm_pa_mutex);

	if (r != 0) {
		errno = r;
		neg_errno_msg("pthread_mutex_unlock() failed\n");
	}
}

// With hm_pa_mutex held: waits until a callback has seen the event, at most
// HM_PA_WAIT_S. The flag, not the wake-up, says whether it happened.
static int hm_pa_wait(const char *timeout_msg)
{
	struct timespec deadline;
	int r;

	if (clock_gettime(CLOCK_MONOTONIC, &deadline) != 0)
		return neg_errno_automsg();
	deadline.tv_sec += HM_PA_WAIT_S;
	while (!hm_pa_read) {
		r = pthread_cond_timedwait(&hm_pa_cond, &hm_pa_mutex, &deadline);
		if (r == ETIMEDOUT) {
			errno = r;
			return neg_errno_msg("%s", timeout_msg);
		}
		if (r != 0) {
			errno = r;
			return neg_errno_msg("pthread_cond_timedwait() failed\n");
		}
	}
	return 0;
}

// The waits must not jump with the wall clock.
static int hm_pa_cond_init(void)
{
	pthread_condattr_t attr;
	int r = pthread_condattr_init(&attr);

	if (r != 0) {
		errno = r;
		return neg_errno_msg("pthread_condattr_init() failed\n");
	}
	if ((r = pthread_condattr_setclock(&attr, CLOCK_MONOTONIC)) != 0) {
		errno = r;
		r = neg_errno_msg("pthread_condattr_setclock() failed\n");
	} else if ((r = pthread_cond_init(&hm_pa_cond, &attr)) != 0) {
		errno = r;
		r = neg_errno_msg("pthread_cond_init() failed\n");
	}
	pthread_condattr_destroy(&attr);
	return r;
}

// Starts the mainloop thread and waits until the context is connected.
static int hm_pa_start(pa_threaded_mainloop *ml)
{
	int r = hm_pa_lock();

	if (r < 0)
		return r;
	// Locked first, so that the ready signal cannot come before the wait.
	if (pa_threaded_mainloop_start(ml) < 0) {
		hm_pa_unlock();
		errno = ECHILD;
		return neg_errno_msg("pa_threaded_mainloop_start() failed\n");
	}
	r = hm_pa_wait("Timeout connecting context to Pulse Audio server\n");
	// Before the mainloop lock is taken again: the callbacks take the two
	// in the other order.
	hm_pa_unlock();
	return r;
}

// Records from the default source until it delivers data. The recording
// itself is not looked at.
static int hm_pa_record(pa_threaded_mainloop *ml, pa_context *ctx)
{
	const char *why;
	pa_stream *s;
	int r;

	pa_threaded_mainloop_lock(ml);
	s = pa_stream_new(ctx, "health-mon-test-rec", &s_fmt, nullptr);
	if (!s) {
		why = pa_strerror(pa_context_errno(ctx));
		pa_threaded_mainloop_unlock(ml);
		errno = EIO;
		return neg_errno_msg("pa_stream_new() failed: %s\n", why);
	}
	pa_stream_set_read_callback(s, hm_pa_stream_ready_rd, nullptr);
	r = pa_stream_connect_record(s, nullptr, &b_attr, PA_STREAM_FIX_RATE);
	if (r < 0) {
		why = pa_strerror(pa_context_errno(ctx));
		errno = EIO;
		neg_errno_msg("pa_stream_connect_record() failed: %s\n", why);
	} else if ((r = hm_pa_lock()) == 0) {
		hm_pa_read = false; // the context's signal is used up
		pa_threaded_mainloop_unlock(ml);
		r = hm_pa_wait("Timeout connecting stream to Pulse Audio server\n");
		hm_pa_unlock();
		pa_threaded_mainloop_lock(ml);
	}
	pa_stream_disconnect(s);
	pa_stream_unref(s);
	pa_threaded_mainloop_unlock(ml);
	return r;
}

int audio_test(void)
{
	pa_threaded_mainloop *ml;
	pa_context *ctx;
	int r = hm_pa_cond_init();

	if (r < 0)
		return r;
	ml = pa_threaded_mainloop_new();
	if (!ml) {
		errno = ENOMEM;
		r = neg_errno_msg("pa_threaded_mainloop_new() failed\n");
		goto out_cond;
	}
	ctx = kel_pa_context_new(pa_threaded_mainloop_get_api(ml), "Health Monitor");
	if (!ctx) {
		errno = ENOMEM;
		r = neg_errno_msg("pa_context_new() failed\n");
		goto out_ml;
	}
	pa_context_set_state_callback(ctx, hm_ctx_state_callback, nullptr);
	hm_pa_read = false;
	if (pa_context_connect(ctx, nullptr, PA_CONTEXT_NOFLAGS, nullptr) < 0) {
		const char *why = pa_strerror(pa_context_errno(ctx));

		errno = ECONNREFUSED;
		r = neg_errno_msg("Failed to connect to Pulse Audio server: %s\n", why);
		goto out_ctx;
	}
	r = hm_pa_start(ml);
	if (r == 0)
		r = hm_pa_record(ml, ctx);
	// Joins the thread: nothing runs the callbacks after this.
	pa_threaded_mainloop_stop(ml);
	pa_context_disconnect(ctx);
out_ctx:
	pa_context_unref(ctx);
out_ml:
	pa_threaded_mainloop_free(ml);
out_cond:
	pthread_cond_destroy(&hm_pa_cond);
	return r;
}

int usb_power(int on)
{
	return file_writes(kel_path(USB_SOFTCONNECT), "%d", on);
}

// The green LED while the monitor has taken it over.
struct hm_green {
	bool taken;
	char *trigger;  // to restore; none when it could not be read
	int brightness; // to restore; negative when it could not be read
};

static void hm_green_take(hm_green *g)
{
	g->trigger = led_tr_get(LED_GREEN);
	g->brightness = led_get(LED_GREEN);
	led_tr_reset(LED_GREEN);
	led_off(LED_GREEN);
	g->taken = true;
}

// Brightness first: setting a trigger decides the brightness itself, and a
// brightness of 0 written after it would end the trigger again.
static void hm_green_restore(hm_green *g)
{
	if (g->brightness >= 0)
		led_set(LED_GREEN, g->brightness);
	if (g->trigger)
		led_tr_set(LED_GREEN, g->trigger);
	free(g->trigger);
	g->trigger = nullptr;
	g->taken = false;
}

// Bit i set in bits: i + 1 flashes of the red LED, then a pause.
static void hm_blink(unsigned bits)
{
	for (unsigned i = 0; i < 8; i++) {
		if (!(bits & (1u << i)))
			continue;
		for (unsigned n = 0; n <= i; n++) {
			if (n)
				vgd_msleep(HM_FLASH_MS);
			led_on(LED_RED);
			vgd_msleep(HM_FLASH_MS);
			led_off(LED_RED);
		}
		vgd_msleep(HM_PAUSE_MS);
	}
}

// A sleep that a termination signal does not cut short.
static void hm_sleep_through(unsigned ms)
{
	struct timespec until;

	if (clock_gettime(CLOCK_MONOTONIC, &until) != 0)
		return;
	until.tv_sec += ms / 1000;
	until.tv_nsec += (long)(ms % 1000) * 1000000L;
	if (until.tv_nsec >= 1000000000L) {
		until.tv_sec++;
		until.tv_nsec -= 1000000000L;
	}
	while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR)
		;
}

// The port stays off long enough for the device to reset, even when the
// monitor is told to stop meanwhile.
static void hm_usb_cycle(void)
{
	fputs("Performing USB power cycle...\n", stderr);
	usb_power(0);
	hm_sleep_through(HM_USB_OFF_MS);
	usb_power(1);
}

static pid_t hm_test_start(void)
{
	pid_t pid = fork();

	if (pid < 0)
		return neg_errno_automsg();
	if (pid == 0) {
		execlp("kelvgd", "kelvgd", "atest", (char *)nullptr);
		neg_errno_msg("Cannot run %s: %m\n", "kelvgd atest");
		// Nothing of the monitor's: no exit handlers, no notifications.
		_exit(1);
	}
	return pid;
}

static void hm_reap(pid_t pid)
{
	while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR)
		;
}

// 0 when the test passed, 1 when it failed or had to be stopped, or the
// error of stopping it.
static int hm_test_verdict(pid_t pid)
{
	int status;
	pid_t r = waitpid(pid, &status, WNOHANG);

	if (r == pid)
		return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
	if (r < 0) {
		// Not our child any more: its number may name another process now.
		neg_errno_automsg();
		return 1;
	}
	if (kill(pid, SIGKILL) != 0)
		return neg_errno_automsg();
	hm_reap(pid);
	return 1;
}

// Errors found once, at start.
static unsigned hm_start_errors(void)
{
	int32_t cio = -1;

	if (cfg_read_int(kel_path(DEVICE_CONF), "cio", &cio) < 0 || cio == -1)
		vgd_store(&vgd_state->error_coproc, 1);
	if (cio == 0 && system("systemctl --quiet is-active firmware-load.service") != 0)
		return HM_ERR_FIRMWARE;
	return 0;
}

int health_monitor(void)
{
	struct timespec now, t_codec = {}, t_usbr = {};
	hm_green green = {};
	pid_t cpid = 0;
	unsigned errors = hm_start_errors();
	unsigned errorscopy;
	int r = 0;

	sd_notify(0, "READY=1");
	while (vgd_load(&running)) {
		if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) {
			r = neg_errno_automsg();
			break;
		}
		errors &= ~(HM_ERR_BATT | HM_ERR_COPROC);
		if (vgd_load(&vgd_state->error_batt))
			errors |= HM_ERR_BATT;
		if (vgd_load(&vgd_state->error_coproc))
			errors |= HM_ERR_COPROC;

		if (cpid == 0 && ts_elapsed_ns(&t_codec, &now) / NSEC_PER_SEC > HM_TEST_S) {
			t_codec = now;
			cpid = hm_test_start();
			if (cpid < 0) {
				r = cpid;
				cpid = 0;
				break;
			}
		} else if (cpid > 0 && ts_elapsed_ns(&t_codec, &now) / NSEC_PER_SEC > HM_TEST_S) {
			r = hm_test_verdict(cpid);
			cpid = 0;
			if (r < 0)
				break;
			if (r == 0) {
				errors &= ~HM_ERR_AUDIO;
				t_usbr = now;
			} else
				errors |= HM_ERR_AUDIO;
			r = 0;
		}

		if (cpid == 0 && (errors & HM_ERR_AUDIO) && ts_elapsed_ns(&t_usbr, &now) / NSEC_PER_SEC > HM_USB_RETRY_S) {
			t_usbr = now;
			hm_usb_cycle();
			if (clock_gettime(CLOCK_MONOTONIC, &t_codec) != 0) {
				r = neg_errno_automsg();
				break;
			}
		}

		if (!(errors & ~HM_ERR_BATT)) {
			if (green.taken)
				hm_green_restore(&green);
			if (!errors) {
				sd_notify(0, "STATUS=System is healthy");
				vgd_msleep(1000);
				continue;
			}
		}
		sd_notifyf(0, "STATUS=Errors detected (0x%02x)", errors);
		if (errors & ~HM_ERR_BATT) {
			// The battery error alone leaves the green LED alone.
			errorscopy = errors & ~HM_ERR_BATT;
			if (!green.taken)
				hm_green_take(&green);
		} else
			errorscopy = HM_ERR_BATT;
		hm_blink(errorscopy);
	}

	// A test still running is of no use to anyone now.
	if (cpid > 0 && kill(cpid, SIGKILL) == 0)
		hm_reap(cpid);
	// A monitor started again would otherwise take the dark LED for the
	// one to restore.
	if (green.taken)
		hm_green_restore(&green);
	return r;
}

int vgd_failmon(cmdline_param *params)
{
	int r;

	(void)params;
	// Raised before the start's work: a SIGTERM during it (the systemctl
	// query may take a while), or before it, must not be lost.
	daemon_loop = &running;
	vgd_loop_begin(&running);
	r = health_monitor();
	daemon_loop = nullptr;
	return r;
}

int vgd_atest(cmdline_param *params)
{
	(void)params;
	return audio_test();
}
