// One connection to the sound server: a libpulse threaded main loop and
// its context, shared by the streams opened on it.
//
// Thread: the main loop's own thread runs libpulse's callbacks. It is
// started by connect() and stopped and joined by stop() or the destructor,
// never from that thread itself; the callbacks of this class and of the
// streams hold no owning reference to a session, so the last owner is
// always another thread.
//
// Lock: the main loop's lock guards the context and everything the
// callbacks touch (the streams' state included). Callers take it through
// Lock; it is the innermost lock of the sound endpoint.
//
// Audio goes through the server's socket, never through shared memory
// (pulse_context.h says why): libpulse's thread can hang for good, holding
// that lock, when a server that shares memory with it goes away at the
// wrong moment.
#pragma once

#include <pulse/pulseaudio.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

namespace pcsound {

class PulseSession {
	struct Token {}; // lets make_shared reach the constructor, nobody else

public:
	using Clock = std::chrono::steady_clock;

	// Connects within timeout to server ("" for libpulse's default: the
	// PULSE_SERVER variable, the client configuration, the user's server).
	// None, with the reason in error, when it cannot be reached. Never
	// starts a server of its own.
	static std::shared_ptr<PulseSession> connect(const std::string &server, const std::string &client_name,
						     std::chrono::milliseconds timeout, std::string &error);

	explicit PulseSession(Token);
	~PulseSession();
	PulseSession(const PulseSession &) = delete;
	PulseSession &operator=(const PulseSession &) = delete;

	// Holds the main loop's lock.
	class Lock {
	public:
		explicit Lock(PulseSession &session) : loop_(session.loop_) { pa_threaded_mainloop_lock(loop_); }
		~Lock() { pa_threaded_mainloop_unlock(loop_); }
		Lock(const Lock &) = delete;
		Lock &operator=(const Lock &) = delete;

	private:
		pa_threaded_mainloop *loop_;
	};

	// Connected and running: new streams may be opened on it.
	bool usable();

	// Ends the main loop's thread. Whoever waits on the session is woken
	// and finds it stopped. Idempotent.
	void stop();

	// The rest is for the streams, with the lock held.
	pa_context *context() const { return context_; }
	bool stopped_locked() const { return stopped_; }
	// The server went away (or refused us): the context is dead for good.
	bool lost_locked() const { return !PA_CONTEXT_IS_GOOD(pa_context_get_state(context_)); }
	std::string error_locked() const { return pa_strerror(pa_context_errno(context_)); }
	// Waits for the next event of the main loop: a change of state of the
	// context or of a stream, or stop(). Returns false without waiting once
	// stopped. (The streams' audio wakes their readers, not the session.)
	bool wait_locked();
	// The same, but false once deadline has passed.
	bool wait_until_locked(Clock::time_point deadline);
	// Wakes every waiter.
	void signal_locked() { pa_threaded_mainloop_signal(loop_, 0); }

	// True for the first caller only, so that the loss of the connection is
	// reported once however many streams notice it.
	bool first_to_report_loss() { return !loss_reported_.exchange(true); }

private:
	static void context_state_cb(pa_context *context, void *userdata);
	static void timer_cb(pa_mainloop_api *api, pa_time_event *event, const struct timeval *tv, void *userdata);

	pa_threaded_mainloop *loop_ = nullptr;
	pa_context *context_ = nullptr;
	bool started_ = false;  // set by connect() before the session is shared
	bool stopped_ = false;  // under the lock
	std::atomic<bool> loss_reported_{ false };
};

} // namespace pcsound
