#include "rs485_frame.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace {

constexpr std::array<uint8_t, 256> make_crc8_table(uint8_t polynomial)
{
	std::array<uint8_t, 256> table{};
	for (unsigned i = 0; i < 256; i++) {
		uint8_t crc = (uint8_t)i;
		for (int bit = 0; bit < 8; bit++)
			crc = (uint8_t)(crc & 0x80 ? (crc << 1) ^ polynomial : crc << 1);
		table[i] = crc;
	}
	return table;
}

constexpr auto crc8_07 = make_crc8_table(0x07);

} // namespace

// x^8 + x^2 + x + 1, most significant bit first.
const uint8_t crc8ccitt_table[256] = {
#define R(i) crc8_07[i], crc8_07[i + 1], crc8_07[i + 2], crc8_07[i + 3], crc8_07[i + 4], crc8_07[i + 5], \
	     crc8_07[i + 6], crc8_07[i + 7]
	R(0),   R(8),   R(16),  R(24),  R(32),  R(40),  R(48),  R(56),  R(64),  R(72),  R(80),
	R(88),  R(96),  R(104), R(112), R(120), R(128), R(136), R(144), R(152), R(160), R(168),
	R(176), R(184), R(192), R(200), R(208), R(216), R(224), R(232), R(240), R(248),
#undef R
};

uint8_t rs485_crc8(const uint8_t *data, size_t length, uint8_t crc)
{
	for (size_t i = 0; i < length; i++)
		crc = crc8ccitt_table[crc ^ data[i]];
	return crc;
}

RS485Frame::RS485Frame(uint8_t address_, uint8_t command_, const uint8_t *data, uint8_t dataLength,
		       uint8_t priority_, uint8_t offset)
	: address(address_), command(command_), payload{}, priority(priority_)
{
	offset = std::min<uint8_t>(offset, sizeof(payload));
	size_t n = std::min<size_t>(dataLength, sizeof(payload) - offset);
	if (n)
		memcpy(payload + offset, data, n);
	length = (uint8_t)(offset + n + 1);
}

void RS485Frame::serialize(uint8_t *out) const
{
	out[0] = address & 63;
	out[1] = length;
	out[2] = command;
	memcpy(out + 3, payload, length - 1u);
	out[length + 2] = rs485_crc8(out, length + 2u);
}
