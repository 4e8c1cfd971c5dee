// The intercom states that the voice console publishes, as the sub-agent
// serves them.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace kelsnmp {

constexpr unsigned kIntercoms = 128;

struct IntercomStates {
	struct Unit {
		bool call_button = false, input1 = false, input2 = false, relay = false, pulses = false,
		     audio = false, pending = false;
		uint8_t reset_cause = 0;
	};
	struct Test {
		uint32_t result = 0;
		uint64_t age = 0; // seconds, when the file was written
	};
	std::array<std::optional<Unit>, kIntercoms> units;
	std::array<std::optional<Test>, kIntercoms> tests;
	std::optional<unsigned> call; // 0 none, 1 local, 2 other; none when the file's is unreadable
};

// The states in the file's text, through the console's own reader; none
// while it holds none yet: a console that has just started publishes an
// empty file first.
std::optional<IntercomStates> read_ic_states(std::string_view text);

} // namespace kelsnmp
