#include "call_manager.h"

#include <cstdio>
#include <unistd.h>

namespace callfw {

CallManager::CallManager() : worker_(&CallManager::run_worker, this) {}

CallManager::~CallManager()
{
	shutdown();
}

void CallManager::add_endpoint(std::unique_ptr<Endpoint> endpoint)
{
	std::lock_guard<std::mutex> hold(mutex_);
	std::string prefix = endpoint->prefix();
	endpoints_[prefix] = std::move(endpoint);
}

Endpoint *CallManager::find_endpoint(const std::string &prefix) const
{
	std::lock_guard<std::mutex> hold(mutex_);
	auto it = endpoints_.find(prefix);
	return it == endpoints_.end() ? nullptr : it->second.get();
}

void CallManager::set_default_route(std::string destination)
{
	std::lock_guard<std::mutex> hold(mutex_);
	default_route_ = std::move(destination);
}

namespace {

// "prefix:rest" split at the first colon; no prefix when there is none.
std::pair<std::string, std::string> split_party(const std::string &party)
{
	size_t colon = party.find(':');
	if (colon == std::string::npos)
		return { "", party };
	return { party.substr(0, colon), party.substr(colon + 1) };
}

} // namespace

CallPtr CallManager::setup_call(const std::string &party_a, const std::string &party_b)
{
	const auto [prefix_a, rest] = split_party(party_a);
	const std::string rest_a = rest; // a lambda below takes it
	Endpoint *ep_a = find_endpoint(prefix_a);
	std::string b = party_b;
	auto [prefix_b, rest_b] = split_party(b);
	Endpoint *ep_b = find_endpoint(prefix_b);

	// A destination without an endpoint of its own goes by the routes.
	if (!ep_b) {
		b = routes_.route(party_a, party_b);
		std::tie(prefix_b, rest_b) = split_party(b);
		ep_b = find_endpoint(prefix_b);
	}
	if (!ep_a || !ep_b)
		return nullptr;

	return create_call(party_a, b, [&](Call &call) { return ep_a->make_connection(call, rest_a); }, *ep_b, rest_b,
			   true);
}

CallPtr CallManager::incoming_call(const std::string &party_a, const std::string &party_b,
				   const std::function<ConnectionPtr(Call &)> &make_a)
{
	std::string b = routes_.route(party_a, party_b);
	if (b.empty()) {
		std::lock_guard<std::mutex> hold(mutex_);
		b = default_route_;
	}
	auto [prefix_b, rest_b] = split_party(b);
	Endpoint *ep_b = find_endpoint(prefix_b);
	if (!ep_b)
		return nullptr;

	return create_call(party_a, b, make_a, *ep_b, rest_b.empty() ? "*" : rest_b, false);
}

CallPtr CallManager::create_call(const std::string &party_a, const std::string &party_b,
				 const std::function<ConnectionPtr(Call &)> &make_a, Endpoint &ep_b,
				 const std::string &rest_b, bool start_a)
{
	CallPtr call;
	{
		std::lock_guard<std::mutex> hold(mutex_);
		if (closed_)
			return nullptr;
		call = std::make_shared<Call>(*this, std::to_string(next_token_++), party_a, party_b);
	}
	ConnectionPtr a = make_a(*call);
	ConnectionPtr b = a ? ep_b.make_connection(*call, rest_b) : nullptr;
	if (!a || !b)
		return nullptr;
	call->add_connection(a);
	call->add_connection(b);
	{
		std::lock_guard<std::mutex> hold(mutex_);
		calls_[call->token()] = call;
	}
	// An outgoing call starts with its caller, an incoming one with the
	// party it goes to.
	ConnectionPtr first = start_a ? a : b;
	post([first] { first->start(); });
	return call;
}

CallPtr CallManager::find_call(const std::string &token) const
{
	std::lock_guard<std::mutex> hold(mutex_);
	auto it = calls_.find(token);
	return it == calls_.end() ? nullptr : it->second;
}

std::vector<CallPtr> CallManager::calls() const
{
	std::vector<CallPtr> out;
	std::lock_guard<std::mutex> hold(mutex_);
	for (auto &[token, call] : calls_)
		out.push_back(call);
	return out;
}

void CallManager::remove_call(const Call &call)
{
	std::lock_guard<std::mutex> hold(mutex_);
	calls_.erase(call.token());
}

// Written as they come, the messages would leave the last one without its
// line end until the next, and a journal records no line before its end:
// each message ends its line instead, and its leading break goes where
// the output stands at a line start already. The texts stay as they are.
void CallManager::broadcast(const std::string &text)
{
	if (text.empty())
		return;
	std::lock_guard<std::mutex> hold(output_mutex_);
	std::string_view line = text;
	if (at_line_start_ && line.front() == '\n')
		line.remove_prefix(1);
	std::string out(line);
	if (out.empty() || out.back() != '\n')
		out += '\n';
	fwrite(out.data(), 1, out.size(), stdout);
	fflush(stdout);
	at_line_start_ = true;
}

void CallManager::post(std::function<void()> work)
{
	{
		std::lock_guard<std::mutex> hold(work_mutex_);
		work_.push_back(std::move(work));
	}
	work_cv_.notify_one();
}

void CallManager::run_worker()
{
	std::unique_lock<std::mutex> hold(work_mutex_);
	for (;;) {
		work_cv_.wait(hold, [this] { return !work_.empty() || stopping_; });
		if (work_.empty()) {
			idle_cv_.notify_all();
			if (stopping_)
				return;
			continue;
		}
		auto work = std::move(work_.front());
		work_.pop_front();
		busy_ = true;
		hold.unlock();
		work();
		// Whatever the work held (a call's last reference, say) goes now,
		// outside the lock: its destructors may take an endpoint's lock.
		work = nullptr;
		hold.lock();
		busy_ = false;
		if (work_.empty())
			idle_cv_.notify_all();
	}
}

void CallManager::shutdown()
{
	if (!worker_.joinable())
		return;
	// New calls are refused from here on; the present ones are cleared and
	// the worker drains its queue before it ends.
	{
		std::lock_guard<std::mutex> hold(mutex_);
		closed_ = true;
	}
	for (auto &call : calls())
		call->clear(CallEndReason::Shutdown);
	{
		std::unique_lock<std::mutex> hold(work_mutex_);
		idle_cv_.wait(hold, [this] { return work_.empty() && !busy_; });
	}
	std::vector<Endpoint *> endpoints;
	{
		std::lock_guard<std::mutex> hold(mutex_);
		for (auto &[prefix, ep] : endpoints_)
			endpoints.push_back(ep.get());
	}
	for (Endpoint *ep : endpoints)
		ep->shutdown();
	{
		std::lock_guard<std::mutex> hold(work_mutex_);
		stopping_ = true;
	}
	work_cv_.notify_all();
	if (worker_.joinable())
		worker_.join();
}

bool CallManager::on_local_incoming_call(Connection &local)
{
	(void)local;
	return true;
}

void CallManager::on_cleared_call(Call &call)
{
	std::string detail = call.end_detail();
	broadcast("\nCall " + call.token() + " from " + call.party_a() + " to " + call.party_b() + " cleared: " +
		  to_string(call.end_reason()) + (detail.empty() ? "" : ": " + detail));
}

void CallManager::on_start_media_patch(Connection &connection, MediaPatch &patch)
{
	(void)connection;
	(void)patch;
}

void CallManager::on_stop_media_patch(Connection &connection, MediaPatch &patch)
{
	(void)connection;
	(void)patch;
}

void CallManager::adjust_media_formats(bool local, const Connection &connection, MediaFormatList &formats) const
{
	(void)local;
	(void)connection;
	(void)formats;
}

void CallManager::on_user_input_string(Connection &connection, const std::string &text)
{
	(void)connection;
	(void)text;
}

} // namespace callfw
