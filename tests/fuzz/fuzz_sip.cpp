// The SIP endpoint's parsers of what arrives from the network: session
// descriptions, RTP and SRTP packets and INFO bodies. The first byte picks
// one (and, for a description, how SRTP is taken). An answer built to an
// offer that was accepted must read back as valid.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "rtp_packet.h"
#include "sdp.h"
#include "srtp_context.h"
#include "user_input.h"

using namespace sipep;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size == 0)
		return 0;
	const uint8_t kind = data[0] % 3;
	const SrtpMode srtp = (SrtpMode)(data[0] / 3 % 3);
	data++;
	size--;
	std::string_view text((const char *)data, size);

	if (kind == 0) {
		auto offer = parse_sdp(text);
		if (!offer)
			return 0;
		const callfw::MediaFormatList local = callfw::transportable_formats();
		auto chosen = negotiate_offer(*offer, local, nullptr, srtp);
		if (!chosen)
			return 0;
		SdpLocal us{ "parlod", "192.0.2.10", 10000, 1, 1, srtp, std::vector<uint8_t>(kSrtpKeyBytes, 7) };
		auto answer = parse_sdp(build_answer(us, *offer, *chosen));
		if (!answer || (chosen->crypto && answer->media[chosen->media_index].crypto.size() != 1))
			__builtin_trap();
		negotiate_answer(*answer, local, chosen->telephone_event_pt, srtp);
	} else if (kind == 1) {
		auto packet = parse_rtp(data, size);
		if (packet && packet->header.pt == kTelephoneEventPt)
			parse_telephone_event(packet->payload, packet->size);
		// What comes on an SRTP call: checked before anything reads it.
		static auto receiver = SrtpContext::make({ kSrtpSuite, std::vector<uint8_t>(kSrtpKeyBytes, 7) });
		std::vector<uint8_t> copy(data, data + size);
		if (receiver && receiver->unprotect(copy.data(), copy.size()) > size)
			__builtin_trap();
	} else {
		size_t slash = text.find('/');
		size_t end = text.find('\n');
		std::string_view type = text.substr(0, std::min(slash, end));
		std::string_view subtype = slash < end ? text.substr(slash + 1, end - slash - 1) : std::string_view();
		parse_info_body(type, subtype, end == std::string_view::npos ? "" : text.substr(end + 1));
	}
	return 0;
}
