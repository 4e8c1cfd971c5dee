#include "sip_gate.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>

#include "libre.h"
#include "sdp.h"
#include "sip_endpoint.h"

namespace sipep {

namespace {

// How often what was only counted is said.
constexpr uint64_t kTickMs = 1000;
// How often the registrar's and the proxy's names are looked up again.
constexpr std::chrono::minutes kLookUpAgain{ 5 };

std::string source_of(const sip_msg *msg)
{
	char text[64] = "";
	(void)sa_ntop(&msg->src, text, sizeof(text));
	return text;
}

bool method_is(const sip_msg *msg, const char *method)
{
	return pl_strcmp(&msg->met, method) == 0;
}

} // namespace

std::string host_of_uri(const std::string &text)
{
	uri u;
	pl p;
	pl_set_str(&p, text.c_str());
	if (uri_decode(&u, &p))
		return "";
	return to_string(u.host);
}

SipGate::SipGate(const std::string &accept, const std::vector<std::string> &uris, std::string user, Say say)
	: user_(std::move(user)), say_(std::move(say)), tick_(std::make_unique<tmr>())
{
	tmr_init(tick_.get());
	if (!accept.empty()) {
		std::string refused = access_.add(accept);
		if (!refused.empty())
			say_("\nsip_accept: " + refused + ": no IPv4 address or network, left out");
	}
	for (const std::string &text : uris) {
		if (text.empty())
			continue;
		std::string host = host_of_uri(text);
		std::vector<in_addr> found = host.empty() ? std::vector<in_addr>() : host_ipv4_addresses(host);
		in_addr literal;
		if (!host.empty() && inet_pton(AF_INET, host.c_str(), &literal) != 1 &&
		    std::find(names_.begin(), names_.end(), host) == names_.end())
			names_.push_back(host);
		if (found.empty()) {
			// Nobody is let in for a name that cannot be looked up, but the
			// list is no longer open to anyone either.
			access_.limit();
			say_("\nSIP: cannot look up the host of " + text + ": calls from it are refused");
		}
		for (in_addr a : found)
			access_.add(a);
	}
}

SipGate::~SipGate()
{
	close();
}

int SipGate::open(struct sip *sip)
{
	sip_ = sip;
	if (access_.anyone())
		say_("\nSIP: any host may call the console (neither sip_accept nor sip_registrar is set)");
	else if (access_.describe() == "no address")
		say_("\nSIP: no host may call the console");
	else
		say_("\nSIP: calls are taken from " + access_.describe() + " only");
	tmr_start(tick_.get(), kTickMs, tick_handler, this);
	return sip_listen(&lsnr_, sip, true, request_handler, this);
}

void SipGate::close()
{
	tmr_cancel(tick_.get());
	lsnr_ = (sip_lsnr *)mem_deref(lsnr_);
	sip_ = nullptr;
}

bool SipGate::request_handler(const sip_msg *msg, void *arg)
{
	auto *self = (SipGate *)arg;
	try {
		return self->on_request(msg);
	} catch (const std::exception &e) {
		fprintf(stderr, "sip: %s\n", e.what());
		(void)sip_treply(nullptr, self->sip_, msg, 500, "Server Internal Error");
		return true;
	}
}

void SipGate::tick_handler(void *arg)
{
	auto *self = (SipGate *)arg;
	for (auto *report : { &self->calls_refused_, &self->requests_refused_ }) {
		std::string text = report->summary();
		if (!text.empty())
			self->say_(text);
	}
	auto now = std::chrono::steady_clock::now();
	if (self->lookup_ && now - self->looked_up_ >= kLookUpAgain) {
		self->looked_up_ = now;
		for (const std::string &name : self->names_)
			(void)self->lookup_(name);
	}
	tmr_start(self->tick_.get(), kTickMs, tick_handler, self);
}

// Only the transport's peer counts: the headers are the caller's to write.
bool SipGate::on_request(const sip_msg *msg)
{
	const bool call = method_is(msg, "INVITE") && !pl_isset(&msg->to.tag);
	const bool options = method_is(msg, "OPTIONS"), registration = method_is(msg, "REGISTER");
	if (!call && !options && !registration)
		return false; // a request of a dialog, or one libre's sessions answer
	const bool allowed = sa_af(&msg->src) == AF_INET ? access_.allows(msg->src.u.in.sin_addr) : access_.anyone();
	if (!allowed) {
		refuse(msg, call ? calls_refused_ : requests_refused_, call ? "call" : to_string(msg->met));
		return true;
	}
	if (options)
		answer_options(msg);
	else if (registration)
		(void)sip_treplyf(nullptr, nullptr, sip_, msg, false, 405, "Method Not Allowed", "%sContent-Length: 0\r\n\r\n",
				  kAllowHeader);
	return options || registration;
}

void SipGate::on_resolved(const std::string &name, std::optional<in_addr> address)
{
	if (!address || access_.allows(*address) ||
	    std::find(names_.begin(), names_.end(), name) == names_.end())
		return;
	access_.add(*address);
	char text[INET_ADDRSTRLEN];
	inet_ntop(AF_INET, &*address, text, sizeof(text));
	say_("\nSIP: " + name + " is at " + text + " now: calls from there are taken too");
}

void SipGate::refuse(const sip_msg *msg, callfw::RepeatedReport &report, const std::string &what)
{
	(void)sip_treply(nullptr, sip_, msg, 403, "Forbidden");
	if (report.occurred())
		say_("\nSIP " + what + " from " + source_of(msg) + " refused: address not in sip_accept");
}

void SipGate::answer_options(const sip_msg *msg)
{
	SdpLocal local;
	local.user = user_;
	char address[64] = "0.0.0.0";
	(void)sa_ntop(&msg->dst, address, sizeof(address));
	local.address = address;
	local.port = 0; // a description of what we take, no media
	std::string body = build_offer(local, SipEndpoint::formats(), kTelephoneEventPt);
	(void)sip_treplyf(nullptr, nullptr, sip_, msg, false, 200, "OK",
			  "%sAccept: application/sdp\r\nContent-Type: application/sdp\r\nContent-Length: %zu\r\n\r\n%s",
			  kAllowHeader, body.size(), body.c_str());
}

} // namespace sipep
