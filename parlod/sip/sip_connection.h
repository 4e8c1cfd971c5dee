// One SIP call leg: its libre session, its media negotiation and its RTP.
//
// What belongs to libre (the session, the state, the keep-alive record) is
// used under libre's lock only: on the libre thread, or inside the
// endpoint's Enter guard. What media streams read (the negotiation, the
// RTP session) is under mutex_ as well, because open_media_stream() and
// media_formats() come from the manager's worker without libre's lock.
#pragma once

#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include "connection.h"
#include "rtp_session.h"
#include "sdp.h"

struct sipsess;
struct sip_msg;
struct mbuf;

namespace sipep {

class SipEndpoint;

class SipConnection : public callfw::Connection {
public:
	enum class Direction { Incoming, Outgoing };

	SipConnection(callfw::Call &call, SipEndpoint &endpoint, std::string party, Direction direction);
	~SipConnection() override;

	bool is_network() const override { return true; }
	callfw::MediaFormatList media_formats() const override;
	void start() override;
	void accept() override;
	void release(callfw::CallEndReason reason) override;
	callfw::MediaStreamPtr open_media_stream(const callfw::MediaFormat &format, bool source) override;
	bool set_audio_volume(bool source, unsigned percent) override;

private:
	friend class SipEndpoint;

	enum class State {
		Idle,        // outgoing: not started
		Offered,     // incoming: ringing, waiting for accept()
		Calling,     // outgoing: INVITE sent
		Answering,   // incoming: 200 sent, waiting for the ACK
		Established, // up
		Closed,      // the session ended or was released
	};

	// Incoming, on the libre thread, while the manager makes the call:
	// takes the offer (none: the peer wants ours) and opens the RTP
	// socket. False with the SIP status to refuse the INVITE with.
	bool take_invite(const sip_msg *msg, const std::optional<SdpSession> &offer, uint16_t &refusal);
	// Incoming, once the call exists: rings.
	void ring(const sip_msg *msg);

	// libre's session handlers.
	int on_offer(mbuf **descp, const sip_msg *msg);
	int on_answer(const sip_msg *msg);
	void on_progress(const sip_msg *msg);
	void on_established(const sip_msg *msg);
	void on_info(const sip_msg *msg);
	void on_closed(int err, const sip_msg *msg);
	void on_rtp();
	// The far end's input commands the console only within a call that
	// was answered: not while it rings, not from a call refused.
	bool input_allowed() const { return state_ == State::Answering || state_ == State::Established; }
	// The address of a host name that a description gave, or none.
	void on_resolved(const std::string &name, std::optional<in_addr> address);
	void check_media(std::chrono::steady_clock::time_point now);
	// Outgoing: ends the call when it has rung for the ring timeout.
	void check_ringing(std::chrono::steady_clock::time_point now);
	// Outgoing: the INVITE of the dialog call_id came back undeliverable
	// (see udp_errors.h); the call fails unless the far end said a word.
	void refused_by_network(const std::string &call_id, int err);
	// The endpoint ends: drop libre's objects without a word to the call.
	void abandon();

	callfw::MediaFormatList local_formats() const;
	bool open_rtp(const std::string &local_address);
	void close_rtp();
	// The RTP session, taken under the lock; none when there is none.
	std::shared_ptr<RtpSession> current_rtp() const;
	void apply(const Negotiated &n);
	// The peer's announced address as a number: written as one, or a host
	// name whose address is known; a name not seen before is looked up.
	// 0.0.0.0 while it is not known.
	in_addr peer_address(const std::string &host);
	void keepalive(const sip_msg *msg);
	mbuf *description(const std::string &text);
	void report(callfw::CallEndReason reason, std::string detail = {});
	void *arg() const;
	static std::shared_ptr<SipConnection> from(void *arg);

	struct Handlers; // libre's callbacks

	SipEndpoint &sip_;
	const Direction direction_;
	uint64_t id_ = 0;

	// libre's side.
	State state_ = State::Idle;
	sipsess *sess_ = nullptr;
	std::optional<SdpSession> offer_;   // incoming: the offer to answer
	callfw::MediaFormatList offered_;   // what our last offer had
	bool offered_ours_ = false;         // our offer awaits its answer
	SdpLocal local_;
	std::string srtp_suite_; // the suite our key protected media with, if any
	std::string media_why_;  // why the media could not be agreed, for the call's end
	std::set<std::pair<const void *, int>> keepalive_done_;
	bool reported_ = false;             // released() was called
	bool rang_ = false;                 // outgoing: the far end rang
	bool heard_ = false;                // outgoing: the far end answered at all
	std::optional<std::chrono::steady_clock::time_point> ring_deadline_; // outgoing
	// Incoming: why take_invite() refused, for the console.
	std::string refusal_why_;
	bool rtp_listening_ = false;
	// The host name of the last description that gave one, and its address
	// once looked up. Until then, or if it has none, the media goes where
	// the peer's comes from (see source_latch.h).
	std::string host_;
	std::optional<in_addr> host_address_;
	// Nothing of libre's is left: set under libre's lock by release() or
	// abandon(), read by the destructor, which the last owner runs after
	// them (shared_ptr's count orders the two).
	bool cleaned_ = false;

	// The media side.
	mutable std::mutex mutex_;
	std::optional<Negotiated> negotiated_;
	std::shared_ptr<RtpSession> rtp_;
};

} // namespace sipep
