// The daemon's client of the sound server, for the processes that talk to
// it for a few seconds: the bell's, the speaker test's and the audio test.
//
// One connection, run by a plain main loop on the calling thread. Every
// wait has a deadline: a server that stops answering must never hold the
// sound locks, or the audio test, for long. The deadline is set when
// connecting and can be set anew; callbacks end a wait with
// pulse_client_quit().
#pragma once

#include <pulse/context.h>
#include <pulse/mainloop.h>

struct pulse_client {
	pa_mainloop *loop;
	pa_context *ctx;
	pa_time_event *deadline;
	bool connecting;
	int result; // what ends the next or running wait; 1 while nothing has
};

// Connects as name, waiting at most timeout_ms, which is also the deadline
// of the waits that follow. 0; -ECONNREFUSED when the connection cannot be
// started, -ECONNABORTED when the server refused or ended it, -ETIMEDOUT:
// pulse_client_error() says why. -ENOMEM, said here. c starts zeroed and
// needs pulse_client_close() whatever the result.
int pulse_client_connect(pulse_client *c, const char *name, unsigned timeout_ms);

// The waits from now on end at most timeout_ms from now.
void pulse_client_deadline(pulse_client *c, unsigned timeout_ms);

// Runs the loop until a callback calls pulse_client_quit() (also before
// the wait began) or the deadline: the result the callback gave, or
// -ETIMEDOUT; -ECONNABORTED when the connection ends meanwhile.
int pulse_client_run(pulse_client *c);

// Ends the wait with result, 0 or a negated errno value; the first result
// given counts.
void pulse_client_quit(pulse_client *c, int result);

// Whether the connection is up, for requests that need it.
bool pulse_client_ready(const pulse_client *c);

// The text of the connection's last error.
const char *pulse_client_error(const pulse_client *c);

// Disconnects and frees what c holds; safe after any connect, and again.
void pulse_client_close(pulse_client *c);
