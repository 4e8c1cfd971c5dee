#include "healthmon.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
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
#include "pulse_client.h"
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

static const pa_sample_spec s_fmt = { PA_SAMPLE_S16LE, 8000, 2 };
// Server defaults, except that nothing has to be buffered before data flow.
static const pa_buffer_attr b_attr = { (uint32_t)-1, 0, 0, 0, (uint32_t)-1 };

static void hm_stream_read_cb(pa_stream *s, size_t nbytes, void *userdata)
{
	(void)s;
	if (nbytes != 0)
		pulse_client_quit((pulse_client *)userdata, 0);
}

// Records from the default source until it delivers data. The recording
// itself is not looked at.
static int hm_record(pulse_client *pa)
{
	pa_stream *s = pa_stream_new(pa->ctx, "health-mon-test-rec", &s_fmt, nullptr);
	int r;

	if (!s) {
		errno = EIO;
		return neg_errno_msg("pa_stream_new() failed: %s\n", pulse_client_error(pa));
	}
	pa_stream_set_read_callback(s, hm_stream_read_cb, pa);
	if (pa_stream_connect_record(s, nullptr, &b_attr, PA_STREAM_FIX_RATE) < 0) {
		errno = EIO;
		r = neg_errno_msg("pa_stream_connect_record() failed: %s\n", pulse_client_error(pa));
	} else {
		pulse_client_deadline(pa, HM_PA_WAIT_S * 1000);
		r = pulse_client_run(pa);
		if (r == -ETIMEDOUT) {
			errno = -r;
			neg_errno_msg("Timeout connecting stream to Pulse Audio server\n");
		}
	}
	pa_stream_disconnect(s);
	pa_stream_unref(s);
	return r;
}

int audio_test(void)
{
	pulse_client pa = {};
	int r = pulse_client_connect(&pa, "Health Monitor", HM_PA_WAIT_S * 1000);

	if (r == -ETIMEDOUT) {
		errno = -r;
		neg_errno_msg("Timeout connecting context to Pulse Audio server\n");
	} else if (r == -ECONNREFUSED || r == -ECONNABORTED) {
		errno = -r;
		neg_errno_msg("Failed to connect to Pulse Audio server: %s\n", pulse_client_error(&pa));
	} else if (r == 0)
		r = hm_record(&pa);
	pulse_client_close(&pa);
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
