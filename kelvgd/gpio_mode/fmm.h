// Fireman's mode: a key switch (a discrete input, an intercom's input or
// the cabin's own line) connects the fireman's channel and has the console
// call the fireman's intercom, and ends that call again. The monitoring
// loop polls it once a cycle; the rest happens here.
#pragma once

// What the poll carries from one to the next.
struct fmm_poll_state {
	int states_fd; // the intercom states file, kept open; -1 while none
	// The fireman's call: seen up in the states file since it was placed;
	// gone again and to be placed anew; the last error of that, reported.
	bool call_up, call_lost;
	int call_err;
};

void fmm_poll_init(fmm_poll_state *p);
// One poll, while fireman's mode is configured and no maintenance channel
// holds the path: the trigger from the intercom states file, the discrete
// input and the cabin line; activation or deactivation when it changed;
// the call followed while it lasts.
void fmm_poll(fmm_poll_state *p);
// Fireman's mode is off, or a maintenance channel holds the path: its call
// is no longer followed.
void fmm_poll_forget(fmm_poll_state *p);
void fmm_poll_done(fmm_poll_state *p);

// Connect the fireman's channel and have the console call the intercom;
// end the call and free the channel.
void fmm_activate(void);
void fmm_deactivate(void);
// Sends the hang-up and waits for the console to end the call's audio:
// the count written, or a negated errno value.
int fmm_hangup_cmd(void);
