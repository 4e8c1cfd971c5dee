// RTP packets (RFC 3550) and the telephone events carried in them
// (RFC 4733), as plain data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace sipep {

struct RtpHeader {
	bool marker = false;
	uint8_t pt = 0;
	uint16_t seq = 0;
	uint32_t timestamp = 0;
	uint32_t ssrc = 0;
};

struct RtpPacket {
	RtpHeader header;
	const uint8_t *payload = nullptr; // into the datagram
	size_t size = 0;
};

// The packet in a datagram; none when it is no RTP version 2 packet or its
// CSRC list, extension or padding run past the end.
std::optional<RtpPacket> parse_rtp(const uint8_t *data, size_t size);

// Appends the packet: a 12-byte header and the payload.
void build_rtp(std::vector<uint8_t> &out, const RtpHeader &header, const uint8_t *payload, size_t size);

struct TelephoneEvent {
	uint8_t event = 0;
	bool end = false;
	uint8_t volume = 0;
	uint16_t duration = 0;
};

// The first event of a telephone-event payload; none when it is too short.
std::optional<TelephoneEvent> parse_telephone_event(const uint8_t *payload, size_t size);

// The key of a DTMF event ("0"-"9", "*", "#", "A"-"D"), or 0 for the
// other events.
char dtmf_char(unsigned event);

// Turns the packets of telephone events into keys, each once: a sender
// repeats the end packet of an event, and all packets of one event share
// its timestamp.
class DtmfReceiver {
public:
	// The key whose event ended with this packet, if any.
	std::optional<char> receive(const RtpHeader &header, const TelephoneEvent &event);

private:
	bool have_last_ = false;
	uint32_t last_ssrc_ = 0;
	uint32_t last_timestamp_ = 0;
};

} // namespace sipep
