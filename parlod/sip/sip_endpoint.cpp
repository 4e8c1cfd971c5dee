#include "sip_endpoint.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <future>
#include <pthread.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <unistd.h>

#include "call.h"
#include "call_manager.h"
#include "libre.h"
#include "sip_connection.h"
#include "sip_registration.h"
#include "udp_errors.h"
// Only for dbg_init(): the module's own debug output is none.
#define DEBUG_MODULE "parlod-sip"
#define DEBUG_LEVEL 0
extern "C" {
#include <re_dbg.h>
}
#include "sip_gate.h"
#include "sip_transports.h"

namespace sipep {

std::atomic<SipEndpoint *> SipEndpoint::instance_{ nullptr };

// libre's timers, kept out of the header with the rest of libre.
struct SipEndpoint::Timers {
	tmr tick;
	tmr grace;
};

namespace {

// How long the peers get to answer our last BYEs and CANCELs when the
// endpoint ends.
constexpr uint64_t kShutdownGraceMs = 2000;

// The token of the gate's lookups: no connection has it (they count from 1).
constexpr uint64_t kGateLookup = 0;

// The settings as the endpoint uses them, what is wrong with them said.
SipSettings completed(callfw::CallManager &manager, const SipSettings &settings)
{
	std::string complaint;
	SipSettings s = complete_settings(settings, complaint);
	if (!complaint.empty())
		manager.broadcast(complaint);
	return s;
}

} // namespace

SipEndpoint::Enter::Enter(SipEndpoint &endpoint)
	: endpoint_(endpoint), foreign_(std::this_thread::get_id() != endpoint.loop_id_.load())
{
	if (foreign_)
		re_thread_enter();
}

SipEndpoint::Enter::~Enter()
{
	if (foreign_) {
		endpoint_.wake();
		re_thread_leave();
	}
}

SipEndpoint::SipEndpoint(callfw::CallManager &manager, const SipSettings &settings)
	: Endpoint(manager, "sip"), settings_(completed(manager, settings)), timers_(std::make_unique<Timers>())
{
	if (!settings_.registrar.empty())
		registration_ = std::make_unique<SipRegistration>(settings_, [this](const std::string &text) {
			this->manager().broadcast(text);
		});
	SipEndpoint *none = nullptr;
	if (!instance_.compare_exchange_strong(none, this))
		throw std::runtime_error("sip: only one SIP endpoint per process");
	tmr_init(&timers_->tick);
	tmr_init(&timers_->grace);

	std::promise<std::string> ready;
	std::future<std::string> result = ready.get_future();
	loop_ = std::thread([this, ready = std::move(ready)]() mutable {
		loop_id_ = std::this_thread::get_id();
		pthread_setname_np(pthread_self(), "parlod-sip");
		std::string error = setup();
		ready.set_value(error);
		if (error.empty())
			run();
		teardown();
	});
	std::string error = result.get();
	if (!error.empty()) {
		loop_.join();
		instance_ = nullptr;
		throw std::runtime_error("sip: " + error);
	}
}

SipEndpoint::~SipEndpoint()
{
	shutdown();
	instance_ = nullptr;
}

callfw::MediaFormatList SipEndpoint::formats()
{
	const SipEndpoint *endpoint = instance_.load();
	if (!endpoint || endpoint->settings_.codecs.empty())
		return callfw::transportable_formats();
	return endpoint->settings_.codecs;
}

std::string SipEndpoint::setup()
{
	int err = libre_init();
	if (err)
		return std::string("cannot start libre: ") + strerror(err);
	// libre's warnings go to standard error as plain lines: colour codes
	// would stray into the journal's next line.
	dbg_init(DBG_WARNING, DBG_NONE);

	// Names in SIP addresses need DNS; without a resolver, addresses
	// still work.
	{
		char domain[256] = "";
		sa servers[4];
		uint32_t count = 4;
		if (dns_srv_get(domain, sizeof(domain), servers, &count) == 0 && count)
			(void)dnsc_alloc(&dnsc_, nullptr, servers, count);
	}

	std::string error;
	if ((err = sip_alloc(&sip_, dnsc_, 32, 32, 32, settings_.user.c_str(), exit_handler, this)))
		error = std::string("cannot create the SIP stack: ") + strerror(err);
	// Before every other listener: it takes datagrams of its own.
	if (error.empty()) {
		udp_errors_ = std::make_unique<UdpErrors>([this](const std::string &call_id, int e) {
			for (auto &c : connections())
				c->refused_by_network(call_id, e);
		});
		if ((err = udp_errors_->open(sip_)))
			fprintf(stderr, "sip: calls to hosts that refuse them fail slowly: %s\n", strerror(err));
	}
	auto say = [this](const std::string &text) { manager().broadcast(text); };
	if (error.empty()) {
		transports_ = std::make_unique<SipTransports>(settings_, say);
		// Every UDP socket's errors, those of addresses gained later too.
		transports_->on_udp_added([this](const std::string &address, uint16_t port) {
			sa laddr;
			if (udp_errors_ && !sa_set_str(&laddr, address.c_str(), port))
				udp_errors_->watch(laddr);
		});
		error = transports_->open(sip_);
	}
	// Before the sessions: the gate sees every request first.
	if (error.empty()) {
		gate_ = std::make_unique<SipGate>(settings_.accept, std::vector<std::string>{ settings_.registrar, settings_.proxy },
						  settings_.user, say);
		for (const std::string &uri : { settings_.registrar, settings_.proxy })
			transports_->expect_tls_peer(host_of_uri(uri));
		gate_->look_up_with([this](const std::string &name) { return resolver_.lookup(kGateLookup, name); });
		if ((err = gate_->open(sip_)))
			error = std::string("cannot take requests: ") + strerror(err);
	}
	if (error.empty() && (err = sipsess_listen(&sock_, sip_, 32, invite_handler, this)))
		error = std::string("cannot listen for calls: ") + strerror(err);
	auto resolved = [this](uint64_t id, const std::string &name, std::optional<in_addr> address) {
		on_resolved(id, name, address);
	};
	if (error.empty() && (err = resolver_.open(resolved)))
		error = std::string("cannot look up host names: ") + strerror(err);
	if (error.empty()) {
		wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
		if (wake_fd_ < 0 || (err = fd_listen(wake_fd_, FD_READ, wake_handler, this)))
			error = "cannot watch the wake-up descriptor";
	}
	if (!error.empty())
		return error;
	up_ = true;
	if (settings_.rtp_timeout.count() > 0 || settings_.ring_timeout.count() > 0)
		tmr_start(&timers_->tick, 0, tick_handler, this);
	// A failure to start is said, and tried again, like any other.
	if (registration_)
		registration_->start(sip_);
	return "";
}

void SipEndpoint::run()
{
	int err = re_main(nullptr);
	if (err)
		fprintf(stderr, "sip: main loop ended: %s\n", strerror(err));
}

void SipEndpoint::teardown()
{
	// From here on the loop is gone; foreign threads that still enter see
	// up_ false and leave libre's objects alone.
	re_thread_enter();
	up_ = false;
	tmr_cancel(&timers_->tick);
	tmr_cancel(&timers_->grace);
	if (wake_fd_ >= 0) {
		fd_close(wake_fd_);
		close(wake_fd_);
		wake_fd_ = -1;
	}
	resolver_.close();
	for (auto &c : connections())
		c->abandon();
	sock_ = (sipsess_sock *)mem_deref(sock_);
	if (registration_)
		registration_->stop();
	if (udp_errors_)
		udp_errors_->close();
	gate_.reset();
	transports_.reset();
	if (sip_ && !stopping_) {
		// Set-up failed half-way: nothing was closed yet.
		sip_close(sip_, true);
		mem_deref(sip_);
	} else if (sip_ && exited_)
		mem_deref(sip_);
	// else: sessions that outlived the grace time still hold the stack;
	// it goes with the process.
	sip_ = nullptr;
	dnsc_ = (struct dnsc *)mem_deref(dnsc_);
	libre_close();
	re_thread_leave();
}

void SipEndpoint::shutdown()
{
	if (!loop_.joinable())
		return;
	if (std::this_thread::get_id() == loop_id_.load()) {
		fprintf(stderr, "sip: shutdown() on the libre thread\n");
		return;
	}
	{
		Enter enter(*this);
		if (up_ && !stopping_) {
			stopping_ = true;
			// The manager has released its calls; whatever is left ends
			// here.
			for (auto &c : connections())
				c->abandon();
			sipsess_close_all(sock_);
			sock_ = (sipsess_sock *)mem_deref(sock_);
			// The registrar hears that we go; the REGISTER that says so
			// holds the stack until it is answered, within the grace.
			if (registration_)
				registration_->stop();
			// Calls exit_handler() once no session holds the stack any
			// more, at once when none does.
			sip_close(sip_, false);
			if (!exited_)
				tmr_start(&timers_->grace, kShutdownGraceMs, grace_handler, this);
		}
	}
	loop_.join();
}

void SipEndpoint::wake()
{
	if (wake_fd_ < 0)
		return;
	uint64_t one = 1;
	(void)!write(wake_fd_, &one, sizeof(one));
}

void SipEndpoint::wake_handler(int, void *arg)
{
	auto *self = (SipEndpoint *)arg;
	uint64_t count;
	(void)!read(self->wake_fd_, &count, sizeof(count));
}

void SipEndpoint::exit_handler(void *arg)
{
	auto *self = (SipEndpoint *)arg;
	self->exited_ = true;
	re_cancel();
}

void SipEndpoint::grace_handler(void *arg)
{
	auto *self = (SipEndpoint *)arg;
	if (!self->exited_)
		sip_close(self->sip_, true);
	re_cancel();
}

void SipEndpoint::tick_handler(void *arg)
{
	auto *self = (SipEndpoint *)arg;
	try {
		self->on_tick();
	} catch (const std::exception &e) {
		fprintf(stderr, "sip: %s\n", e.what());
	}
	// Often enough that a timeout ends within a quarter of its length.
	const int64_t rtp_timeout = self->settings_.rtp_timeout.count();
	auto period = rtp_timeout > 0 ? std::max<int64_t>(50, std::min<int64_t>(1000, rtp_timeout / 4)) : 1000;
	tmr_start(&self->timers_->tick, (uint64_t)period, tick_handler, self);
}

void SipEndpoint::on_tick()
{
	auto now = std::chrono::steady_clock::now();
	for (auto &c : connections()) {
		c->check_media(now);
		c->check_ringing(now);
	}
}

// A connection that is gone by now needed the answer no more.
void SipEndpoint::on_resolved(uint64_t id, const std::string &name, std::optional<in_addr> address)
{
	if (id == kGateLookup) {
		if (gate_)
			gate_->on_resolved(name, address);
		return;
	}
	if (auto c = find(id))
		c->on_resolved(name, address);
}

uint64_t SipEndpoint::add(const std::shared_ptr<SipConnection> &connection)
{
	std::lock_guard<std::mutex> hold(mutex_);
	uint64_t id = next_id_++;
	connections_[id] = connection;
	return id;
}

void SipEndpoint::remove(uint64_t id)
{
	std::lock_guard<std::mutex> hold(mutex_);
	connections_.erase(id);
}

std::shared_ptr<SipConnection> SipEndpoint::find(uint64_t id)
{
	std::lock_guard<std::mutex> hold(mutex_);
	auto it = connections_.find(id);
	return it == connections_.end() ? nullptr : it->second.lock();
}

std::vector<std::shared_ptr<SipConnection>> SipEndpoint::connections()
{
	std::vector<std::shared_ptr<SipConnection>> out;
	std::lock_guard<std::mutex> hold(mutex_);
	for (auto &[id, weak] : connections_)
		if (auto c = weak.lock())
			out.push_back(c);
	return out;
}

const std::vector<std::string> &SipEndpoint::addresses() const
{
	static const std::vector<std::string> none;
	return transports_ ? transports_->addresses() : none;
}

std::string SipEndpoint::registration_status() const
{
	if (!registration_)
		return "No registrar: calls go straight to the hosts they name";
	return registration_->status();
}

std::string SipEndpoint::local_address_for(const std::string &host) const
{
	const std::vector<std::string> &served = addresses();
	if (served.empty())
		return "0.0.0.0"; // every address went: the request fails, as it must
	in_addr ip;
	if (inet_pton(AF_INET, host.c_str(), &ip) == 1) {
		// The kernel's choice of source for that destination; connecting a
		// datagram socket sends nothing.
		int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
		if (fd >= 0) {
			sockaddr_in to{}, me{};
			to.sin_family = AF_INET;
			to.sin_addr = ip;
			to.sin_port = htons(9);
			socklen_t len = sizeof(me);
			std::string found;
			if (connect(fd, (const sockaddr *)&to, sizeof(to)) == 0 &&
			    getsockname(fd, (sockaddr *)&me, &len) == 0) {
				char text[INET_ADDRSTRLEN];
				inet_ntop(AF_INET, &me.sin_addr, text, sizeof(text));
				found = text;
			}
			close(fd);
			// Only an address we listen on takes the peer's answers.
			for (const std::string &a : served)
				if (a == found)
					return found;
		}
	}
	return served.front();
}

callfw::ConnectionPtr SipEndpoint::make_connection(callfw::Call &call, const std::string &party)
{
	const std::string uri_text = "sip:" + party;
	{
		Enter enter(*this);
		if (!up_ || stopping_)
			return nullptr;
		uri uri;
		pl text;
		pl_set_str(&text, uri_text.c_str());
		if (uri_decode(&uri, &text) || !pl_isset(&uri.host))
			return nullptr;
		pl transport;
		if (!msg_param_decode(&uri.params, "transport", &transport)) {
			if (!pl_strcasecmp(&transport, "tls"))
				transports_->expect_tls_peer(to_string(uri.host));
			else if (pl_strcasecmp(&transport, "udp") && pl_strcasecmp(&transport, "tcp"))
				return nullptr;
		}
	}
	auto connection = std::make_shared<SipConnection>(call, *this, uri_text, SipConnection::Direction::Outgoing);
	connection->id_ = add(connection);
	return connection;
}

void SipEndpoint::invite_handler(const sip_msg *msg, void *arg)
{
	auto *self = (SipEndpoint *)arg;
	try {
		self->on_invite(msg);
	} catch (const std::exception &e) {
		fprintf(stderr, "sip: %s\n", e.what());
		(void)sip_treply(nullptr, self->sip_, msg, 500, "Server Internal Error");
	}
}

// A new call. The manager routes it; the local side answers through
// accept() or refuses through release().
void SipEndpoint::on_invite(const sip_msg *msg)
{
	if (stopping_) {
		(void)sip_treply(nullptr, sip_, msg, 503, "Service Unavailable");
		return;
	}
	// libre needs these to make a dialog; without them the INVITE would
	// get as far as the manager and then fail.
	const sip_hdr *contact = sip_msg_hdr(msg, SIP_HDR_CONTACT);
	sip_addr contact_addr;
	if (!contact || sip_addr_decode(&contact_addr, &contact->val) || !pl_isset(&msg->callid)) {
		(void)sip_treply(nullptr, sip_, msg, 400, "Bad Request");
		return;
	}
	std::string user = to_string(msg->from.uri.user), host = to_string(msg->from.uri.host);
	std::string party_a = "sip:" + (user.empty() ? host : user + "@" + host);
	std::string party_b = to_string(msg->uri.user);
	if (party_b.empty())
		party_b = settings_.user;
	// A call turned down before it is one leaves its line all the same.
	auto refuse = [&](uint16_t code, const char *phrase, const std::string &why) {
		(void)sip_treply(nullptr, sip_, msg, code, phrase);
		manager().broadcast("\nCall from " + party_a + " to " + party_b + " refused: " + std::to_string(code) +
				    " " + phrase + (why.empty() ? "" : " (" + why + ")"));
	};

	std::optional<SdpSession> offer;
	if (mbuf_get_left(msg->mb)) {
		if (!msg_ctype_cmp(&msg->ctyp, "application", "sdp")) {
			refuse(415, "Unsupported Media Type", "no session description");
			return;
		}
		offer = parse_sdp(std::string_view((const char *)mbuf_buf(msg->mb), mbuf_get_left(msg->mb)));
		if (!offer) {
			refuse(488, "Not Acceptable Here", "its session description is unreadable");
			return;
		}
	}

	std::shared_ptr<SipConnection> made;
	uint16_t refusal = 480;
	callfw::CallPtr call = manager().incoming_call(party_a, party_b, [&](callfw::Call &c) -> callfw::ConnectionPtr {
		made = std::make_shared<SipConnection>(c, *this, party_a, SipConnection::Direction::Incoming);
		made->id_ = add(made);
		if (made->take_invite(msg, offer, refusal))
			return made;
		return nullptr;
	});
	if (!call) {
		// No route, no common codec, or the console is closing: the call
		// never existed, so nothing else is left to clear.
		std::string why = made ? made->refusal_why_ : "nowhere to take it";
		if (made) {
			made->abandon();
			remove(made->id_);
		}
		const char *reason = refusal == 488   ? "Not Acceptable Here"
				     : refusal == 500 ? "Server Internal Error"
						      : "Temporarily Unavailable";
		refuse(refusal, reason, why);
		return;
	}
	if (made)
		made->ring(msg);
}

} // namespace sipep
