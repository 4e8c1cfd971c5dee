// The speakerphone path: which call point's channel is connected to the
// sound card, whether the path is muted, the call bell and fireman's mode.
//
// The sound lock (SEM_SOUNDPINS, with SEM_SOUNDCODEC for the bell and the
// speaker test) comes before the state lock; kelvgd/README.md has every
// lock of the daemon and their order.
#pragma once

#include "paths.h"

#define SOUND_MUTE_GPIO 49

// Selects channel ch (0 .. num_buttons() - 1) or none (-1).
int sound_set_ch(int ch);
int sound_set_mute(int muted);
int sound_get_mute(void);

// The maintenance commands `sound` and `nosound`: connect a channel for good,
// and disconnect it.
int sound_enable(int ch);
int sound_disable(void);

// Rings the bell of a call button in a detached process; returns at once.
int play_bell(int channel);

// Fireman's mode: connect its channel and have the console call its
// intercom unit; end the call.
void fmm_activate(void);
void fmm_deactivate(void);
int fmm_hangup_cmd(void);
// Places the fireman's call again on the channel still connected, while
// fireman's mode lasts: the count written, 0 when fireman's mode has ended
// or a maintenance channel took the path, or the error of the pipe, which
// is not reported (-ENXIO: the console is not reading yet).
int fmm_call_again(void);

// The console's command pipe. console_open() gives a descriptor, or fails
// at once while the console is not running; console_try_open() fails
// without a word.
int console_open(void);
int console_try_open(void);
int console_send(int fd, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// Bytes the console has not read yet.
int fifo_unread(int fd);
// Waits until the console has read everything, at most timeout_ms.
int fifo_drain(int fd, int timeout_ms);
