// Where a call's RTP is taken from, and sent to.
//
// A peer announces its media address in its session description, but a
// peer behind NAT, or with more than one interface, sends from another
// one. So, as deployed equipment does (restricted latching), the media is
// taken from the announced address; and, while nothing comes from there,
// from a new source once it has proved to be a media stream: kPackets
// packets in a row, consecutive in sequence, with one SSRC and the
// negotiated payload type, over at least kSpan. Once latched, packets from
// anywhere else are dropped again; a source that takes over later must
// prove itself the same way while the present one is silent. A stray
// packet, or a short burst from elsewhere, takes nothing over. Our media
// goes to the source the peer's media comes from (symmetric RTP). A peer
// that names a host instead of an address is announced as 0.0.0.0 until
// the name is looked up: nothing comes from there, so its media is taken
// as soon as it has proved itself, and answered there.
//
// Not thread-safe: the RTP session guards it.
#pragma once

#include <chrono>
#include <cstdint>
#include <netinet/in.h>

#include "rtp_packet.h"

namespace sipep {

class SourceLatch {
public:
	using Clock = std::chrono::steady_clock;

	static constexpr int kPackets = 5;
	static constexpr Clock::duration kSpan = std::chrono::milliseconds(60);

	// The address the peer announced. A different one from before starts
	// over; the same one keeps a source latched (a renewed offer that
	// changes nothing, a hold and its end).
	void expect(const sockaddr_in &announced);
	// The announced address became known after expect() was told 0.0.0.0
	// (the peer named a host, which had to be looked up). A source latched
	// meanwhile is the peer's and stays; a later expect() of the same
	// address keeps it too.
	void resolve(const sockaddr_in &announced);

	// Whether a packet from there is the peer's. media: it has the
	// negotiated payload type (events and comfort noise come only from a
	// source already taken).
	bool accept(const sockaddr_in &from, const RtpHeader &header, bool media, Clock::time_point now);

	// Where the peer's media comes from: the announced address until a
	// source was latched.
	const sockaddr_in &source() const { return source_; }
	bool latched() const { return latched_; }

private:
	static bool same(const sockaddr_in &a, const sockaddr_in &b)
	{
		return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
	}

	sockaddr_in announced_{};
	sockaddr_in source_{};
	bool have_announced_ = false;
	bool latched_ = false;

	// The source that is proving itself.
	struct Candidate {
		sockaddr_in from{};
		uint32_t ssrc = 0;
		uint16_t seq = 0;
		int packets = 0;
		Clock::time_point first;
	} candidate_;
};

} // namespace sipep
