#include "spktest.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <pulse/pulseaudio.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include "cmdline.h"
#include "errmsg.h"
#include "gpio.h"
#include "pulse_client.h"
#include "shared_state.h"
#include "sound.h"

#define ST_TONE_HZ 1000
#define ST_TONE_SCALE 22936.9 // 0.7 of full scale
#define ST_PLAY_MS 100        // of tone, at the start of the recording
#define ST_RECORD_MS 1000
#define ST_WINDOW_MS 100
// The whole run, from connecting to the last recorded sample: a sound server
// that stops answering must not keep the sound locks.
#define ST_RUN_MS 10000

// One channel's run.
struct spk_test_ctx {
	pulse_client pa;
	pa_stream *str_rec;
	pa_stream *str_play;
	double phase;
	double step;
	uint32_t rate;
	uint32_t play;     // tone bytes still to play
	uint32_t record;   // bytes still to record
	uint32_t recorded; // bytes recorded
	int16_t *buf;
};

static const pa_sample_spec st_spec = { PA_SAMPLE_S16LE, 8000, 1 };
static const pa_buffer_attr st_attr = { (uint32_t)-1, 2048, (uint32_t)-1, 1024, 1024 };
static const pa_stream_flags_t st_flags = (pa_stream_flags_t)(PA_STREAM_FIX_RATE | PA_STREAM_ADJUST_LATENCY);

static void st_quit(spk_test_ctx *t, int result)
{
	pulse_client_quit(&t->pa, result);
}

static void st_stream_state_cb(pa_stream *s, void *userdata)
{
	spk_test_ctx *t = (spk_test_ctx *)userdata;
	uint32_t rate;

	switch (pa_stream_get_state(s)) {
	case PA_STREAM_READY:
		rate = pa_stream_get_sample_spec(s)->rate;
		if (s == t->str_play) {
			t->step = 2 * M_PI * ST_TONE_HZ / rate;
			t->play = rate * 2 * ST_PLAY_MS / 1000;
		} else {
			t->rate = rate;
			t->record = rate * 2 * ST_RECORD_MS / 1000;
			t->buf = (int16_t *)calloc(1, t->record);
			if (!t->buf) {
				neg_errno_msg("Memory allocation failed\n");
				st_quit(t, -ENOMEM);
			}
		}
		break;
	case PA_STREAM_FAILED:
		neg_errno_msg("pa_stream_new() failed: %s\n", pa_strerror(pa_context_errno(pa_stream_get_context(s))));
		st_quit(t, -ECONNABORTED);
		break;
	default:
		break;
	}
}

static void st_stream_write_cb(pa_stream *s, size_t nbytes, void *userdata)
{
	spk_test_ctx *t = (spk_test_ctx *)userdata;

	while (nbytes > 0) {
		size_t n = nbytes;
		void *data;
		int16_t *sample;

		if (pa_stream_begin_write(s, &data, &n) < 0 || !data) {
			neg_errno_msg("pa_stream_begin_write() failed: %s\n",
				      pa_strerror(pa_context_errno(pa_stream_get_context(s))));
			st_quit(t, -ENOMEM);
			return;
		}
		n &= ~(size_t)1;
		sample = (int16_t *)data;
		for (size_t i = 0; i < n / 2; i++) {
			if (t->play) {
				sample[i] = (int16_t)(sin(t->phase) * ST_TONE_SCALE);
				t->play = t->play > 2 ? t->play - 2 : 0;
				t->phase += t->step;
			} else
				sample[i] = 0;
		}
		if (pa_stream_write(s, data, n, nullptr, 0, PA_SEEK_RELATIVE) < 0) {
			neg_errno_msg("pa_stream_write() failed: %s\n", pa_strerror(pa_context_errno(pa_stream_get_context(s))));
			st_quit(t, -EIO);
			return;
		}
		if (n == 0)
			break;
		nbytes = nbytes > n ? nbytes - n : 0;
	}
}

static void st_stream_read_cb(pa_stream *s, size_t nbytes, void *userdata)
{
	spk_test_ctx *t = (spk_test_ctx *)userdata;

	(void)nbytes;
	while (pa_stream_readable_size(s) > 0) {
		const void *data;
		size_t n;

		if (pa_stream_peek(s, &data, &n) < 0) {
			neg_errno_msg("pa_stream_peek() failed: %s\n", pa_strerror(pa_context_errno(pa_stream_get_context(s))));
			st_quit(t, -ENODATA);
			return;
		}
		if (n == 0)
			break;
		if (t->buf && t->record) {
			size_t take = n < t->record ? n : t->record;

			// A hole reads as silence.
			if (data)
				memcpy((char *)t->buf + t->recorded, data, take);
			else
				memset((char *)t->buf + t->recorded, 0, take);
			t->record -= (uint32_t)take;
			t->recorded += (uint32_t)take;
		}
		if (pa_stream_drop(s) < 0) {
			neg_errno_msg("pa_stream_drop() failed: %s\n", pa_strerror(pa_context_errno(pa_stream_get_context(s))));
			st_quit(t, -EBADR);
			return;
		}
		if (t->buf && t->record == 0) {
			st_quit(t, 0);
			return;
		}
	}
}

static pa_stream *st_stream(pa_context *c, spk_test_ctx *t, const char *name)
{
	pa_stream *s = pa_stream_new(c, name, &st_spec, nullptr);

	if (!s) {
		neg_errno_msg("pa_stream_new() failed: %s\n", pa_strerror(pa_context_errno(c)));
		return nullptr;
	}
	pa_stream_set_state_callback(s, st_stream_state_cb, t);
	return s;
}

// Sets up the recording and the tone on the connected client.
static int st_streams(spk_test_ctx *t)
{
	pa_context *c = t->pa.ctx;

	if (!(t->str_play = st_stream(c, t, "spk-test-play")) || !(t->str_rec = st_stream(c, t, "spk-test-rec")))
		return -ENOMEM;
	pa_stream_set_write_callback(t->str_play, st_stream_write_cb, t);
	pa_stream_set_read_callback(t->str_rec, st_stream_read_cb, t);
	if (pa_stream_connect_record(t->str_rec, nullptr, &st_attr, st_flags) < 0) {
		errno = ECONNREFUSED;
		return neg_errno_msg("pa_stream_connect_record() failed: %s\n", pa_strerror(pa_context_errno(c)));
	}
	if (pa_stream_connect_playback(t->str_play, nullptr, &st_attr, st_flags, nullptr, nullptr) < 0) {
		errno = ECONNREFUSED;
		return neg_errno_msg("pa_stream_connect_playback() failed: %s\n", pa_strerror(pa_context_errno(c)));
	}
	return 0;
}

static void shutdown_stream(pa_stream *s)
{
	if (!s)
		return;
	pa_stream_disconnect(s);
	pa_stream_unref(s);
}

// Plays the tone and records; 0 when the recording is whole.
static int st_run(spk_test_ctx *t)
{
	int r = pulse_client_connect(&t->pa, "Automatic speakerphone check", ST_RUN_MS);

	if (r == -ECONNREFUSED) {
		errno = -r;
		neg_errno_msg("spktest: Failed to connect to Pulse Audio server: %s\n", pulse_client_error(&t->pa));
	} else if (r == 0 && (r = st_streams(t)) == 0)
		r = pulse_client_run(&t->pa);
	if (r == -ETIMEDOUT) {
		errno = -r;
		neg_errno_msg("spktest: the sound server does not answer\n");
	}
	shutdown_stream(t->str_play);
	shutdown_stream(t->str_rec);
	pulse_client_close(&t->pa);
	return r;
}

static void st_precalc_sincos(double (*dst)[2], const int16_t *src, size_t cnt, unsigned rate)
{
	const double step = 2 * M_PI * ST_TONE_HZ / rate;
	double angle = 0;

	for (size_t k = 0; k < cnt; k++, angle += step) {
		dst[k][0] = src[k] * sin(angle);
		dst[k][1] = src[k] * cos(angle);
	}
}

double st_evaluate(const int16_t *samples, size_t count, unsigned rate)
{
	const size_t window = (size_t)rate * ST_WINDOW_MS / 1000;
	double accsin = 0, acccos = 0, res = 0;

	if (window == 0 || count < window)
		return 0;
	std::unique_ptr<double[][2]> pairs(new (std::nothrow) double[count][2]);
	if (!pairs)
		return -ENOMEM;
	st_precalc_sincos(pairs.get(), samples, count, rate);
	for (size_t k = 0; k < window; k++) {
		accsin += pairs[k][0];
		acccos += pairs[k][1];
	}
	// One addition and one subtraction per step instead of a whole window.
	for (size_t i = 0; i + window <= count; i++) {
		res = std::max(res, sqrt(accsin * accsin + acccos * acccos));
		if (i + window == count)
			break;
		accsin += pairs[i + window][0] - pairs[i][0];
		acccos += pairs[i + window][1] - pairs[i][1];
	}
	return res / (2 * M_PI * 32767);
}

static int st_store(int ch, const spk_test_ctx *t)
{
	double amplitude = st_evaluate(t->buf, t->recorded / 2, t->rate);
	struct timespec now;
	uint8_t amp;
	int r;

	if (amplitude < 0)
		return neg_errno_msg("Memory allocation failed\n");
	if (amplitude > 255.0) {
		neg_errno_msg("Result doesn't fit (%g)\n", amplitude);
		amp = 255;
	} else
		amp = (uint8_t)amplitude;
	clock_gettime(CLOCK_MONOTONIC, &now);
	if ((r = vgd_write_lock(SEM_SSTATE_R, SEM_SSTATE_W)) < 0)
		return r;
	vgd_fetch_and(&vgd_state->stest_mask, (uint8_t) ~(1u << ch));
	vgd_state->stest_res[ch].amp = amp;
	vgd_state->stest_res[ch].ts = now.tv_sec;
	return vgd_write_unlock(SEM_SSTATE_R, SEM_SSTATE_W);
}

// Connects the channel, has the loop measure its microphone line, and runs
// the tone; the loop's result.
static int st_channel(int ch, spk_test_ctx *t)
{
	int result = -EAGAIN;
	int waited;

	if (vgd_load(&vgd_state->fmm_active) || gpio_init() < 0)
		return result;
	if (sound_set_mute(0) < 0 || sound_set_ch(ch) < 0) {
		gpio_done();
		return result;
	}
	vgd_msleep(500);
	vgd_store(&vgd_state->mic_request, (uint8_t)(ch + 1));
	for (waited = 0; waited < 100 && vgd_load(&vgd_state->mic_request); waited++)
		vgd_msleep(100);
	if (vgd_xchg(&vgd_state->mic_request, 0))
		neg_errno_msg("spktest: timeout waiting for ADC\n");
	else
		result = st_run(t);
	sound_set_ch(-1);
	sound_set_mute(1);
	gpio_done();
	return result;
}

static int st_give_back(void)
{
	int r = vgd_write_lock(SEM_SSTATE_R, SEM_SSTATE_W);

	if (r < 0)
		return r;
	if (vgd_state->stest_cnt)
		vgd_state->stest_cnt--;
	return vgd_write_unlock(SEM_SSTATE_R, SEM_SSTATE_W);
}

static void __attribute__((noreturn)) st_process(void)
{
	closelog();
	close_range(3, ~0U, 0);
	daemon_loop = nullptr;

	for (;;) {
		spk_test_ctx t = {};
		uint8_t mask = vgd_load(&vgd_state->stest_mask);
		int ch = mask ? __builtin_ctz(mask) : -1;
		int result;

		if (ch < 0 || ch >= 8 || vgd_load(&vgd_state->daemon_loop) != 1)
			_exit(st_give_back() < 0 ? 1 : 0);
		if (vgd_sem_trylock2(SEM_SOUNDPINS, SEM_SOUNDCODEC) < 0) {
			vgd_msleep(250);
			continue;
		}
		result = st_channel(ch, &t);
		vgd_sem_unlock2(SEM_SOUNDPINS, SEM_SOUNDCODEC);
		if (result == 0 && st_store(ch, &t) == -ENOMEM) {
			free(t.buf);
			st_give_back();
			_exit(1);
		}
		free(t.buf);
		if (result != 0)
			vgd_msleep(1000); // the same channel again
	}
}

int spk_test(void)
{
	pid_t pid;
	int status;

	if (vgd_xchg(&vgd_state->stest_cnt, 1))
		return -EAGAIN;
	pid = fork();
	if (pid < 0) {
		int r = neg_errno();

		vgd_store(&vgd_state->stest_cnt, 0);
		return r;
	}
	if (pid == 0) {
		pid_t test = fork();

		if (test < 0) {
			neg_errno_automsg();
			_exit(1);
		}
		if (test == 0)
			st_process();
		_exit(0);
	}
	if (waitpid(pid, &status, 0) < 0) {
		int r = neg_errno();

		st_give_back();
		return r;
	}
	if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
		st_give_back();
		return -ECHILD;
	}
	return 0;
}
