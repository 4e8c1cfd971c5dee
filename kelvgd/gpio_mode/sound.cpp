#include "sound.h"

#include <cerrno>
#include <cstdio>

#include "gpio.h"
#include "inputs.h"

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
