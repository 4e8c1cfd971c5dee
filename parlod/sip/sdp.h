// Session descriptions of SIP calls: reading a peer's, writing ours, and the
// choice of codecs between them. Only what an audio call needs is kept; a
// description that cannot carry one is refused, never half-used.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "media_format.h"
#include "srtp_keys.h"

namespace sipep {

enum class SdpDirection { SendRecv, SendOnly, RecvOnly, Inactive };

// One payload type of a media line, as its rtpmap (or the static table)
// names it.
struct SdpPayload {
	int pt = -1;
	std::string encoding; // "PCMU", "telephone-event"; empty when unknown
	unsigned clock_rate = 0;
	unsigned channels = 1;
};

// An SDES crypto line: "a=crypto:TAG SUITE KEY-PARAMS [SESSION-PARAMS]".
struct SdpCrypto {
	unsigned tag = 0;
	std::string suite;
	std::string key_params;     // "inline:..."
	std::string session_params; // the rest of the line, as written
};

struct SdpMedia {
	std::string media; // "audio"
	unsigned port = 0;
	std::string proto; // "RTP/AVP", "RTP/SAVP"
	std::vector<std::string> formats; // the m= line's format list, as written
	std::vector<SdpPayload> payloads; // the numeric ones, in m= order
	std::string address;              // c= of the line, or of the session: IPv4 address or host name
	SdpDirection direction = SdpDirection::SendRecv;
	std::vector<SdpCrypto> crypto; // in the order written
};

struct SdpSession {
	std::vector<SdpMedia> media;
};

// Reads a description; none when it is not one (no version line, a media
// line that does not parse, a connection line of another network type).
std::optional<SdpSession> parse_sdp(std::string_view text);

// What both sides agreed on for the audio of a call.
struct Negotiated {
	// The common codecs, each with the payload type of the agreement; the
	// first one carries the media.
	callfw::MediaFormatList formats;
	int telephone_event_pt = -1; // -1: no RFC 4733 events
	size_t media_index = 0;      // the audio line among the session's
	std::string remote_address;  // where the peer receives: an IPv4 address or a host name
	uint16_t remote_port = 0;
	SdpDirection remote_direction = SdpDirection::SendRecv;
	std::string proto = "RTP/AVP"; // of the agreed line
	// SRTP: the peer's crypto line that was agreed on (its tag and suite)
	// and the key it protects its media with; none for plain RTP.
	std::optional<SdpCrypto> crypto;
	std::optional<SrtpKey> remote_key;

	// The peer takes media from us.
	bool peer_receives() const;
	// Media flows both ways: the call is not on hold.
	bool both_ways() const;
};

// Our side of a description.
struct SdpLocal {
	std::string user;    // o= user name and s= line
	std::string address; // IPv4 address for o= and c=
	uint16_t port = 0;   // RTP port
	uint64_t session_id = 0;
	uint64_t version = 0; // raised for every description of the session
	// SRTP: Off offers none; Optional offers our key on RTP/AVP, Mandatory
	// on RTP/SAVP. srtp_key: the key material we protect our media with.
	SrtpMode srtp = SrtpMode::Off;
	std::vector<uint8_t> srtp_key;
};

constexpr int kTelephoneEventPt = 101;

// The offer of an outgoing call: formats in their order, then the events;
// with SRTP, our key (tag 1, kSrtpSuite).
std::string build_offer(const SdpLocal &local, const callfw::MediaFormatList &formats, int telephone_event_pt);

// Chooses the audio of an offer: its first audio line with a port that
// srtp allows, and of it the codecs we have, in our order of preference
// (prefer: a codec to put first when the offer has it, so that a renewed
// offer keeps the codec in use). None when nothing fits.
//
// SRTP: Off takes RTP/AVP only and ignores keys; Optional takes RTP/AVP
// (with the first usable key, if any: SRTP then) and RTP/SAVP with a
// usable key; Mandatory takes a line only with a usable key.
std::optional<Negotiated> negotiate_offer(const SdpSession &offer, const callfw::MediaFormatList &local,
					  const callfw::MediaFormat *prefer = nullptr,
					  SrtpMode srtp = SrtpMode::Off);

// Why negotiate_offer() under srtp found nothing, when that is for SRTP's
// sake alone (the offer has audio we would take otherwise): words for the
// console. Empty otherwise.
std::string srtp_refusal(const SdpSession &offer, const callfw::MediaFormatList &local, SrtpMode srtp);

// The answer to an offer after negotiate_offer(): every media line of the
// offer answered, the others refused with port 0; with SRTP, our key on
// the agreed crypto line's tag and suite.
std::string build_answer(const SdpLocal &local, const SdpSession &offer, const Negotiated &chosen);

// Reads the answer to our offer: the codecs we offered that it kept, in
// its order. srtp: what the offer was made with. An answer that takes our
// key (tag 1, our suite) with one of its own agrees on SRTP; one with
// crypto lines but none of them that agrees, or, for Mandatory, one
// without any, is no answer. Off ignores crypto lines.
std::optional<Negotiated> negotiate_answer(const SdpSession &answer, const callfw::MediaFormatList &offered,
					   int offered_telephone_event_pt, SrtpMode srtp = SrtpMode::Off);

} // namespace sipep
