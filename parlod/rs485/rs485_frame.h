// Frames of the intercom buses.
//
// On the wire, in both directions:
//   [bus address 0-63][L][command][L-1 bytes of payload][CRC]
// L counts the command byte and the payload; a frame is L+3 bytes. The CRC
// is CRC-8/SMBUS over everything before it (crc8_smbus()); a frame
// received whole gives a CRC of 0 over all its bytes. In replies, bit 7 of the command
// byte is a flag of the intercom's and only the low 7 bits are the code.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crc8.h"

enum RS485Command : uint8_t {
	CMD_AUDIO_OUT = 1,    // audio to the intercom's loudspeaker; reply: pacing
	CMD_STATUS = 2,       // the poll; reply: status bits and reset cause
	CMD_REL = 3,          // an output of the intercom, one byte
	CMD_RESET = 4,        // ends what the intercom is doing
	CMD_AUDIO_IN = 5,     // asks for microphone audio; reply: CPU load and audio
	CMD_CLC = 7,
	CMD_PROD = 8,         // one byte
	CMD_TEST = 9,         // starts the self-test
	CMD_TEST_RESULT = 10, // reply: the self-test's result
};

// Byte 3 of audio frames: who answers with a status reply besides the
// addressed intercom (an address 0-63 on the same bus, or one of these).
enum : uint8_t {
	POLL_SLOT_SELF = 0xFE, // the addressed intercom itself
	POLL_SLOT_NONE = 0xFF, // nobody on this bus
};

// Addresses: bit 6 chooses the bus (port), the low 6 bits are the address
// on the wire. Anything above 127 is on no bus.
constexpr unsigned RS485_INTERCOMS = 128;
constexpr uint8_t RS485_NO_INTERCOM = 255;
constexpr unsigned RS485_MAX_FRAME = 258; // L = 255

constexpr unsigned rs485_port_of(unsigned address)
{
	return address >> 6;
}

// The size of the frame at the start of the held bytes when it has come
// whole, or 0 while more is to come.
constexpr unsigned rs485_complete_frame(const uint8_t *held, unsigned count)
{
	return count >= 3 && count >= held[1] + 3u ? held[1] + 3u : 0;
}

// A frame waiting in the transmit queue.
struct RS485Frame {
	uint8_t address;      // full intercom address, bus bit included
	uint8_t length;       // L
	uint8_t command;
	uint8_t payload[254]; // the first `offset` bytes are the transceiver's to fill
	uint8_t priority;     // lower goes first

	// Copies the data behind `offset` untouched bytes; data that would not
	// fit in the payload is cut.
	RS485Frame(uint8_t address, uint8_t command, const uint8_t *data, uint8_t dataLength, uint8_t priority,
		   uint8_t offset);

	// Bytes on the wire, CRC included.
	unsigned wire_size() const { return length + 3u; }
	// Puts the frame as sent into out (wire_size() bytes): the address
	// masked to the bus, the CRC computed.
	void serialize(uint8_t *out) const;
};
