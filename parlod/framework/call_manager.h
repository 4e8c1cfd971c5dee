// The call manager: owns the endpoints, the route table and the calls, sets
// up and clears calls, and calls the hooks an application overrides.
//
// Threads: a worker thread owned by the manager does everything that waits
// (starting and stopping media, releasing connections), so endpoints may
// report from their own threads without waiting. Lock order: an endpoint's
// own lock, then the manager's, then a call's; the manager never calls an
// endpoint or a hook while holding its own or a call's lock.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "call.h"
#include "endpoint.h"
#include "route_table.h"

namespace callfw {

class CallManager {
public:
	CallManager();
	// A derived manager calls shutdown() in its own destructor: the worker
	// thread calls the hooks, which must not outlive the derived object.
	virtual ~CallManager();
	CallManager(const CallManager &) = delete;
	CallManager &operator=(const CallManager &) = delete;

	void add_endpoint(std::unique_ptr<Endpoint> endpoint);
	Endpoint *find_endpoint(const std::string &prefix) const;
	RouteTable &routes() { return routes_; }
	// Where calls from network endpoints go when no entry matches.
	void set_default_route(std::string destination);

	// A call from party A to party B, each "prefix:party"; none when either
	// cannot be reached. Returns at once; the call proceeds on its own.
	CallPtr setup_call(const std::string &party_a, const std::string &party_b);
	// A call arriving at a network endpoint: make_a creates its connection
	// (party A) for the new call; B is found through the routes.
	CallPtr incoming_call(const std::string &party_a, const std::string &party_b,
			      const std::function<ConnectionPtr(Call &)> &make_a);

	CallPtr find_call(const std::string &token) const;
	std::vector<CallPtr> calls() const;

	// Writes a message to standard output, whole, from any thread. A
	// message begins with its line break and ends without one; each is
	// written as complete lines all the same (see broadcast()), so that a
	// journal records it when it happens.
	virtual void broadcast(const std::string &text);

	// Clears every call, waits until they are gone, stops the endpoints and
	// the worker thread.
	void shutdown();

	// Runs work on the worker thread.
	void post(std::function<void()> work);

	// Hooks.
	virtual bool on_local_incoming_call(Connection &local);
	// Reports the end of the call, its parties and why; an override ends
	// by calling it.
	virtual void on_cleared_call(Call &call);
	virtual void on_start_media_patch(Connection &connection, MediaPatch &patch);
	virtual void on_stop_media_patch(Connection &connection, MediaPatch &patch);
	virtual void adjust_media_formats(bool local, const Connection &connection, MediaFormatList &formats) const;
	virtual void on_user_input_string(Connection &connection, const std::string &text);

private:
	friend class Call;
	CallPtr create_call(const std::string &party_a, const std::string &party_b,
			    const std::function<ConnectionPtr(Call &)> &make_a, Endpoint &ep_b, const std::string &rest_b,
			    bool start_a);
	void remove_call(const Call &call);
	void run_worker();

	mutable std::mutex mutex_; // endpoints_, calls_, next_token_, closed_, default_route_
	std::map<std::string, std::unique_ptr<Endpoint>> endpoints_;
	std::map<std::string, CallPtr> calls_;
	unsigned long next_token_ = 1;
	bool closed_ = false; // no new calls
	RouteTable routes_;
	std::string default_route_;

	std::mutex output_mutex_;
	// The output stands at the start of a line. Not at first: what the
	// output held before (a file appended to) is not known.
	bool at_line_start_ = false; // under output_mutex_

	std::mutex work_mutex_;
	std::condition_variable work_cv_;
	std::condition_variable idle_cv_;
	std::deque<std::function<void()>> work_;
	bool busy_ = false;
	bool stopping_ = false; // the worker ends when its queue is empty
	std::thread worker_; // owned: started by the constructor, joined by shutdown()
};

} // namespace callfw
