// A call to an intercom: its audio both ways, paced by the intercom's
// replies, which way speech flows, the speaker state file of a network
// call and the statistics said at its end. The connection of the call
// owns it from the moment it holds the call slot.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "intercom_table.h"
#include "rs485_frame.h"
#include "rs485_link.h"
#include "rs485_threads.h"

// One received audio frame.
struct SndFrame {
	uint8_t length; // 1-160
	uint8_t data[RS485_MAX_AUDIO];

	SndFrame(uint8_t length, const uint8_t *data);
};

namespace rs485 {

// The intercom a party names ("rs485:rs12", "rs12", "rs1012" listen-only).
struct PartyAddress {
	uint8_t address;
	bool listen_only;
};
PartyAddress parse_party(std::string_view party);

// The pacing interval in microseconds that an intercom's audio-out reply
// asks for.
int64_t pacing_interval_us(uint16_t a, uint16_t b);

} // namespace rs485

class IntercomCall {
public:
	using Say = std::function<void(const std::string &)>;

	// local: from the terminal's own sound device. A network call makes
	// the speaker state file.
	IntercomCall(RS485Link &link, const IntercomTable &table, Say say, rs485::PartyAddress to, bool local);
	~IntercomCall();
	IntercomCall(const IntercomCall &) = delete;
	IntercomCall &operator=(const IntercomCall &) = delete;

	uint8_t Address() const { return m_address; }
	bool Local() const { return m_local; }

	// The media threads', one frame at a time; both block to keep real time.
	bool OnWriteMediaData(const void *data, size_t length, size_t &written);
	bool OnReadMediaData(void *data, size_t size, size_t &length);

	// Replies of the intercom in the call, and frames that came corrupted
	// meanwhile: on the transceiver's thread.
	void ProcessPacing(RS485Reply reply);
	void ProcessAudio(RS485Reply reply);
	void FrameCorrupted();

	// The end, in this order: the intercom is told to stop; then, once the
	// others have let go of the call, the speaker state file goes and the
	// statistics are returned, to be said.
	void ResetIntercom();
	std::string Finish();

private:
	void NoticeNetworkSilence();
	void NoticeBusOff();

	RS485Link &m_link;
	const IntercomTable &m_table;
	const Say m_say;
	const uint8_t m_address;
	const bool m_listenOnly;
	const bool m_local;

	// Audio towards the intercom. The speaking state is exchanged by the
	// write thread and read by the read thread.
	std::atomic<uint8_t> m_speaking{ 0xFF }; // neither state: the first write counts as a change
	std::atomic<int32_t> m_spkFd{ -1 };      // the speaker state file
	rs485::Clock::time_point m_lastWriteTime; // the write thread's
	std::atomic<rs485::Clock::rep> m_lastAudioAt{ 0 }; // when audio for the intercom last came
	rs485::Event m_writePaced; // a pacing reply came
	std::atomic<int64_t> m_writeDelay{ 20000 }; // microseconds, from the last pacing reply

	// Audio from the intercom.
	std::deque<SndFrame> m_rxSound;
	std::mutex m_rxSoundMutex; // m_rxSound
	rs485::Event m_rxSoundReady;

	// Said at the end, or once during the call.
	std::atomic<uint32_t> m_crcErrors{ 0 }; // saturating
	std::atomic<uint8_t> m_maxCpuLoad{ 0 };
	std::atomic<bool> m_soundOverflowReported{ false };
	std::atomic<bool> m_busOffReported;
};
