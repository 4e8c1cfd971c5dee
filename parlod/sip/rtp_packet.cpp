#include "rtp_packet.h"

namespace sipep {

std::optional<RtpPacket> parse_rtp(const uint8_t *data, size_t size)
{
	if (size < 12 || (data[0] >> 6) != 2)
		return std::nullopt;
	RtpPacket p;
	p.header.marker = data[1] & 0x80;
	p.header.pt = data[1] & 0x7f;
	p.header.seq = (uint16_t)(data[2] << 8 | data[3]);
	p.header.timestamp = (uint32_t)data[4] << 24 | (uint32_t)data[5] << 16 | (uint32_t)data[6] << 8 | data[7];
	p.header.ssrc = (uint32_t)data[8] << 24 | (uint32_t)data[9] << 16 | (uint32_t)data[10] << 8 | data[11];

	size_t start = 12 + 4 * (size_t)(data[0] & 0x0f);
	if (start > size)
		return std::nullopt;
	if (data[0] & 0x10) { // header extension: 4 bytes, then its length in words
		if (start + 4 > size)
			return std::nullopt;
		size_t words = (size_t)(data[start + 2] << 8 | data[start + 3]);
		start += 4 + 4 * words;
		if (start > size)
			return std::nullopt;
	}
	size_t end = size;
	if (data[0] & 0x20) { // padding: its length is the last byte
		size_t pad = data[size - 1];
		if (pad == 0 || pad > end - start)
			return std::nullopt;
		end -= pad;
	}
	p.payload = data + start;
	p.size = end - start;
	return p;
}

void build_rtp(std::vector<uint8_t> &out, const RtpHeader &h, const uint8_t *payload, size_t size)
{
	out.reserve(out.size() + 12 + size);
	out.push_back(0x80);
	out.push_back((uint8_t)((h.marker ? 0x80 : 0) | (h.pt & 0x7f)));
	out.push_back((uint8_t)(h.seq >> 8));
	out.push_back((uint8_t)h.seq);
	for (int shift = 24; shift >= 0; shift -= 8)
		out.push_back((uint8_t)(h.timestamp >> shift));
	for (int shift = 24; shift >= 0; shift -= 8)
		out.push_back((uint8_t)(h.ssrc >> shift));
	out.insert(out.end(), payload, payload + size);
}

std::optional<TelephoneEvent> parse_telephone_event(const uint8_t *payload, size_t size)
{
	if (size < 4)
		return std::nullopt;
	TelephoneEvent e;
	e.event = payload[0];
	e.end = payload[1] & 0x80;
	e.volume = payload[1] & 0x3f;
	e.duration = (uint16_t)(payload[2] << 8 | payload[3]);
	return e;
}

char dtmf_char(unsigned event)
{
	static const char keys[] = "0123456789*#ABCD";
	return event < 16 ? keys[event] : 0;
}

std::optional<char> DtmfReceiver::receive(const RtpHeader &header, const TelephoneEvent &event)
{
	if (!event.end)
		return std::nullopt;
	if (have_last_ && header.ssrc == last_ssrc_ && header.timestamp == last_timestamp_)
		return std::nullopt; // a repeated end packet
	have_last_ = true;
	last_ssrc_ = header.ssrc;
	last_timestamp_ = header.timestamp;
	char key = dtmf_char(event.event);
	if (!key)
		return std::nullopt;
	return key;
}

} // namespace sipep
