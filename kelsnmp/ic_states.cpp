#include "ic_states.h"

#include <memory>
#include <string>

#include "console_link.h"

namespace kelsnmp {

static_assert(kIntercoms == IC_STATES_INTERCOMS);

std::optional<IntercomStates> read_ic_states(std::string_view text)
{
	if (text.empty())
		return std::nullopt;
	auto s = std::make_unique<ic_states>();
	const std::string z(text);
	ic_states_parse(z.c_str(), s.get());

	IntercomStates out;
	for (unsigned a = 0; a < kIntercoms; a++) {
		const uint16_t w = s->state[a];
		if (w & IC_STATE_PRESENT)
			out.units[a] = IntercomStates::Unit{ (w & IC_CB_CUR) != 0, (w & IC_INP1) != 0, (w & IC_INP2) != 0,
							     (w & IC_REL) != 0,	   (w & IC_PULSES) != 0, (w & IC_AUDIO) != 0,
							     (w & IC_CB_PEND) != 0, (uint8_t)((w >> 8) & 0x7F) };
		if (s->tested[a])
			out.tests[a] = IntercomStates::Test{ s->test_level[a], s->test_age[a] };
	}
	if (s->call == IC_CALL_NONE || s->call == IC_CALL_LOCAL || s->call == IC_CALL_OTHER)
		out.call = (unsigned)s->call;
	return out;
}

} // namespace kelsnmp
