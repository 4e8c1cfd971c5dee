// Calls to intercoms: the call slot, the media formats, the audio both
// ways with its pacing, which way speech flows, and the end of a call.
#include "rs485_endpoint.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "call.h"
#include "call_manager.h"
#include "paths.h"
#include "rootpath.h"

using namespace rs485;
using namespace std::chrono_literals;

namespace {

// A call that finds the slot taken waits this long for it.
constexpr auto kSlotWait = 4000ms;
// Audio bytes of one frame on the bus: 20 ms of G.711.
constexpr size_t kMaxAudio = 160;
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

bool is_local_party(const std::string &party_a)
{
	return party_a.rfind("pc:", 0) == 0;
}

} // namespace

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

RS485Connection::RS485Connection(callfw::Call &call, OpalRS485EndPoint &endpoint, std::string party)
	: LocalConnection(call, endpoint, std::move(party)), rs485_(endpoint)
{
}

// The waiter holds no reference to the connection, so this never runs on
// the waiter's own thread.
RS485Connection::~RS485Connection()
{
	cancelled_ = true;
	rs485_.m_callBusy.cancel_waits();
	if (waiter_.joinable())
		waiter_.join();
}

void RS485Connection::start()
{
	rs485_.StartCall(*this);
}

void RS485Connection::release(callfw::CallEndReason reason)
{
	cancelled_ = true;
	rs485_.m_callBusy.cancel_waits();
	if (waiter_.joinable())
		waiter_.join();
	LocalConnection::release(reason);
}

callfw::ConnectionPtr OpalRS485EndPoint::make_connection(callfw::Call &call, const std::string &party)
{
	return std::make_shared<RS485Connection>(call, *this, prefix() + ":" + party);
}

// On the manager's worker thread, like every start of a leg. The slot is
// either free, and the call is set up at once, or the wait for it runs on
// the connection's own thread.
void OpalRS485EndPoint::StartCall(RS485Connection &connection)
{
	callfw::Call &call = connection.call();
	const bool local = is_local_party(call.party_a());

	if (m_callBusy.try_take()) {
		SetUpCall(connection, local);
		return;
	}
	// A local call gives way to any other; its release frees the slot.
	if (m_localCall) {
		for (auto &other : manager().calls())
			if (other.get() != &call)
				other->clear(callfw::CallEndReason::Preempted);
	}
	WaitForSlot(connection, local);
}

void OpalRS485EndPoint::WaitForSlot(RS485Connection &connection, bool local)
{
	std::weak_ptr<callfw::Connection> weak = connection.weak_from_this();
	connection.waiter_ = std::thread([this, &connection, weak, local] {
		pthread_setname_np(pthread_self(), "rs485-call-wait");
		bool got = m_callBusy.take_until(Clock::now() + kSlotWait,
						 [&connection] { return connection.cancelled_.load(); });
		// The rest happens on the worker, in order with the release of the
		// call that held the slot (and with the manager's clearing of it).
		manager().post([this, weak, got, local] {
			auto held = weak.lock();
			auto *c = static_cast<RS485Connection *>(held.get());
			if (!c || c->cancelled_) {
				if (got)
					m_callBusy.give(); // the call went while it waited
				return;
			}
			if (!got) {
				Broadcast("\nRS485EP busy, connection refused: " + c->party());
				c->refuse(callfw::CallEndReason::Busy);
				return;
			}
			SetUpCall(*c, local);
		});
	});
}

// The slot is this connection's from here until OnReleased().
void OpalRS485EndPoint::SetUpCall(RS485Connection &connection, bool local)
{
	connection.holds_slot_ = true;
	m_speaking = 0xFF; // neither state: the first write counts as a change
	{
		std::lock_guard<std::mutex> hold(m_rxSoundMutex);
		m_rxSound.clear();
	}
	m_crcErrors = 0;
	m_maxCpuLoad = 0;
	m_soundOverflowReported = false;
	m_localCall = local;
	m_callKind = local ? 1 : 2;

	PartyAddress to = parse_party(connection.party());
	m_listenOnly = to.listen_only;
	// A bus switched off during the call is said once; one that is off
	// already gives the call no media to begin with.
	m_busOffReported = to.address >= RS485_INTERCOMS || !(m_portsMask & (1u << rs485_port_of(to.address)));
	m_currentIc = to.address;

	// A network call tells the daemon when the terminal speaks; a local
	// call's speaker state is the echo canceller's.
	if (!local)
		m_spkFd = open(kel_path(SPEAKER_STATE_FILE), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0444);

	// The framework's own set-up of the leg: offered to the application
	// (or, for a call placed from here, up at once). A refusal releases
	// the leg, and with it the slot.
	connection.proceed();
}

void OpalRS485EndPoint::on_release(callfw::Connection &connection)
{
	auto &c = static_cast<RS485Connection &>(connection);
	if (!c.holds_slot_)
		return; // it never had the slot: nothing of it to undo
	c.holds_slot_ = false;
	OnReleased(connection);
}

void OpalRS485EndPoint::OnReleased(callfw::Connection &connection)
{
	(void)connection;
	const uint8_t ic = m_currentIc;
	m_callKind = 0;
	m_localCall = false;

	queueRS485Pkt(ic, CMD_RESET, nullptr, 0, 0, 0);
	m_currentIc = RS485_NO_INTERCOM;
	int fd = m_spkFd.exchange(-1);
	if (fd >= 0)
		close(fd);
	unlink(kel_path(SPEAKER_STATE_FILE));
	m_callBusy.give();
	Broadcast("\nMax intercom CPU load:\t" + std::to_string(m_maxCpuLoad.load()) + "%" +
		  "\nRS485 CRC errors:\t\t" + std::to_string(m_crcErrors.load()));
}

callfw::MediaFormatList OpalRS485EndPoint::GetMediaFormats() const
{
	const uint8_t ic = m_currentIc;
	if (ic >= RS485_INTERCOMS || !(m_portsMask & (1u << rs485_port_of(ic))))
		return {};
	callfw::MediaFormatList formats;
	// 64 kbit/s of G.711 needs the faster lines.
	if (m_portBaud[rs485_port_of(ic)] >= 115200)
		formats.push_back(callfw::g711_ulaw());
	formats.push_back(callfw::gsm0610());
	return formats;
}

bool OpalRS485EndPoint::OnWriteMediaData(const callfw::LocalConnection &connection, const callfw::MediaStream &stream,
					 const void *data, size_t length, size_t &written)
{
	(void)connection;
	(void)stream;
	written = std::min(length, kMaxAudio);
	// Local calls: the intercom's button is its press-to-talk key. Network
	// calls: nothing goes to a listen-only intercom.
	const bool hold_back = m_localCall ? m_currentCallButton.load() : m_listenOnly.load();
	const bool active = length != 0 && !hold_back;
	if (length)
		m_lastAudioAt = Clock::now().time_since_epoch().count();
	const uint8_t was = m_speaking.exchange(active);
	Clock::time_point sent_at;

	if (was != active) {
		int fd = m_spkFd;
		if (fd >= 0)
			(void)!pwrite(fd, active ? "1" : "0", 1, 0);
		if (!active)
			std::this_thread::sleep_for(kQuietWrite);
		sent_at = Clock::now();
	} else if (active) {
		// Paced by the intercom: the reply to the last frame, then the
		// interval it asked for, counted from when the last frame was due
		// (late wake-ups must not add up to a slower pace than asked).
		m_writePaced.wait(kPacedWait);
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
	m_writePaced.reset();
	return !active || queueRS485Pkt(m_currentIc, CMD_AUDIO_OUT, (const uint8_t *)data, (uint8_t)written, 0, 1);
}

bool OpalRS485EndPoint::OnReadMediaData(callfw::LocalConnection &connection, callfw::MediaStream &stream, void *data,
					size_t size, size_t &length)
{
	(void)connection;
	(void)stream;
	length = 0;
	// Local calls: the intercom is heard while its button is held. Network
	// calls: only while nothing goes to it (half duplex).
	if (!m_localCall)
		NoticeNetworkSilence();
	const bool listen = m_localCall ? m_currentCallButton.load() : m_speaking == 0;
	const bool wanted = size != 0 && listen;

	m_rxSoundReady.reset();
	if (wanted) {
		m_audioRequest = (uint8_t)((size == kMaxAudio ? 1 : 0) | (m_listenOnly ? 0x80 : 0));
		uint8_t request = m_audioRequest;
		if (!queueRS485Pkt(m_currentIc, CMD_AUDIO_IN, &request, 1, 0, 1))
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
		if (!m_rxSoundReady.wait(kRxWait))
			return true; // nothing this time
	}
}

// A network peer that falls silent may send nothing at all (silence
// suppression, hold) rather than empty frames: the writes stop coming. Once
// nothing has come for a while the terminal no longer speaks, and the
// intercom is heard, as after a write of nothing.
void OpalRS485EndPoint::NoticeNetworkSilence()
{
	const auto last = Clock::time_point(Clock::duration(m_lastAudioAt.load()));
	uint8_t speaking = 1;
	if (Clock::now() - last < kNetworkSilence || !m_speaking.compare_exchange_strong(speaking, 0))
		return;
	int fd = m_spkFd;
	if (fd >= 0)
		(void)!pwrite(fd, "0", 1, 0);
}

void OpalRS485EndPoint::ProcessPacing(const uint8_t *frame)
{
	if (frame[1] >= 5)
		m_writeDelay = pacing_interval_us((uint16_t)(frame[3] | frame[4] << 8), (uint16_t)(frame[5] | frame[6] << 8));
	m_writePaced.signal();
}

void OpalRS485EndPoint::ProcessAudio(const uint8_t *frame)
{
	const uint8_t length = frame[1];

	if (length >= 3 && length <= kMaxAudio + 2) {
		std::unique_lock<std::mutex> hold(m_rxSoundMutex);
		if (m_rxSound.size() * kRxFrameBytes >= kRxQueueBytes) {
			hold.unlock();
			if (!m_soundOverflowReported.exchange(true))
				Broadcast("\nSound Queue overflow");
			return;
		}
		m_rxSound.emplace_back((uint8_t)(length - 2), frame + 4);
		hold.unlock();
		m_rxSoundReady.signal();
	}
	// The load byte is there whenever the frame has a payload.
	if (length >= 2 && frame[3] > m_maxCpuLoad)
		m_maxCpuLoad = frame[3];
}
