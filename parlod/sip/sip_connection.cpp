#include "sip_connection.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <random>

#include "call.h"
#include "call_manager.h"
#include "libre.h"
#include "sip_endpoint.h"
#include "sip_registration.h"
#include "sip_gate.h"
#include "user_input.h"
#include "util.h"

namespace sipep {

namespace {

const char *const kAllow = kAllowHeader;
const char kSdpType[] = "application/sdp";

// The status that turns down an incoming call for a reason.
std::pair<uint16_t, const char *> refusal_for(callfw::CallEndReason reason)
{
	switch (reason) {
	case callfw::CallEndReason::Busy:
		return { 486, "Busy Here" };
	case callfw::CallEndReason::Refused:
	case callfw::CallEndReason::LocalUser:
		return { 603, "Decline" };
	case callfw::CallEndReason::MediaFailed:
		return { 488, "Not Acceptable Here" };
	case callfw::CallEndReason::Shutdown:
		return { 503, "Service Unavailable" };
	default:
		return { 480, "Temporarily Unavailable" };
	}
}

// Why libre ended a session: err and the final response that came with
// it, if any (a 2xx comes with our own complaint about its answer); rang:
// the far end said it was ringing.
callfw::CallEndReason reason_for(int err, uint16_t scode, bool established, bool rang)
{
	if (scode >= 300) {
		switch (scode) {
		case 486:
		case 600:
			return callfw::CallEndReason::Busy;
		case 408:
		case 480:
		case 487:
			return rang ? callfw::CallEndReason::NoAnswer : callfw::CallEndReason::Unreachable;
		case 401:
		case 403:
		case 407:
		case 603:
		case 415: // these three with the far end's words: see on_closed()
		case 488:
		case 606:
			return callfw::CallEndReason::Refused;
		default:
			return callfw::CallEndReason::Unreachable;
		}
	}
	if (err == EPROTO)
		return callfw::CallEndReason::MediaFailed; // the answer had nothing for us
	if (err == ECONNRESET || established)
		return callfw::CallEndReason::RemoteUser; // BYE, or the caller's CANCEL
	if (rang)
		return callfw::CallEndReason::NoAnswer; // it rang until the transaction gave up
	return callfw::CallEndReason::Unreachable;   // no response, no connection
}

// Where the peer's media goes: its address and the port of its m= line.
sockaddr_in media_address(in_addr address, uint16_t port)
{
	sockaddr_in a{};
	a.sin_family = AF_INET;
	a.sin_port = htons(port);
	a.sin_addr = address;
	return a;
}

std::string_view body_of(const sip_msg *msg)
{
	return std::string_view((const char *)mbuf_buf(msg->mb), mbuf_get_left(msg->mb));
}

} // namespace

// libre calls these with the connection's id; a connection that is gone by
// then has nothing more to say.
struct SipConnection::Handlers {
	template <typename F> static void guarded(const char *what, F &&f)
	{
		try {
			f();
		} catch (const std::exception &e) {
			fprintf(stderr, "sip: %s: %s\n", what, e.what());
		}
	}

	static int offer(mbuf **descp, const sip_msg *msg, void *arg)
	{
		int err = EINVAL;
		if (auto c = from(arg))
			guarded("offer", [&] { err = c->on_offer(descp, msg); });
		return err;
	}

	static int answer(const sip_msg *msg, void *arg)
	{
		int err = 0;
		if (auto c = from(arg))
			guarded("answer", [&] { err = c->on_answer(msg); });
		return err;
	}

	static void progress(const sip_msg *msg, void *arg)
	{
		if (auto c = from(arg))
			guarded("progress", [&] { c->on_progress(msg); });
	}

	static void established(const sip_msg *msg, void *arg)
	{
		if (auto c = from(arg))
			guarded("established", [&] { c->on_established(msg); });
	}

	static void info(struct sip *sip, const sip_msg *msg, void *arg)
	{
		auto c = from(arg);
		if (!c) {
			(void)sip_reply(sip, msg, 481, "Call Does Not Exist");
			return;
		}
		guarded("info", [&] { c->on_info(msg); });
	}

	static void closed(int err, const sip_msg *msg, void *arg)
	{
		if (auto c = from(arg))
			guarded("close", [&] { c->on_closed(err, msg); });
	}

	static void rtp(int, void *arg)
	{
		if (auto c = from(arg))
			guarded("rtp", [&] { c->on_rtp(); });
	}
};

SipConnection::SipConnection(callfw::Call &call, SipEndpoint &endpoint, std::string party, Direction direction)
	: Connection(call, endpoint, std::move(party)), sip_(endpoint), direction_(direction)
{
	std::random_device rd;
	local_.user = endpoint.settings().user;
	local_.session_id = rd();
	local_.srtp = endpoint.settings().srtp;
	if (local_.srtp != SrtpMode::Off) {
		if (auto key = make_srtp_material())
			local_.srtp_key = std::move(*key);
		else
			fprintf(stderr, "sip: no key for SRTP: %s\n", strerror(errno));
		// Without a key, "optional" is plain RTP; "mandatory" refuses.
		if (local_.srtp_key.empty() && local_.srtp == SrtpMode::Optional)
			local_.srtp = SrtpMode::Off;
	}
}

SipConnection::~SipConnection()
{
	// Normally release() has cleaned up, and libre's lock is not needed:
	// the last reference may well go while the manager holds a lock of
	// its own (a finished work item that held the call).
	if (!cleaned_) {
		SipEndpoint::Enter enter(sip_);
		if (sip_.up_) {
			sess_ = (sipsess *)mem_deref(sess_);
			close_rtp();
		}
	}
	sip_.remove(id_);
}

void *SipConnection::arg() const
{
	return (void *)(uintptr_t)id_;
}

std::shared_ptr<SipConnection> SipConnection::from(void *arg)
{
	SipEndpoint *endpoint = SipEndpoint::instance_.load();
	return endpoint ? endpoint->find((uint64_t)(uintptr_t)arg) : nullptr;
}

callfw::MediaFormatList SipConnection::local_formats() const
{
	callfw::MediaFormatList list = SipEndpoint::formats();
	endpoint().manager().adjust_media_formats(true, *this, list);
	// Only what RTP can carry under a name of its own.
	std::erase_if(list, [](const callfw::MediaFormat &f) {
		return !f.transportable || f.encoding.empty() || f.payload_type < 0 || f.payload_type > 127;
	});
	return list;
}

callfw::MediaFormatList SipConnection::media_formats() const
{
	{
		std::lock_guard<std::mutex> hold(mutex_);
		if (negotiated_)
			return negotiated_->formats;
	}
	// Not adjusted: the manager's hook reads this for the other leg, and
	// two legs adjusting against each other would never end.
	return SipEndpoint::formats();
}

bool SipConnection::set_audio_volume(bool, unsigned)
{
	return false; // the far end's volume is the far end's
}

callfw::MediaStreamPtr SipConnection::open_media_stream(const callfw::MediaFormat &format, bool source)
{
	std::lock_guard<std::mutex> hold(mutex_);
	if (!negotiated_ || !rtp_)
		return nullptr;
	const callfw::MediaFormat *f = callfw::find_format(negotiated_->formats, format.name);
	return f ? rtp_->open_stream(*this, *f, source) : nullptr;
}

bool SipConnection::open_rtp(const std::string &local_address)
{
	const SipSettings &s = sip_.settings();
	in_addr bind_address{};
	bind_address.s_addr = htonl(INADDR_ANY);
	if (!s.listen_address.empty())
		inet_pton(AF_INET, s.listen_address.c_str(), &bind_address);
	auto rtp = RtpSession::open(bind_address, s.rtp_port_min, s.rtp_port_max);
	if (!rtp) {
		fprintf(stderr, "sip: no RTP port: %s\n", strerror(errno));
		return false;
	}
	if (int err = fd_listen(rtp->fd(), FD_READ, Handlers::rtp, arg())) {
		fprintf(stderr, "sip: cannot watch the RTP socket: %s\n", strerror(err));
		return false;
	}
	rtp_listening_ = true;
	local_.address = local_address;
	local_.port = rtp->port();
	std::lock_guard<std::mutex> hold(mutex_);
	rtp_ = rtp;
	return true;
}

std::shared_ptr<RtpSession> SipConnection::current_rtp() const
{
	std::lock_guard<std::mutex> hold(mutex_);
	return rtp_;
}

void SipConnection::close_rtp()
{
	std::shared_ptr<RtpSession> rtp = current_rtp();
	if (!rtp)
		return;
	if (rtp_listening_) {
		fd_close(rtp->fd());
		rtp_listening_ = false;
	}
	rtp->close();
	if (uint64_t failed = rtp->srtp_failures())
		fprintf(stderr, "sip: %llu packets from %s failed the SRTP check and were dropped\n",
			(unsigned long long)failed, party().c_str());
}

void SipConnection::apply(const Negotiated &n)
{
	// The address also tells whose packets to take, so it counts even
	// when the peer takes nothing from us (it holds the call). One not
	// known yet stays unspecified: the source latch finds the peer.
	sockaddr_in peer = media_address(peer_address(n.remote_address), n.remote_port);
	std::vector<int> event_pts;
	if (n.telephone_event_pt >= 0) {
		event_pts.push_back(n.telephone_event_pt);
		// Events come as our offer declared them, whatever the answer says.
		if (direction_ == Direction::Outgoing && n.telephone_event_pt != kTelephoneEventPt)
			event_pts.push_back(kTelephoneEventPt);
	}
	// SRTP each way with the key of the sender: ours, the peer's.
	std::optional<SrtpKey> send, receive;
	if (n.crypto) {
		send = SrtpKey{ n.crypto->suite, local_.srtp_key };
		receive = n.remote_key;
		srtp_suite_ = n.crypto->suite;
	}
	std::lock_guard<std::mutex> hold(mutex_);
	// Where SRTP may or may not be, the journal tells which it is.
	if (local_.srtp != SrtpMode::Off && (!negotiated_ || !negotiated_->crypto != !n.crypto))
		fprintf(stderr, "sip: media with %s %s\n", party().c_str(),
			n.crypto ? ("protected by SRTP, " + n.crypto->suite).c_str() : "in plain RTP");
	negotiated_ = n;
	if (rtp_) {
		if (!rtp_->set_srtp(send, receive))
			fprintf(stderr, "sip: cannot use the SRTP keys: %s; no media\n", strerror(errno));
		rtp_->set_peer(peer, n.peer_receives(), event_pts, n.formats);
		// A peer back from hold gets the full time again.
		if (state_ == State::Established)
			rtp_->start_timeout_clock();
	}
}

in_addr SipConnection::peer_address(const std::string &host)
{
	in_addr address;
	if (inet_pton(AF_INET, host.c_str(), &address) == 1)
		return address;
	if (host != host_) {
		// A renewed description that names the same host keeps what its
		// lookup found; a new name is looked up afresh, and one that could
		// not be looked up now is tried again with the next description.
		host_address_.reset();
		host_.clear();
		if (sip_.resolver_.lookup(id_, host))
			host_ = host;
		else
			fprintf(stderr, "sip: cannot look up %s now; the media goes where the peer's comes from\n",
				host.c_str());
	}
	if (host_address_)
		return *host_address_;
	address.s_addr = htonl(INADDR_ANY);
	return address;
}

void SipConnection::on_resolved(const std::string &name, std::optional<in_addr> address)
{
	if (state_ == State::Closed || name != host_)
		return; // a later description named another host
	if (!address) {
		fprintf(stderr, "sip: %s has no IPv4 address; the media goes where the peer's comes from\n",
			name.c_str());
		return;
	}
	host_address_ = address;
	std::lock_guard<std::mutex> hold(mutex_);
	if (!rtp_ || !negotiated_ || negotiated_->remote_address != name)
		return;
	rtp_->set_peer_address(media_address(*address, negotiated_->remote_port));
}

mbuf *SipConnection::description(const std::string &text)
{
	mbuf *mb = mbuf_alloc(text.size() + 1);
	if (!mb)
		return nullptr;
	(void)mbuf_write_str(mb, text.c_str());
	mb->pos = 0;
	return mb;
}

void SipConnection::keepalive(const sip_msg *msg)
{
	// A TCP connection to a peer that vanished stays open for ever unless
	// it is probed; datagrams leave nothing behind.
	if (!msg || msg->tp != SIP_TRANSP_TCP)
		return;
	tcp_conn *tc = sip_msg_tcpconn(msg);
	int fd = tc ? tcp_conn_fd(tc) : -1;
	if (fd < 0 || !keepalive_done_.insert({ tc, fd }).second)
		return;
	if (socket_keepalive_enable(fd) < 0)
		endpoint().manager().broadcast("\nERROR: Failed to configure SO_KEEPALIVE for signalling socket");
}

void SipConnection::report(callfw::CallEndReason reason, std::string detail)
{
	if (reported_)
		return;
	reported_ = true;
	released(reason, std::move(detail));
}

bool SipConnection::take_invite(const sip_msg *msg, const std::optional<SdpSession> &offer, uint16_t &refusal)
{
	offered_ = local_formats();
	if (offered_.empty()) {
		refusal = 488; // nothing left to offer or accept
		refusal_why_ = "no codec to offer";
		return false;
	}
	std::optional<Negotiated> n;
	if (offer) {
		n = negotiate_offer(*offer, offered_, nullptr, local_.srtp);
		if (n && n->crypto && local_.srtp_key.empty())
			n.reset(); // we have no key to answer with
		if (!n) {
			refusal = 488;
			refusal_why_ = srtp_refusal(*offer, offered_, local_.srtp);
			if (refusal_why_.empty())
				refusal_why_ = "no audio in its offer that the console takes";
			return false;
		}
		offer_ = offer;
	}
	char address[64] = "";
	if (sa_ntop(&msg->dst, address, sizeof(address)) || !open_rtp(address)) {
		refusal = 500;
		refusal_why_ = "no RTP port";
		return false;
	}
	if (n)
		apply(*n);
	return true;
}

void SipConnection::ring(const sip_msg *msg)
{
	keepalive(msg);
	const SipSettings &s = sip_.settings();
	int err = sipsess_accept(&sess_, sip_.sock_, msg, 180, "Ringing", s.aor_user.c_str(), kSdpType, nullptr,
				 answer_challenge, (void *)&s, false, Handlers::offer, Handlers::answer,
				 Handlers::established, Handlers::info, nullptr, Handlers::closed, arg(), kAllow);
	if (err) {
		fprintf(stderr, "sip: cannot take the call: %s\n", strerror(err));
		(void)sip_treply(nullptr, sip_.sip_, msg, 500, "Server Internal Error");
		state_ = State::Closed;
		report(callfw::CallEndReason::Unreachable);
		return;
	}
	state_ = State::Offered;
}

void SipConnection::start()
{
	SipEndpoint::Enter enter(sip_);
	if (state_ != State::Idle)
		return;
	state_ = State::Closed;
	if (!sip_.up_ || sip_.stopping_) {
		report(callfw::CallEndReason::Unreachable);
		return;
	}
	uri target;
	pl text;
	pl_set_str(&text, party().c_str());
	if (uri_decode(&target, &text)) {
		report(callfw::CallEndReason::Unreachable);
		return;
	}
	// Through the proxy when there is one: our address is the one that
	// reaches it.
	const SipSettings &s = sip_.settings();
	const char *route[] = { s.proxy.c_str() };
	const uint32_t routes = s.proxy.empty() ? 0 : 1;
	uri first_hop = target;
	if (routes) {
		pl_set_str(&text, s.proxy.c_str());
		if (uri_decode(&first_hop, &text)) {
			report(callfw::CallEndReason::Unreachable);
			return;
		}
	}
	std::string local_address = sip_.local_address_for(to_string(first_hop.host));
	offered_ = local_formats();
	if (offered_.empty() || !open_rtp(local_address)) {
		report(callfw::CallEndReason::MediaFailed);
		return;
	}
	local_.version++;
	mbuf *desc = description(build_offer(local_, offered_, kTelephoneEventPt));
	offered_ours_ = true;
	// With a domain (registered, or told) we are its user wherever the
	// call goes; without one, this host's.
	std::string from_uri = "sip:" + s.aor_user + "@" + (s.domain.empty() ? local_address : s.domain);
	int err = sipsess_connect(&sess_, sip_.sock_, party().c_str(), nullptr, from_uri.c_str(), s.aor_user.c_str(),
				  routes ? route : nullptr, routes, kSdpType, desc, answer_challenge, (void *)&s, false,
				  Handlers::offer, Handlers::answer, Handlers::progress, Handlers::established,
				  Handlers::info, nullptr, Handlers::closed, arg(), kAllow);
	mem_deref(desc);
	if (err) {
		fprintf(stderr, "sip: cannot call %s: %s\n", party().c_str(), strerror(err));
		sess_ = nullptr;
		close_rtp();
		report(callfw::CallEndReason::Unreachable);
		return;
	}
	state_ = State::Calling;
	if (s.ring_timeout.count() > 0)
		ring_deadline_ = std::chrono::steady_clock::now() + s.ring_timeout;
}

void SipConnection::accept()
{
	SipEndpoint::Enter enter(sip_);
	if (!sip_.up_ || state_ != State::Offered || !sess_)
		return;
	local_.version++;
	std::string text;
	{
		std::lock_guard<std::mutex> hold(mutex_);
		if (offer_ && negotiated_)
			text = build_answer(local_, *offer_, *negotiated_);
	}
	if (text.empty()) {
		// The INVITE had no offer: ours goes in the 200, the answer
		// comes with the ACK.
		text = build_offer(local_, offered_, kTelephoneEventPt);
		offered_ours_ = true;
	}
	mbuf *desc = description(text);
	int err = sipsess_answer(sess_, 200, "OK", desc, kAllow);
	mem_deref(desc);
	if (err) {
		fprintf(stderr, "sip: cannot answer: %s\n", strerror(err));
		report(callfw::CallEndReason::Unreachable);
		return;
	}
	state_ = State::Answering;
}

void SipConnection::release(callfw::CallEndReason reason)
{
	SipEndpoint::Enter enter(sip_);
	reported_ = true; // the call knows
	if (sip_.up_) {
		if (sess_ && state_ == State::Offered) {
			auto [code, phrase] = refusal_for(reason);
			(void)sipsess_reject(sess_, code, phrase, nullptr);
		}
		// libre sends the BYE, or the CANCEL, and sees the transaction
		// through on its own.
		sess_ = (sipsess *)mem_deref(sess_);
		close_rtp();
	}
	state_ = State::Closed;
	cleaned_ = true;
	sip_.remove(id_);
}

void SipConnection::abandon()
{
	if (sess_ && state_ == State::Offered)
		(void)sipsess_reject(sess_, 503, "Service Unavailable", nullptr);
	sess_ = (sipsess *)mem_deref(sess_);
	close_rtp();
	state_ = State::Closed;
	cleaned_ = true;
}

int SipConnection::on_offer(mbuf **descp, const sip_msg *msg)
{
	keepalive(msg);
	callfw::MediaFormatList local = local_formats();
	std::optional<callfw::MediaFormat> current;
	{
		std::lock_guard<std::mutex> hold(mutex_);
		if (negotiated_)
			current = negotiated_->formats.front();
	}
	// The codec in use stays acceptable even where the manager's pruning
	// leaves it out (the other leg has other codecs: the patch transcodes).
	if (current && !callfw::find_format(local, current->name))
		if (const callfw::MediaFormat *f = callfw::find_encoding(current->encoding))
			local.push_back(*f);
	if (!mbuf_get_left(msg->mb)) {
		// A re-INVITE without an offer asks for ours.
		offered_ = local;
		local_.version++;
		*descp = description(build_offer(local_, offered_, kTelephoneEventPt));
		offered_ours_ = true;
		return *descp ? 0 : ENOMEM;
	}
	auto offer = parse_sdp(body_of(msg));
	if (!offer)
		return EBADMSG;
	// A renewed offer keeps the codec in use first when it has it; one
	// that drops it changes what goes on the wire, and the RTP streams
	// recode.
	auto n = negotiate_offer(*offer, local, current ? &*current : nullptr, local_.srtp);
	if (n && n->crypto && local_.srtp_key.empty())
		n.reset();
	if (!n)
		return EPROTO;
	// Our key has protected media of one suite: under another it would
	// start its packet count over, and repeat a key stream. A new suite
	// gets a new key.
	if (n->crypto && !srtp_suite_.empty() && n->crypto->suite != srtp_suite_) {
		if (auto key = make_srtp_material())
			local_.srtp_key = std::move(*key);
		else
			return EPROTO;
	}
	offer_ = offer;
	apply(*n);
	local_.version++;
	*descp = description(build_answer(local_, *offer_, *n));
	return *descp ? 0 : ENOMEM;
}

int SipConnection::on_answer(const sip_msg *msg)
{
	keepalive(msg);
	if (!offered_ours_)
		return 0;
	offered_ours_ = false;
	auto answer = parse_sdp(body_of(msg));
	auto n = answer ? negotiate_answer(*answer, offered_, kTelephoneEventPt, local_.srtp) : std::nullopt;
	if (!n) {
		if (answer && local_.srtp == SrtpMode::Mandatory &&
		    negotiate_answer(*answer, offered_, kTelephoneEventPt, SrtpMode::Optional))
			media_why_ = "the answer has no SRTP key, and sip_srtp is mandatory";
		return EPROTO;
	}
	apply(*n);
	return 0;
}

void SipConnection::on_progress(const sip_msg *msg)
{
	keepalive(msg);
	heard_ = true;
	if (msg && msg->scode >= 180 && msg->scode < 200)
		rang_ = true;
}

void SipConnection::on_established(const sip_msg *msg)
{
	keepalive(msg);
	if (state_ != State::Calling && state_ != State::Answering)
		return;
	state_ = State::Established;
	bool media;
	{
		std::lock_guard<std::mutex> hold(mutex_);
		media = negotiated_ && rtp_;
		if (media)
			rtp_->start_timeout_clock();
	}
	// libre takes the answer before it reports the session up, so this
	// cannot be without agreed media; if it were, it would be no call.
	if (!media) {
		report(callfw::CallEndReason::MediaFailed);
		return;
	}
	answered();
}

void SipConnection::on_info(const sip_msg *msg)
{
	keepalive(msg);
	InfoInput input = parse_info_body(to_string(msg->ctyp.type), to_string(msg->ctyp.subtype), body_of(msg));
	switch (input.kind) {
	case InfoInput::Unsupported:
		(void)sip_reply(sip_.sip_, msg, 415, "Unsupported Media Type");
		return;
	case InfoInput::Malformed:
		(void)sip_reply(sip_.sip_, msg, 400, "Bad Request");
		return;
	default:
		(void)sip_reply(sip_.sip_, msg, 200, "OK");
		break;
	}
	if (input.kind == InfoInput::Text && input_allowed())
		endpoint().manager().on_user_input_string(*this, input.text);
}

void SipConnection::on_closed(int err, const sip_msg *msg)
{
	bool established = state_ == State::Established;
	state_ = State::Closed;
	// Our offer never got its answer: EPROTO is then the transport's (a
	// TLS handshake that failed), not our refusal of an answer's media.
	if (err == EPROTO && offered_ours_)
		err = ECONNABORTED;
	const uint16_t scode = msg ? msg->scode : 0;
	// A far end that will not take our media says why; the caller may try
	// elsewhere or otherwise.
	std::string detail;
	if (scode == 415 || scode == 488 || scode == 606)
		detail = std::to_string(scode) + " " + to_string(msg->reason);
	// Our offer asked for SRTP: the likely reason.
	if (!detail.empty() && scode != 415 && local_.srtp == SrtpMode::Mandatory && !established)
		detail += "; the offer asked for SRTP (sip_srtp is mandatory)";
	if (err == EPROTO && !media_why_.empty())
		detail = media_why_;
	report(reason_for(err, scode, established, rang_), detail);
}

void SipConnection::on_rtp()
{
	std::shared_ptr<RtpSession> rtp = current_rtp();
	if (!rtp)
		return;
	std::string keys;
	rtp->receive(keys);
	if (!input_allowed())
		return;
	for (char key : keys)
		endpoint().manager().on_user_input_string(*this, std::string(1, key));
}

void SipConnection::check_ringing(std::chrono::steady_clock::time_point now)
{
	if (state_ == State::Calling && !reported_ && ring_deadline_ && now >= *ring_deadline_)
		report(callfw::CallEndReason::NoAnswer); // release() gives it up with a CANCEL
}

void SipConnection::refused_by_network(const std::string &call_id, int err)
{
	(void)err;
	if (state_ != State::Calling || reported_ || heard_ || !sess_)
		return;
	const char *mine = sip_dialog_callid(sipsess_dialog(sess_));
	if (mine && call_id == mine)
		report(callfw::CallEndReason::Unreachable);
}

void SipConnection::check_media(std::chrono::steady_clock::time_point now)
{
	if (state_ != State::Established || reported_ || sip_.settings().rtp_timeout.count() <= 0)
		return;
	std::shared_ptr<RtpSession> rtp;
	{
		std::lock_guard<std::mutex> hold(mutex_);
		// On hold, whichever side holds, a peer may well send nothing
		// (baresip does so even as "sendonly").
		if (!negotiated_ || !negotiated_->both_ways())
			return;
		rtp = rtp_;
	}
	if (rtp && now - rtp->last_received() >= sip_.settings().rtp_timeout)
		report(callfw::CallEndReason::MediaFailed);
}

} // namespace sipep
