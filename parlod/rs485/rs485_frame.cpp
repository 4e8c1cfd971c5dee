#include "rs485_frame.h"

#include <algorithm>
#include <cstring>

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

void RS485Frame::Serialize(uint8_t *out) const
{
	out[0] = rs485_bus_address(address);
	out[1] = length;
	out[2] = command;
	memcpy(out + 3, payload, length - 1u);
	out[length + 2] = crc8_smbus(out, length + 2u);
}
