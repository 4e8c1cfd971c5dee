#include "pulse_client.h"

#include <cerrno>
#include <cstring>
#include <pulse/error.h>
#include <pulse/rtclock.h>
#include <pulse/timeval.h>

#include "errmsg.h"
#include "pulse_context.h"

static void pc_state_cb(pa_context *ctx, void *userdata)
{
	pulse_client *c = (pulse_client *)userdata;

	switch (pa_context_get_state(ctx)) {
	case PA_CONTEXT_READY:
		if (c->connecting)
			pulse_client_quit(c, 0);
		break;
	case PA_CONTEXT_FAILED:
	case PA_CONTEXT_TERMINATED:
		pulse_client_quit(c, -ECONNABORTED);
		break;
	default:
		break;
	}
}

static void pc_deadline_cb(pa_mainloop_api *api, pa_time_event *e, const struct timeval *tv, void *userdata)
{
	(void)api;
	(void)e;
	(void)tv;
	pulse_client_quit((pulse_client *)userdata, -ETIMEDOUT);
}

static pa_usec_t pc_due(unsigned timeout_ms)
{
	return pa_rtclock_now() + (pa_usec_t)timeout_ms * PA_USEC_PER_MSEC;
}

int pulse_client_connect(pulse_client *c, const char *name, unsigned timeout_ms)
{
	int r;

	c->result = 1;
	c->loop = pa_mainloop_new();
	if (!c->loop) {
		errno = ENOMEM;
		return neg_errno_func("pa_mainloop_new");
	}
	c->ctx = kel_pa_context_new(pa_mainloop_get_api(c->loop), name);
	if (!c->ctx) {
		errno = ENOMEM;
		return neg_errno_func("pa_context_new");
	}
	pa_context_set_state_callback(c->ctx, pc_state_cb, c);
	if (pa_context_connect(c->ctx, nullptr, PA_CONTEXT_NOFLAGS, nullptr) < 0)
		return -ECONNREFUSED;
	// On the monotonic clock: a wall clock set meanwhile moves no deadline.
	c->deadline = pa_context_rttime_new(c->ctx, pc_due(timeout_ms), pc_deadline_cb, c);
	if (!c->deadline) {
		errno = ENOMEM;
		return neg_errno_func("pa_context_rttime_new");
	}
	c->connecting = true;
	r = pulse_client_run(c);
	c->connecting = false;
	return r;
}

void pulse_client_deadline(pulse_client *c, unsigned timeout_ms)
{
	if (c->ctx && c->deadline)
		pa_context_rttime_restart(c->ctx, c->deadline, pc_due(timeout_ms));
}

int pulse_client_run(pulse_client *c)
{
	int r;

	while (c->result == 1)
		if (pa_mainloop_iterate(c->loop, 1, nullptr) < 0) {
			errno = EIO;
			pulse_client_quit(c, neg_errno_func("pa_mainloop_iterate"));
		}
	r = c->result;
	c->result = 1;
	return r;
}

void pulse_client_quit(pulse_client *c, int result)
{
	if (c->result == 1)
		c->result = result;
}

bool pulse_client_ready(const pulse_client *c)
{
	return c->ctx && pa_context_get_state(c->ctx) == PA_CONTEXT_READY;
}

const char *pulse_client_error(const pulse_client *c)
{
	return c->ctx ? pa_strerror(pa_context_errno(c->ctx)) : strerror(ENOMEM);
}

void pulse_client_close(pulse_client *c)
{
	if (c->deadline)
		pa_mainloop_get_api(c->loop)->time_free(c->deadline);
	if (c->ctx) {
		// Our own end is no failure to report to anyone.
		pa_context_set_state_callback(c->ctx, nullptr, nullptr);
		pa_context_disconnect(c->ctx);
		pa_context_unref(c->ctx);
	}
	if (c->loop)
		pa_mainloop_free(c->loop);
	*c = {};
}
