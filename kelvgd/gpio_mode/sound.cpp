#include "sound.h"

#include <cerrno>
#include <cfloat>
#include <cstdarg>
#include <cstdio>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "errmsg.h"
#include "gpio.h"
#include "inputs.h"
#include "rootpath.h"
#include "shared_state.h"

// Channel enable of 8-channel terminals, then the select lines of weight 4,
// 2 and 1, which carry the channel number inverted.
#define SOUND_ENABLE_GPIO 47
#define SOUND_SEL4_GPIO 52
#define SOUND_SEL2_GPIO 57
#define SOUND_SEL1_GPIO 59
#define SOUND_CODE_NONE 7

static int sound_gpio(int gpio, int level)
{
	int r = gpio_set(gpio, level);

	if (r < 0)
		fprintf(stderr, "%s(): Cannot set GPIO state\n", "sound_set_ch");
	return r;
}

int sound_set_ch(int ch)
{
	int n = num_buttons();
	int code = ch < 0 ? SOUND_CODE_NONE : ch;
	int inverted = ~code & 7;
	int r;

	if (n < 0)
		return n;
	if (ch < -1 || ch >= n)
		return -EINVAL;
	if (n == 8) {
		if ((r = sound_gpio(SOUND_ENABLE_GPIO, ch >= 0)) < 0 || (r = sound_gpio(SOUND_SEL4_GPIO, inverted & 4)) < 0)
			return r;
	} else if (n != 4)
		return -EOPNOTSUPP;
	// On a 4-channel terminal no channel shares the code of channel 3.
	if ((r = sound_gpio(SOUND_SEL2_GPIO, inverted & 2)) < 0 || (r = sound_gpio(SOUND_SEL1_GPIO, inverted & 1)) < 0)
		return r;
	return 0;
}

int sound_set_mute(int muted)
{
	int r = gpio_set(SOUND_MUTE_GPIO, muted);

	if (r < 0)
		fprintf(stderr, "%s(): Cannot set GPIO state\n", __func__);
	return r;
}

int sound_get_mute(void)
{
	int r = gpio_get(SOUND_MUTE_GPIO);

	if (r < 0)
		fprintf(stderr, "%s(): Cannot get GPIO state\n", __func__);
	return r;
}

// The measured minimum and maximum of the channel start again.
static int sound_reset_tracking(int ch)
{
	int r = vgd_write_lock(SEM_SSTATE_R, SEM_SSTATE_W);

	if (r < 0)
		return r;
	vgd_state->pendingbell[ch] = 0; // a queued bell of the channel gives up
	vgd_state->buttonact[ch] = 0;
	vgd_state->cur_spk_min = INT32_MAX;
	vgd_state->cur_spk_max = 0;
	vgd_state->vol_mic_min = DBL_MAX;
	vgd_state->vol_mic_max = 0.0;
	return vgd_write_unlock(SEM_SSTATE_R, SEM_SSTATE_W);
}

// Takes GPIO and the sound lock around a maintenance command's work.
static int sound_begin(const char *who)
{
	int r = gpio_init();

	if (r < 0)
		return r;
	r = vgd_sem_lock(SEM_SOUNDPINS);
	if (r < 0) {
		fprintf(stderr, "%s(): Cannot acquire semaphores\n", who);
		gpio_done();
	}
	return r;
}

static void sound_end(void)
{
	vgd_sem_unlock(SEM_SOUNDPINS);
	gpio_done();
}

int sound_enable(int ch)
{
	int r = sound_begin(__func__);

	if (r < 0)
		return r;
	if (vgd_load(&vgd_state->fmm_active))
		fmm_hangup_cmd();
	r = sound_set_ch(ch);
	if (r == 0) {
		vgd_store(&vgd_state->sound_ch, (uint8_t)(ch + 1));
		r = sound_reset_tracking(ch);
	} else if (r == -EINVAL)
		fprintf(stderr, "%s(): Invalid channel number (%d)\n", __func__, ch);
	sound_end();
	return r;
}

int sound_disable(void)
{
	int old;
	int r = sound_begin(__func__);

	if (r < 0)
		return r;
	old = vgd_load(&vgd_state->sound_ch);
	if (old) {
		r = sound_set_ch(-1);
		if (r == 0) {
			vgd_store(&vgd_state->sound_ch, 0);
			r = vgd_write_lock(SEM_SSTATE_R, SEM_SSTATE_W);
			if (r == 0) {
				vgd_state->buttonact[(old - 1) & 7] = 0;
				r = vgd_write_unlock(SEM_SSTATE_R, SEM_SSTATE_W);
			}
		}
	}
	sound_end();
	return r;
}

int console_try_open(void)
{
	// Non-blocking: fails at once while nobody reads the pipe. It stays
	// non-blocking, so a console that stopped reading can never hold up
	// the daemon; a command line is far below the pipe's atomic size.
	int fd = open(kel_path(CONSOLE_PIPE), O_WRONLY | O_NONBLOCK | O_CLOEXEC);

	return fd < 0 ? neg_errno() : fd;
}

int console_open(void)
{
	int fd = console_try_open();

	if (fd < 0) {
		errno = -fd;
		return neg_errno_automsg();
	}
	return fd;
}

int console_send(int fd, const char *fmt, ...)
{
	va_list ap;
	int n;

	va_start(ap, fmt);
	n = vdprintf(fd, fmt, ap);
	va_end(ap);
	return n < 0 ? neg_errno_automsg() : n;
}

int fifo_unread(int fd)
{
	int n;

	return ioctl(fd, FIONREAD, &n) == 0 ? n : neg_errno_automsg();
}

int fifo_drain(int fd, int timeout_ms)
{
	int n;

	for (int waited = 0; (n = fifo_unread(fd)) >= 1 && waited < timeout_ms; waited += 20)
		vgd_msleep(20);
	return n >= 1 ? -ETIMEDOUT : n;
}
