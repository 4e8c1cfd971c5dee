#include "sound_maint.h"

#include <cerrno>
#include <cfloat>
#include <climits>
#include <cstdio>

#include "fmm.h"
#include "gpio.h"
#include "shared_state.h"
#include "sound.h"

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
