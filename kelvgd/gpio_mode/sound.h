// The speakerphone path: which call point's channel is connected to the
// sound card, whether the path is muted, and the call bell (bell.cpp).
// Fireman's mode (fmm.h) and the maintenance commands (sound_maint.h) use
// the path.
//
// The sound lock (SEM_SOUNDPINS, with SEM_SOUNDCODEC for the bell and the
// speaker test) comes before the state lock; kelvgd/README.md has every
// lock of the daemon and their order.
#pragma once

#define SOUND_MUTE_GPIO 49

// Selects channel ch (0 .. num_buttons() - 1) or none (-1).
int sound_set_ch(int ch);
int sound_set_mute(int muted);
int sound_get_mute(void);

// Rings the bell of a call button in a detached process; returns at once.
int play_bell(int channel);
