#include "ic_states.h"

#include <charconv>

namespace kelsnmp {

namespace {

constexpr std::string_view kHeader = "# cb_cur,inp1,inp2,rel,pulses,audio,cb_pend,rcause";

// The numbers of a line's value, separated by commas; false unless there
// are exactly n.
template <class T> bool numbers(std::string_view text, T *out, size_t n)
{
	for (size_t i = 0; i < n; i++) {
		const char *end = text.data() + text.size();
		auto [p, ec] = std::from_chars(text.data(), end, out[i]);
		if (ec != std::errc() || p == text.data())
			return false;
		text.remove_prefix((size_t)(p - text.data()));
		if (i + 1 < n) {
			if (text.empty() || text[0] != ',')
				return false;
			text.remove_prefix(1);
		}
	}
	return text.empty();
}

bool address(std::string_view digits, unsigned &a)
{
	return numbers(digits, &a, 1) && a < kIntercoms;
}

} // namespace

std::optional<IntercomStates> parse_ic_states(std::string_view text)
{
	IntercomStates s;
	bool header = false;

	while (!text.empty()) {
		size_t end = text.find('\n');
		if (end == std::string_view::npos)
			break; // not a whole line
		const std::string_view line = text.substr(0, end);
		text.remove_prefix(end + 1);
		if (line == kHeader)
			header = true;
		const size_t eq = line.find('=');
		if (!header || eq == std::string_view::npos)
			continue;
		const std::string_view key = line.substr(0, eq), value = line.substr(eq + 1);
		unsigned a;
		if (key.starts_with("rs") && address(key.substr(2), a)) {
			unsigned v[8];
			if (!numbers(value, v, 8))
				continue;
			s.units[a] = IntercomStates::Unit{ v[0] != 0, v[1] != 0, v[2] != 0, v[3] != 0, v[4] != 0,
							   v[5] != 0, v[6] != 0, (uint8_t)(v[7] & 0x7F) };
		} else if (key.starts_with("test") && address(key.substr(4), a)) {
			uint64_t v[2];
			if (numbers(value, v, 2))
				s.tests[a] = IntercomStates::Test{ (uint32_t)v[0], v[1] };
		} else if (key == "call")
			numbers(value, &s.call, 1);
	}
	if (!header)
		return std::nullopt;
	return s;
}

} // namespace kelsnmp
