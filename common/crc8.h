// The two CRC-8s of the system: the state report's and the intercom
// buses'. Same width, different polynomials; neither is the other.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// CRC-8 with polynomial 0x31, most significant bit first, no reflection and
// no final XOR, over the string up to its NUL: the state report's. *crc
// holds the running value, so strings can be chained.
void crc8_str(const char *s, uint8_t *crc);

// CRC-8/SMBUS: polynomial 0x07, initial value 0, most significant bit
// first, no reflection and no final XOR (check value 0xF4 over the digits
// 1 to 9): the intercom buses' frames. A frame that carries its CRC last
// gives 0 over all its bytes.
extern const std::array<uint8_t, 256> crc8_smbus_table;
uint8_t crc8_smbus(const uint8_t *data, size_t length, uint8_t crc = 0);
