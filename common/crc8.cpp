#include "crc8.h"

namespace {

constexpr std::array<uint8_t, 256> crc8_table(uint8_t polynomial)
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

} // namespace

void crc8_str(const char *s, uint8_t *crc)
{
	uint8_t c = *crc;

	for (; *s; s++) {
		c ^= (uint8_t)*s;
		for (int i = 0; i < 8; i++)
			c = (uint8_t)(c & 0x80 ? (c << 1) ^ 0x31 : c << 1);
	}
	*crc = c;
}

constinit const std::array<uint8_t, 256> crc8_smbus_table = crc8_table(0x07);

uint8_t crc8_smbus(const uint8_t *data, size_t length, uint8_t crc)
{
	for (size_t i = 0; i < length; i++)
		crc = crc8_smbus_table[crc ^ data[i]];
	return crc;
}
