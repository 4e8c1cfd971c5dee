// The automatic speakerphone test: a detached process plays a 1 kHz tone
// on each requested channel, records one second through the same sound
// server and stores how strongly the tone came back.
#pragma once

#include <cstddef>
#include <cstdint>

// Starts the test process for the channels in stest_mask; -EAGAIN while
// one runs, -ECHILD when it cannot be started.
int spk_test(void);

// The amplitude of the 1 kHz tone in a recording: the strongest 100 ms
// window of a sliding single-frequency transform. -ENOMEM.
double st_evaluate(const int16_t *samples, size_t count, unsigned rate);
