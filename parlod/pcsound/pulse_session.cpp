#include "pulse_session.h"

#include "pulse_context.h"

namespace pcsound {

PulseSession::PulseSession(Token) {}

std::shared_ptr<PulseSession> PulseSession::connect(const std::string &server, const std::string &client_name,
						     std::chrono::milliseconds timeout, std::string &error)
{
	auto session = std::make_shared<PulseSession>(Token{});
	PulseSession &s = *session;

	s.loop_ = pa_threaded_mainloop_new();
	if (!s.loop_) {
		error = "cannot create a main loop";
		return nullptr;
	}
	s.context_ = kel_pa_context_new(pa_threaded_mainloop_get_api(s.loop_), client_name.c_str());
	if (!s.context_) {
		error = "cannot create a context";
		return nullptr;
	}
	pa_context_set_state_callback(s.context_, context_state_cb, &s);
	// No autospawn: a console running as a service must not start a sound
	// server of its own when the real one is down.
	if (pa_context_connect(s.context_, server.empty() ? nullptr : server.c_str(), PA_CONTEXT_NOAUTOSPAWN,
			       nullptr) < 0) {
		error = pa_strerror(pa_context_errno(s.context_));
		return nullptr;
	}
	if (pa_threaded_mainloop_start(s.loop_) < 0) {
		error = "cannot start the main loop";
		return nullptr;
	}
	s.started_ = true;

	bool ready = false;
	{
		Lock hold(s);
		auto deadline = Clock::now() + timeout;
		for (;;) {
			pa_context_state_t state = pa_context_get_state(s.context_);
			if (state == PA_CONTEXT_READY) {
				ready = true;
				break;
			}
			if (!PA_CONTEXT_IS_GOOD(state)) {
				error = s.error_locked();
				break;
			}
			if (!s.wait_until_locked(deadline)) {
				error = "no answer";
				break;
			}
		}
	}
	// On failure the session's destructor stops the thread, outside the lock.
	return ready ? session : nullptr;
}

PulseSession::~PulseSession()
{
	stop();
	if (context_) {
		pa_context_set_state_callback(context_, nullptr, nullptr);
		pa_context_disconnect(context_);
		pa_context_unref(context_);
	}
	if (loop_)
		pa_threaded_mainloop_free(loop_);
}

bool PulseSession::usable()
{
	if (!started_)
		return false;
	Lock hold(*this);
	return !stopped_ && pa_context_get_state(context_) == PA_CONTEXT_READY;
}

void PulseSession::stop()
{
	if (!started_)
		return;
	{
		Lock hold(*this);
		if (stopped_)
			return;
		stopped_ = true;
		signal_locked();
	}
	pa_threaded_mainloop_stop(loop_);
}

bool PulseSession::wait_locked()
{
	if (stopped_)
		return false;
	pa_threaded_mainloop_wait(loop_);
	return true;
}

bool PulseSession::wait_until_locked(Clock::time_point deadline)
{
	auto now = Clock::now();
	if (stopped_ || now >= deadline)
		return false;
	// The main loop's wait has no timeout of its own: a timer event wakes it.
	auto usec = std::chrono::ceil<std::chrono::microseconds>(deadline - now).count();
	pa_time_event *timer = pa_context_rttime_new(context_, pa_rtclock_now() + (pa_usec_t)usec, timer_cb, this);
	if (!timer)
		return false; // nothing would end the wait
	pa_threaded_mainloop_wait(loop_);
	pa_threaded_mainloop_get_api(loop_)->time_free(timer);
	return true;
}

void PulseSession::context_state_cb(pa_context *context, void *userdata)
{
	(void)context;
	static_cast<PulseSession *>(userdata)->signal_locked();
}

void PulseSession::timer_cb(pa_mainloop_api *api, pa_time_event *event, const struct timeval *tv, void *userdata)
{
	(void)api;
	(void)event;
	(void)tv;
	static_cast<PulseSession *>(userdata)->signal_locked();
}

} // namespace pcsound
