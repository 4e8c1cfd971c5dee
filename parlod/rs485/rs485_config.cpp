#include "rs485_config.h"

#include <cerrno>
#include <cstdlib>

#include "cfg.h"
#include "paths.h"
#include "rootpath.h"
#include "serial.h"

namespace rs485 {

uint64_t parse_number(std::string_view text)
{
	unsigned base = 10;
	size_t i = 0;
	uint64_t value = 0;

	if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
		base = 16;
		i = 2;
	} else if (!text.empty() && text[0] == '0')
		base = 8;
	for (; i < text.size(); i++) {
		char c = text[i];
		unsigned d = c >= '0' && c <= '9'   ? (unsigned)(c - '0')
			     : c >= 'a' && c <= 'f' ? (unsigned)(c - 'a' + 10)
			     : c >= 'A' && c <= 'F' ? (unsigned)(c - 'A' + 10)
						    : 16;
		if (d >= base)
			break;
		if (value > (UINT64_MAX - d) / base)
			return UINT64_MAX;
		value = value * base + d;
	}
	return value;
}

namespace {

// A whole number as the console's text inputs give them: decimal, "0x"
// hexadecimal or with a leading 0 octal, and nothing after its digits.
bool whole_number(std::string_view text, uint64_t &value)
{
	if (text.empty() || text[0] < '0' || text[0] > '9')
		return false; // no sign, no blanks
	const std::string s(text);
	char *end;
	errno = 0;
	value = strtoull(s.c_str(), &end, 0);
	return *end == '\0' && errno == 0;
}

// A setting of a key=value file, read as the console reads numbers.
uint64_t read_number(const char *path, const char *key, uint64_t def)
{
	const char *value = cfg_read_str(path, key, nullptr);
	return value ? parse_number(value) : def;
}

} // namespace

unsigned parse_baud_list(std::string_view text, BaudItem items[2])
{
	unsigned n = 0;

	while (n < 2 && !text.empty()) {
		size_t comma = text.find(',');
		std::string_view item = text.substr(0, comma);
		text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
		if (item.empty())
			continue;
		uint64_t rate = 0;
		bool valid = whole_number(item, rate) && (rate == 0 || serial_baud_supported(rate));
		items[n++] = { item, valid ? (uint32_t)rate : 0, valid };
	}
	return n;
}

} // namespace rs485

// A stored rate that the ports cannot take leaves its port at 115200, and
// is said: a bus at 1 baud would be as good as none, its intercoms out of
// reach without a word.
RS485Settings read_rs485_settings(const std::function<void(const std::string &)> &say)
{
	using namespace rs485;
	RS485Settings s;
	const char *device = kel_path(DEVICE_CONF);
	const char *conf = kel_path(PARLOD_IC_CONF);

	s.cioBoard = read_number(device, "cio", 0) != 0;
	s.boardRevision = (int32_t)read_number(device, "revision", 0);
	s.buttonLed = read_number(conf, "button_led", 1) != 0;
	s.portsMask = (uint32_t)read_number(conf, "ports_mask", 0);

	BaudItem items[2];
	unsigned n = parse_baud_list(cfg_read_str(conf, "ports_baud", ""), items);
	for (unsigned i = 0; i < n; i++) {
		if (items[i].valid) {
			if (items[i].rate)
				s.portBaud[i] = items[i].rate;
			continue;
		}
		say("\nports_baud: " + std::string(items[i].text) + " is no baud rate the ports can take; port " +
		    std::to_string(i) + " runs at " + std::to_string(s.portBaud[i]));
	}
	return s;
}
