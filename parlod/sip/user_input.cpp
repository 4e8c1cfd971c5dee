#include "user_input.h"

#include <cctype>
#include <strings.h>

#include "rtp_packet.h"

namespace sipep {

namespace {

bool iequal(std::string_view a, std::string_view b)
{
	return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::string_view trim(std::string_view s)
{
	while (!s.empty() && isspace((unsigned char)s.front()))
		s.remove_prefix(1);
	while (!s.empty() && isspace((unsigned char)s.back()))
		s.remove_suffix(1);
	return s;
}

// The key of a Signal value: the key itself, or its event number as some
// gateways write it ("10" for "*").
char relay_key(std::string_view value)
{
	if (value.size() == 1) {
		char c = (char)toupper((unsigned char)value[0]);
		for (unsigned e = 0; e < 16; e++)
			if (dtmf_char(e) == c)
				return c;
		return 0;
	}
	if (value.size() == 2 && value[0] == '1' && value[1] >= '0' && value[1] <= '5')
		return dtmf_char(10u + (unsigned)(value[1] - '0'));
	return 0;
}

} // namespace

InfoInput parse_info_body(std::string_view type, std::string_view subtype, std::string_view body)
{
	if (type.empty() && body.empty())
		return { InfoInput::Nothing, {} };
	if (iequal(type, "text")) {
		// The console's commands are words; the line end a sender adds is
		// not part of the last one.
		while (!body.empty() && (body.back() == '\n' || body.back() == '\r'))
			body.remove_suffix(1);
		if (body.empty())
			return { InfoInput::Nothing, {} };
		return { InfoInput::Text, std::string(body) };
	}
	if (iequal(type, "application") && iequal(subtype, "dtmf-relay")) {
		while (!body.empty()) {
			size_t nl = body.find('\n');
			std::string_view line = body.substr(0, nl);
			body.remove_prefix(nl == std::string_view::npos ? body.size() : nl + 1);
			size_t eq = line.find('=');
			if (eq == std::string_view::npos || !iequal(trim(line.substr(0, eq)), "Signal"))
				continue;
			if (char key = relay_key(trim(line.substr(eq + 1))))
				return { InfoInput::Text, std::string(1, key) };
			return { InfoInput::Malformed, {} };
		}
		return { InfoInput::Malformed, {} };
	}
	return { InfoInput::Unsupported, {} };
}

} // namespace sipep
