// Frames of the intercom buses; the only place that knows their offsets.
//
// On the wire, in both directions:
//   [bus address 0-63][L][command][L-1 bytes of payload][CRC]
// L counts the command byte and the payload; a frame is L+3 bytes. The CRC
// is CRC-8/SMBUS over everything before it (crc8_smbus()); a frame
// received whole gives a CRC of 0 over all its bytes. In replies, bit 7 of
// the command byte is a flag of the intercom's and only the low 7 bits are
// the code.
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
// Audio bytes of one frame on the bus: 20 ms of G.711.
constexpr unsigned RS485_MAX_AUDIO = 160;

constexpr unsigned rs485_port_of(unsigned address)
{
	return address >> 6;
}

constexpr uint8_t rs485_bus_address(unsigned address)
{
	return address & 63;
}

// The full address of a sender: its bus from the frame sent to the bus,
// its address on the bus from its reply.
constexpr uint8_t rs485_full_address(unsigned sent_to, uint8_t bus_address)
{
	return (uint8_t)((sent_to & 0xC0) | (bus_address & 63));
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

	bool IsAudio() const { return command == CMD_AUDIO_OUT || command == CMD_AUDIO_IN; }
	// The poll slot of an audio frame.
	void SetPollSlot(uint8_t slot) { payload[0] = slot; }
	uint8_t PollSlot() const { return payload[0]; }
	// Bytes on the wire, CRC included.
	unsigned WireSize() const { return length + 3u; }
	// Puts the frame as sent into out (WireSize() bytes): the address
	// masked to the bus, the CRC computed.
	void Serialize(uint8_t *out) const;
};

// A frame from an intercom, read in place: whole, with at least its first
// three bytes. What the payload holds depends on the code; each reading
// says how long a frame it needs, and a shorter one does not carry it.
class RS485Reply {
public:
	explicit RS485Reply(const uint8_t *bytes) : m_bytes(bytes) {}

	uint8_t BusAddress() const { return m_bytes[0] & 63; }
	uint8_t Length() const { return m_bytes[1]; } // L
	uint8_t Code() const { return m_bytes[2] & 0x7F; }

	// A status reply (L >= 3): the status bits and the reset cause.
	uint8_t StatusBits() const { return Byte(0); }
	uint8_t ResetCause() const { return Byte(1) & 0x7F; }
	// An audio-out reply (L >= 5): the intercom's pacing values a and b.
	uint16_t PacingA() const { return Word(0); }
	uint16_t PacingB() const { return Word(2); }
	// An audio-in reply (L >= 2): the intercom's CPU load in percent, then
	// L - 2 bytes of audio.
	uint8_t CpuLoad() const { return Byte(0); }
	const uint8_t *Audio() const { return m_bytes + 4; }
	unsigned AudioLength() const { return Length() >= 2 ? Length() - 2u : 0; }
	// A self-test result (L >= 3).
	uint16_t TestResult() const { return Word(0); }

private:
	uint8_t Byte(unsigned i) const { return m_bytes[3 + i]; }
	uint16_t Word(unsigned i) const { return (uint16_t)(m_bytes[3 + i] | m_bytes[4 + i] << 8); }

	const uint8_t *m_bytes;
};
