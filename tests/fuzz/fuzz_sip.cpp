// The SIP endpoint's parsers of what arrives from the network: session
// descriptions, RTP packets and INFO bodies. The first byte picks one. An
// answer built to an offer that was accepted must read back as valid.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "rtp_packet.h"
#include "sdp.h"
#include "user_input.h"

using namespace sipep;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size == 0)
		return 0;
	const uint8_t kind = data[0] % 3;
	data++;
	size--;
	std::string_view text((const char *)data, size);

	if (kind == 0) {
		auto offer = parse_sdp(text);
		if (!offer)
			return 0;
		const callfw::MediaFormatList local = { callfw::g711_ulaw(), callfw::gsm0610() };
		auto chosen = negotiate_offer(*offer, local);
		if (!chosen)
			return 0;
		SdpLocal us{ "parlod", "192.0.2.10", 10000, 1, 1 };
		auto answer = parse_sdp(build_answer(us, *offer, *chosen));
		if (!answer)
			__builtin_trap();
		negotiate_answer(*answer, local, chosen->telephone_event_pt);
	} else if (kind == 1) {
		auto packet = parse_rtp(data, size);
		if (packet && packet->header.pt == kTelephoneEventPt)
			parse_telephone_event(packet->payload, packet->size);
	} else {
		size_t slash = text.find('/');
		size_t end = text.find('\n');
		std::string_view type = text.substr(0, std::min(slash, end));
		std::string_view subtype = slash < end ? text.substr(slash + 1, end - slash - 1) : std::string_view();
		parse_info_body(type, subtype, end == std::string_view::npos ? "" : text.substr(end + 1));
	}
	return 0;
}
