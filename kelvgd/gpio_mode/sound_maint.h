// The maintenance commands `sound` and `nosound`: a call point's channel
// connected for good (its button then neither latches nor rings, and
// fireman's mode leaves the path alone), and disconnected again. A
// channel connected so ends fireman's mode's call first.
#pragma once

int sound_enable(int ch);
int sound_disable(void);
