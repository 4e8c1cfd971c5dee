// The buses' settings: "/etc/parlod-ic.conf" (ports_mask, ports_baud,
// button_led) and the terminal's identity (cio, revision), read at start;
// the control FIFO changes and stores the first three.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

struct RS485Settings {
	static constexpr uint32_t kDefaultBaud = 115200;

	uint32_t portsMask = 0;
	uint32_t portBaud[2] = { kDefaultBaud, kDefaultBaud };
	bool buttonLed = true;
	bool cioBoard = false;
	int32_t boardRevision = 0;
};

// say: hears of a stored rate that the ports cannot take (the port keeps
// 115200).
RS485Settings read_rs485_settings(const std::function<void(const std::string &)> &say);

namespace rs485 {

// A number as the console's text inputs give them: unsigned, "0x"
// hexadecimal, a leading 0 octal, ignoring what follows the digits;
// anything else reads as 0. Saturates instead of wrapping.
uint64_t parse_number(std::string_view text);

// "9600,57600", as the command "bauds" and the key "ports_baud" give it:
// the items that are not empty, at most two (port 0's, then port 1's).
// An item is valid when it is a whole number (automatic base) that is 0,
// which leaves the port's rate as it is, or a rate the ports take
// (serial_baud_supported()). Returns the count.
struct BaudItem {
	std::string_view text;
	uint32_t rate;
	bool valid;
};
unsigned parse_baud_list(std::string_view text, BaudItem items[2]);

} // namespace rs485
