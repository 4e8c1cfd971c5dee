#include "sip_registration.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "fileio.h"
#include "libre.h"
#include "sip_endpoint.h"

namespace sipep {

namespace {

// The one registration of the process (libre has one SIP stack per
// process): libre's handlers find it through this, so that one that comes
// after stop() finds nothing.
SipRegistration *live = nullptr; // on the libre thread only

struct ParsedUri {
	std::string host;
	bool ok = false;
};

ParsedUri parse_sip_uri(const std::string &text)
{
	ParsedUri out;
	uri u;
	pl p;
	pl_set_str(&p, text.c_str());
	if (uri_decode(&u, &p) || pl_strcasecmp(&u.scheme, "sip") || !pl_isset(&u.host) || pl_isset(&u.user))
		return out;
	pl transport;
	if (!msg_param_decode(&u.params, "transport", &transport) && pl_strcasecmp(&transport, "udp") &&
	    pl_strcasecmp(&transport, "tcp") && pl_strcasecmp(&transport, "tls"))
		return out;
	out.host = to_string(u.host);
	out.ok = true;
	return out;
}

} // namespace

SipSettings complete_settings(const SipSettings &settings, std::string &complaint)
{
	SipSettings s = settings;
	if (s.aor_user.empty())
		s.aor_user = s.user;
	if (!s.registrar.empty()) {
		ParsedUri r = parse_sip_uri(s.registrar);
		if (!r.ok) {
			complaint += "\nNo registration: sip_registrar \"" + s.registrar +
				     "\" is no address sip:host[:port][;transport=udp|tcp|tls]";
			s.registrar.clear();
		} else {
			if (s.domain.empty())
				s.domain = r.host;
			if (s.proxy.empty())
				s.proxy = s.registrar;
		}
	}
	if (!s.proxy.empty() && !parse_sip_uri(s.proxy).ok) {
		complaint += "\nNo outbound proxy: sip_proxy \"" + s.proxy +
			     "\" is no address sip:host[:port][;transport=udp|tcp|tls]";
		s.proxy.clear();
	}
	return s;
}

std::optional<std::string> read_password(const char *path, const char *shown_path, std::string &complaint)
{
	int err = file_private(path);
	if (err == -ENOENT)
		return std::nullopt;
	if (err == -EPERM) {
		complaint += std::string("\nNot using ") + shown_path +
			     ": group or others may read it (chmod 600 it); challenged requests will fail";
		return std::nullopt;
	}
	char *line = err ? nullptr : file_reads(path);
	if (!line) {
		complaint += std::string("\nCannot read ") + shown_path +
			     (err ? std::string(": ") + strerror(-err) : std::string(""));
		return std::nullopt;
	}
	std::string password = line;
	free(line);
	while (!password.empty() && (password.back() == '\n' || password.back() == '\r'))
		password.pop_back();
	if (password.empty()) {
		complaint += std::string("\nNot using ") + shown_path + ": it holds no password";
		return std::nullopt;
	}
	return password;
}

int answer_challenge(char **user, char **password, const char *realm, void *arg)
{
	(void)realm; // one account: whoever asks gets its credentials
	const auto *settings = (const SipSettings *)arg;
	if (!settings->password)
		return EAUTH;
	int err = str_dup(user, settings->aor_user.c_str());
	if (!err)
		err = str_dup(password, settings->password->c_str());
	return err;
}

SipRegistration::SipRegistration(const SipSettings &settings, std::function<void(const std::string &)> report)
	: settings_(settings), report_(std::move(report)), aor_("sip:" + settings.aor_user + "@" + settings.domain),
	  retry_(std::make_unique<tmr>())
{
	tmr_init(retry_.get());
}

SipRegistration::~SipRegistration()
{
	// stop() came first, on the libre thread; a registration that never
	// started has nothing of libre's.
	if (live == this)
		live = nullptr;
}

void SipRegistration::start(struct sip *sip)
{
	sip_ = sip;
	live = this;
	attempt();
}

void SipRegistration::attempt()
{
	// A proxy of its own goes in front of the registrar.
	const char *route[] = { settings_.proxy.c_str() };
	uint32_t routes = settings_.proxy != settings_.registrar ? 1 : 0;
	int err = sipreg_register(&reg_, sip_, settings_.registrar.c_str(), aor_.c_str(), nullptr, aor_.c_str(),
				  settings_.expires, settings_.aor_user.c_str(), routes ? route : nullptr, routes, 0,
				  answer_challenge, (void *)&settings_, false, response_handler, this, nullptr, nullptr);
	if (!err)
		return;
	// libre keeps nothing of a REGISTER it could not send, and so tries
	// nothing again: at boot the route or the address may come later.
	reg_ = nullptr;
	set(State::Failed, strerror(err));
	uint64_t wait_ms = 5000ull << std::min(attempts_++, 6u);
	tmr_start(retry_.get(), std::min<uint64_t>(wait_ms, 300000), retry_handler, this);
}

void SipRegistration::retry_handler(void *arg)
{
	if (live && live == arg)
		live->attempt();
}

void SipRegistration::stop()
{
	live = nullptr;
	tmr_cancel(retry_.get());
	reg_ = (struct sipreg *)mem_deref(reg_);
}

void SipRegistration::response_handler(int err, const sip_msg *msg, void *arg)
{
	if (live && live == arg)
		live->on_response(err, msg);
}

void SipRegistration::on_response(int err, const sip_msg *msg)
{
	if (!err && msg && msg->scode >= 200 && msg->scode < 300)
		set(State::Registered, "");
	else if (err)
		set(State::Failed, strerror(err));
	else if (msg)
		set(State::Failed, std::to_string(msg->scode) + " " + to_string(msg->reason));
}

void SipRegistration::set(State state, const std::string &why)
{
	{
		std::lock_guard<std::mutex> hold(mutex_);
		if (reported_ && state == state_ && why == why_)
			return;
		reported_ = true;
		state_ = state;
		why_ = why;
	}
	if (state == State::Registered)
		report_("\nRegistered at " + settings_.registrar);
	else
		report_("\nRegistration at " + settings_.registrar + " failed: " + why);
}

std::string SipRegistration::status() const
{
	std::lock_guard<std::mutex> hold(mutex_);
	switch (state_) {
	case State::Registered:
		return "Registered at " + settings_.registrar + " as " + aor_;
	case State::Failed:
		return "Registration at " + settings_.registrar + " as " + aor_ + " failed: " + why_ +
		       " (trying again)";
	default:
		return "Registering at " + settings_.registrar + " as " + aor_;
	}
}

} // namespace sipep
