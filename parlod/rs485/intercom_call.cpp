#include "intercom_call.h"

#include <algorithm>
#include <cstring>
#include <thread>
#include <unistd.h>

#include "console_link.h"

using namespace rs485;
using namespace std::chrono_literals;

namespace {

// The received-audio queue holds at most 128 KiB at 161 bytes a frame.
constexpr size_t kRxQueueBytes = 131072;
constexpr size_t kRxFrameBytes = 161;
constexpr auto kRxWait = 30ms;
constexpr auto kPacedWait = 20ms;
constexpr auto kQuietWrite = 15ms;
// A network call whose audio stops for this long has gone quiet.
constexpr auto kNetworkSilence = 120ms;
// How late a frame may be and still keep the pacing schedule: the next one
// then comes that much sooner, so that the intercom gets the rate it asked
// for on average.
constexpr auto kCatchUp = 2ms;
constexpr auto kNoReadSize = 20ms;
// The pacing the intercom asks for lies between these.
constexpr int64_t kFastestUs = 18000, kSlowestUs = 22000;

} // namespace

SndFrame::SndFrame(uint8_t length_, const uint8_t *data_) : length(std::min<uint8_t>(length_, sizeof(data)))
{
	std::copy(data_, data_ + length, data);
}

namespace rs485 {

PartyAddress parse_party(std::string_view party)
{
	size_t colon = party.find(':');
	size_t at = (colon == std::string_view::npos ? 0 : colon + 1) + 2; // past "rs"
	std::string_view digits = at < party.size() ? party.substr(at, 128) : std::string_view();
	uint64_t n = parse_number(digits);
	bool listen_only = n > 999;
	if (listen_only)
		n -= 1000;
	return { (uint8_t)n, listen_only };
}

// a and b come from the intercom: a = 0 asks for a frame every 18 ms, b =
// 160 (with a > 0) for one every 22 ms. Where a + b is below 160 the
// unsigned arithmetic gives 18 ms exactly, so the formula never asks for
// less. But with b below 160 and a + b above it, it asks for more than
// 22 ms, up to 662 ms a frame (a = 161, b = 0): such replies are held to
// 22 ms, so that a confused intercom cannot slow the call to a crawl.
int64_t pacing_interval_us(uint16_t a, uint16_t b)
{
	uint32_t sum = (uint32_t)a + b;
	if (sum == 160)
		return 20000;
	uint32_t us = kFastestUs + (uint32_t)a * 4000u / (uint32_t)(sum - 160u);
	return std::clamp<int64_t>(us, kFastestUs, kSlowestUs);
}

} // namespace rs485

IntercomCall::IntercomCall(RS485Link &link, const IntercomTable &table, Say say, PartyAddress to, bool local)
	: m_link(link), m_table(table), m_say(std::move(say)), m_address(to.address), m_listenOnly(to.listen_only),
	  m_local(local),
	  // A bus switched off during the call is said once; one that is off
	  // already gives the call no media to begin with.
	  m_busOffReported(!link.Enabled(to.address))
{
	// A network call tells the daemon when the terminal speaks; a local
	// call's speaker state is the echo canceller's.
	if (!local) {
		const int fd = speaker_state_create();
		m_spkFd = fd >= 0 ? fd : -1;
	}
}

IntercomCall::~IntercomCall()
{
	int fd = m_spkFd.exchange(-1);
	if (fd >= 0)
		close(fd);
}

void IntercomCall::ResetIntercom()
{
	m_link.queueRS485Pkt(m_address, CMD_RESET, nullptr, 0, 0, 0);
}

// The file goes in every case: a local call's too, whose echo canceller
// may not have removed it yet.
std::string IntercomCall::Finish()
{
	speaker_state_remove(m_spkFd.exchange(-1));
	return "\nMax intercom CPU load:\t" + std::to_string(m_maxCpuLoad.load()) + "%" + "\nRS485 CRC errors:\t\t" +
	       std::to_string(m_crcErrors.load());
}

bool IntercomCall::OnWriteMediaData(const void *data, size_t length, size_t &written)
{
	written = std::min<size_t>(length, RS485_MAX_AUDIO);
	// Local calls: the intercom's button is its press-to-talk key. Network
	// calls: nothing goes to a listen-only intercom.
	const bool hold_back = m_local ? m_table.CallButton() : m_listenOnly;
	const bool active = length != 0 && !hold_back;
	if (length)
		m_lastAudioAt = Clock::now().time_since_epoch().count();
	const uint8_t was = m_speaking.exchange(active);
	Clock::time_point sent_at;

	if (was != active) {
		speaker_state_write(m_spkFd, active);
		if (!active)
			std::this_thread::sleep_for(kQuietWrite);
		sent_at = Clock::now();
	} else if (active) {
		// Paced by the intercom: the reply to the last frame, then the
		// interval it asked for, counted from when the last frame was due
		// (late wake-ups must not add up to a slower pace than asked).
		m_writePaced.WaitFor(kPacedWait);
		const auto due = m_lastWriteTime + std::chrono::microseconds(m_writeDelay.load());
		const auto now = Clock::now();
		if (due > now) {
			std::this_thread::sleep_until(due);
			sent_at = due;
		} else // a frame a little late keeps the schedule; a later one starts it afresh
			sent_at = std::max(due, now - kCatchUp);
	} else {
		std::this_thread::sleep_for(kQuietWrite);
		sent_at = Clock::now();
	}
	m_lastWriteTime = sent_at;

	// The next write waits for the reply to this frame: what came before
	// goes first, lest the reply beat the clearing.
	m_writePaced.Reset();
	return !active || m_link.queueRS485Pkt(m_address, CMD_AUDIO_OUT, (const uint8_t *)data, (uint8_t)written, 0, 1);
}

bool IntercomCall::OnReadMediaData(void *data, size_t size, size_t &length)
{
	length = 0;
	NoticeBusOff();
	// Local calls: the intercom is heard while its button is held. Network
	// calls: only while nothing goes to it (half duplex).
	if (!m_local)
		NoticeNetworkSilence();
	const bool listen = m_local ? m_table.CallButton() : m_speaking == 0;
	const bool wanted = size != 0 && listen;

	m_rxSoundReady.Reset();
	if (wanted) {
		// Bit 0: 160-byte frames; bit 7: the intercom's microphone only.
		const uint8_t request = (uint8_t)((size == RS485_MAX_AUDIO ? 1 : 0) | (m_listenOnly ? 0x80 : 0));
		if (!m_link.queueRS485Pkt(m_address, CMD_AUDIO_IN, &request, 1, 0, 1))
			return false;
	}
	for (;;) {
		{
			std::lock_guard<std::mutex> hold(m_rxSoundMutex);
			while (!m_rxSound.empty()) {
				SndFrame frame = m_rxSound.front();
				m_rxSound.pop_front();
				if (frame.length == size) {
					memcpy(data, frame.data, size);
					length = size;
					break;
				}
			}
		}
		if (length)
			return true;
		if (size == 0) {
			std::this_thread::sleep_for(kNoReadSize);
			return true;
		}
		if (!m_rxSoundReady.WaitFor(kRxWait))
			return true; // nothing this time
	}
}

// A network peer that falls silent may send nothing at all (silence
// suppression, hold) rather than empty frames: the writes stop coming. Once
// nothing has come for a while the terminal no longer speaks, and the
// intercom is heard, as after a write of nothing.
void IntercomCall::NoticeNetworkSilence()
{
	const auto last = Clock::time_point(Clock::duration(m_lastAudioAt.load()));
	uint8_t speaking = 1;
	if (Clock::now() - last < kNetworkSilence || !m_speaking.compare_exchange_strong(speaking, 0))
		return;
	speaker_state_write(m_spkFd, false);
}

// A call whose bus is switched off goes on without audio: it is said once.
void IntercomCall::NoticeBusOff()
{
	if (m_link.Enabled(m_address) || m_busOffReported.exchange(true))
		return;
	m_say("\nCall to rs" + std::to_string(m_address) + ": its bus is switched off, no audio");
}

void IntercomCall::ProcessPacing(RS485Reply reply)
{
	if (reply.Length() >= 5)
		m_writeDelay = pacing_interval_us(reply.PacingA(), reply.PacingB());
	m_writePaced.Signal();
}

void IntercomCall::ProcessAudio(RS485Reply reply)
{
	const unsigned length = reply.Length();

	if (length >= 3 && length <= RS485_MAX_AUDIO + 2) {
		std::unique_lock<std::mutex> hold(m_rxSoundMutex);
		if (m_rxSound.size() * kRxFrameBytes >= kRxQueueBytes) {
			hold.unlock();
			if (!m_soundOverflowReported.exchange(true))
				m_say("\nSound Queue overflow");
			return;
		}
		m_rxSound.emplace_back((uint8_t)reply.AudioLength(), reply.Audio());
		hold.unlock();
		m_rxSoundReady.Signal();
	}
	// The load byte is there whenever the frame has a payload.
	if (length >= 2 && reply.CpuLoad() > m_maxCpuLoad)
		m_maxCpuLoad = reply.CpuLoad();
}

void IntercomCall::FrameCorrupted()
{
	uint32_t errors = m_crcErrors;
	while (errors != UINT32_MAX && !m_crcErrors.compare_exchange_weak(errors, errors + 1))
		;
}
