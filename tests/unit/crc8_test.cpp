// The state report's CRC-8 and the intercom buses' CRC-8/SMBUS: known
// values, so that neither can drift into the other.
#include <gtest/gtest.h>

#include "crc8.h"

namespace {

uint8_t crc(const char *s, uint8_t init)
{
	crc8_str(s, &init);
	return init;
}

TEST(Crc8, StateReportKnownValuesAndChaining)
{
	EXPECT_EQ(crc("abc", 0x00), 0xA9);
	EXPECT_EQ(crc("abc", 0xFF), 0xE2);
	EXPECT_EQ(crc("", 0x5A), 0x5A);
	uint8_t c = 0xFF;
	crc8_str("a", &c);
	crc8_str("bc", &c);
	EXPECT_EQ(c, 0xE2);
}

TEST(Crc8, SmbusCheckValueAndTable)
{
	const uint8_t digits[] = { '1', '2', '3', '4', '5', '6', '7', '8', '9' };
	EXPECT_EQ(crc8_smbus(digits, sizeof(digits)), 0xF4);
	EXPECT_EQ(crc8_smbus_table[1], 0x07);
	EXPECT_EQ(crc8_smbus_table[0x80], 0x89);
	// Chained over two pieces as over one.
	EXPECT_EQ(crc8_smbus(digits + 4, 5, crc8_smbus(digits, 4)), 0xF4);
}

} // namespace
