// The buses: the ports, the transmit queue and the transceiver thread, the
// only bus master.
#include "rs485_link.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ic_bus.h"
#include "rootpath.h"
#include "serial.h"

using namespace rs485;
using namespace std::chrono_literals;

namespace {

// How long an intercom may take to reply, from the first byte sent.
constexpr auto kAudioOutReply = 19ms;
constexpr auto kStatusReply = 10ms;
constexpr auto kAudioInReply = 60ms;
constexpr auto kTestResultReply = 10ms;
// The status reply that an audio frame asked for, counted likewise.
constexpr auto kSlotReply = 18ms;
// Idle wait for queued frames between two polls.
constexpr auto kIdleWait = 5ms;
constexpr auto kCallWait = 30ms;
// Once a frame has begun to arrive, its rest gets at least this long.
constexpr long kRestOfFrameUs = 3000;
// Reply waits in a row that get garbage before a line is taken for
// babbling, how often a babbling line is looked at, and for how many
// characters' time (5 ms at least) it must then be quiet.
constexpr unsigned kJunkInARow = 4;
constexpr auto kBabbleProbe = 250ms;
constexpr long kQuietChars = 32, kQuietMinUs = 5000;
// A port that hangs up again this soon after it was opened is left to the
// slower retry of ports that went away.
constexpr auto kHangupReopen = 1s;
// A port that takes no bytes for this long (a line that hangs) loses the frame.
constexpr auto kWriteLimit = 100ms;
// An enabled port that went away is tried again this often, once its
// device is there again.
constexpr auto kReopenInterval = 5s;
// What the transceiver may take at its end for the commands still queued.
constexpr auto kLastCommands = 200ms;
// With both ports closed, the transceiver looks again this often.
constexpr auto kClosedWait = 1000ms;
// The heartbeat is fresh for this many seconds after "hbt".
constexpr uint64_t kHeartbeatSeconds = 70;

long micros_until(Clock::time_point deadline)
{
	return (long)std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
}

std::string hex_bytes(const uint8_t *data, unsigned length)
{
	std::string text;
	char b[4];
	for (unsigned i = 0; i < length; i++) {
		snprintf(b, sizeof(b), " %x", data[i]);
		text += b;
	}
	return text;
}

// Ten bits a character.
long char_time_us(uint32_t baud)
{
	return (long)(10'000'000ull / std::max<uint32_t>(baud, 1));
}

// No reply goes on longer than the longest frame takes at the port's rate.
std::chrono::microseconds longest_frame(uint32_t baud)
{
	return std::chrono::microseconds(RS485_MAX_FRAME * char_time_us(baud));
}

std::chrono::milliseconds reply_window(uint8_t command)
{
	switch (command) {
	case CMD_AUDIO_OUT:
		return kAudioOutReply;
	case CMD_STATUS:
		return kStatusReply;
	case CMD_AUDIO_IN:
		return kAudioInReply;
	case CMD_TEST_RESULT:
		return kTestResultReply;
	default:
		return 0ms; // no reply
	}
}

} // namespace

RS485Link::RS485Link(Listener &listener, const RS485Settings &settings, Say say)
	: m_listener(listener), m_say(std::move(say)), m_cioBoard(settings.cioBoard),
	  m_boardRevision(settings.boardRevision), m_portsMask(settings.portsMask),
	  m_portBaud{ settings.portBaud[0], settings.portBaud[1] }, m_buttonLed(settings.buttonLed)
{
}

RS485Link::~RS485Link()
{
	Stop();
}

void RS485Link::Start()
{
	RS485Open(); // a port that fails stays closed; the rest works without it
	m_transceiverThread = std::make_unique<PartThread>(
		"RS485 Tranceiver", "rs485-txrx", ThreadPriority::Highest,
		[this](std::stop_token stop) { RS485Tranceiver(stop); });
}

void RS485Link::RequestStop()
{
	if (m_transceiverThread)
		m_transceiverThread->RequestStop();
}

void RS485Link::Stop()
{
	RequestStop();
	m_transceiverThread.reset();
	RS485Close();
	m_txQueue.Clear();
}

bool RS485Link::Enabled(unsigned address) const
{
	return address < RS485_INTERCOMS && (m_portsMask & (1u << rs485_port_of(address)));
}

void RS485Link::SetPortsMask(uint32_t mask)
{
	m_portsMask = mask;
	m_reopenPorts = true;
}

void RS485Link::SetPortBauds(const uint32_t rates[2])
{
	for (unsigned port = 0; port < 2; port++)
		if (rates[port])
			m_portBaud[port] = rates[port];
	m_reopenPorts = true;
}

bool RS485Link::OpenPort(unsigned port)
{
	char device[PATH_MAX];

	if (kel_pathf(device, sizeof(device), "/dev/ttyS%u", ic_bus_tty_number(port, m_cioBoard, m_boardRevision)) < 0)
		return false;
	int fd = serial_open_flags(device, (int)m_portBaud[port].load(), 8, 0, 0, 1, SERIAL_BUS);
	if (fd < 0)
		return false;
	m_portFd[port] = fd;
	m_portOpened[port] = Clock::now();
	m_line[port] = LineWatch{};
	return true;
}

void RS485Link::ClosePort(unsigned port)
{
	int fd = m_portFd[port].exchange(-1);
	if (fd >= 0)
		serial_close(fd);
}

bool RS485Link::RS485Open()
{
	for (unsigned port = 0; port < 2; port++)
		if ((m_portsMask & (1u << port)) && m_portFd[port] < 0 && !OpenPort(port))
			return false;
	return true;
}

void RS485Link::RS485Close()
{
	for (unsigned port = 0; port < 2; port++)
		ClosePort(port);
}

// A port that failed (a USB adapter that went away, a line that hung up)
// comes back by itself once its device is there again: an unattended
// terminal must not lose a bus until someone restarts it. A device that
// does not exist is not tried, so a bus without hardware says nothing.
void RS485Link::ReopenVanishedPorts(Clock::time_point now)
{
	for (unsigned port = 0; port < 2; port++) {
		if (!(m_portsMask & (1u << port)) || m_portFd[port] >= 0 || now < m_portRetry[port])
			continue;
		m_portRetry[port] = now + kReopenInterval;
		char device[PATH_MAX];
		struct stat st;
		if (kel_pathf(device, sizeof(device), "/dev/ttyS%u", ic_bus_tty_number(port, m_cioBoard, m_boardRevision)) >= 0 &&
		    stat(device, &st) == 0)
			OpenPort(port);
	}
}

bool RS485Link::queueRS485Pkt(uint8_t address, uint8_t command, const uint8_t *data, uint8_t dataLength,
			      uint8_t priority, uint8_t offset)
{
	// A frame for a bus that is off, or for no bus, goes nowhere.
	if (!Enabled(address))
		return true;
	switch (m_txQueue.Push(RS485Frame(address, command, data, dataLength, priority, offset))) {
	case RS485TxQueue::Result::Full:
		if (m_overflowReport.occurred())
			m_say("\nRS485 TX Queue overflow");
		return false;
	case RS485TxQueue::Result::Merged:
	case RS485TxQueue::Result::Queued:
		break;
	}
	m_txReady.Signal();
	return true;
}

// Writes a whole frame. A full transmit buffer is waited out, but not for
// ever: a line that takes nothing loses the frame rather than the bus.
bool RS485Link::SendBytes(unsigned port, const uint8_t *data, unsigned length)
{
	const auto give_up = Clock::now() + kWriteLimit;
	int fd = m_portFd[port];
	unsigned done = 0;

	while (done < length) {
		ssize_t n = write(fd, data + done, length - done);
		if (n > 0) {
			done += (unsigned)n;
			continue;
		}
		int err = n < 0 ? errno : EAGAIN;
		if (err == EINTR)
			continue;
		if (err == EAGAIN) {
			// The transmit buffer is full: wait until it takes more, which
			// on a working line is about a character's time away.
			long left_ms = (long)std::chrono::duration_cast<std::chrono::milliseconds>(give_up - Clock::now()).count();
			pollfd p = { fd, POLLOUT, 0 };
			if (left_ms > 0 && poll(&p, 1, (int)left_ms) >= 0)
				continue;
		}
		// Once per outage: a dead line would repeat it for every frame.
		if (!m_writeFailing[port]) {
			m_writeFailing[port] = true;
			m_say(std::string("\nError writing RS485 port: ") + strerror(err));
		}
		return false;
	}
	m_writeFailing[port] = false;
	return true;
}

// Garbage in reply after reply (a unit stuck in transmit, a line that
// picks up noise) makes every wait on that line as long as it may be; the
// other bus would lose its polls and a call on it its pace. Such a line is
// left alone until it is quiet again: its intercoms read as absent, which
// is all that can be known of them.
void RS485Link::NoteJunk(unsigned port, bool junk)
{
	LineWatch &line = m_line[port];
	if (!junk) {
		line.junk = 0;
		return;
	}
	if (++line.junk < kJunkInARow || line.babbling)
		return;
	line.babbling = true;
	line.next_probe = Clock::now() + kBabbleProbe;
	if (m_babbleReport[port].occurred())
		m_say("\nRS485 port " + std::to_string(port) +
			  " babbling: its intercoms are taken as absent until it is quiet");
}

void RS485Link::ProbeBabblingPorts(Clock::time_point now)
{
	for (unsigned port = 0; port < 2; port++) {
		LineWatch &line = m_line[port];
		const int fd = m_portFd[port];
		if (!line.babbling || fd < 0 || now < line.next_probe)
			continue;
		serial_flush(fd);
		const long quiet_us = std::max(kQuietMinUs, kQuietChars * char_time_us(m_portBaud[port]));
		int r = serial_wait_us(fd, quiet_us);
		if (r == -ETIMEDOUT) {
			line = LineWatch{};
			if (m_quietReport[port].occurred())
				m_say("\nRS485 port " + std::to_string(port) + " quiet again");
			continue;
		}
		line.next_probe = Clock::now() + kBabbleProbe;
		// Still talking, or hung up: a read tells which.
		uint8_t scratch[RS485_MAX_FRAME];
		ssize_t n = r == 0 ? read(fd, scratch, sizeof(scratch)) : -1;
		if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
			HangUp(port);
	}
}

// A line that hung up (an adapter unplugged) is opened again at once; one
// that keeps hanging up is left to the slower retry of vanished ports.
// The other bus is not disturbed.
void RS485Link::HangUp(unsigned port)
{
	const auto now = Clock::now();
	const bool again = now - m_portOpened[port] < kHangupReopen;
	ClosePort(port);
	m_portRetry[port] = now + kReopenInterval;
	if (!again)
		OpenPort(port);
}

// Whether a frame to address can draw a reply.
bool RS485Link::Reachable(unsigned address) const
{
	const unsigned port = rs485_port_of(address);
	return address < RS485_INTERCOMS && m_portFd[port] >= 0 && !m_line[port].babbling;
}

void RS485Link::SayWhatWasCounted()
{
	for (auto *report : { &m_corruptReport, &m_truncatedReport, &m_overflowReport, &m_babbleReport[0],
			      &m_babbleReport[1], &m_quietReport[0], &m_quietReport[1] }) {
		std::string text = report->summary();
		if (!text.empty())
			m_say(text);
	}
}

bool RS485Link::RS485ReceiveReply(uint8_t address, uint8_t *buffer, unsigned size, Clock::time_point deadline,
					  unsigned count, uint8_t &code)
{
	const unsigned port = rs485_port_of(address);
	// A frame that has begun to arrive is read to its end, so that its rest
	// is never taken for the start of the next reply; but no reply ends
	// later than the longest frame after its window (or after its first
	// byte, when that came later). A line still talking then is babbling.
	auto limit = Clock::time_point::max();
	unsigned held = 0;

	code = 0;
	for (;;) {
		const int fd = m_portFd[port];
		if (fd < 0)
			return false;
		if (Clock::now() >= limit) {
			serial_flush(fd);
			NoteJunk(port, true);
			return count == 0;
		}
		long remaining = micros_until(deadline);
		if (held && remaining < kRestOfFrameUs)
			remaining = kRestOfFrameUs;
		if (limit != Clock::time_point::max())
			remaining = std::min(remaining, micros_until(limit));
		remaining = std::max(remaining, 0L);

		int r = serial_wait_us(fd, remaining);
		if (r == -ETIMEDOUT) {
			NoteJunk(port, held != 0);
			if (!held)
				return count == 0;
			if (held >= 3)
				code = RS485Reply(buffer).Code();
			if (m_truncatedReport.occurred())
				m_say("\nTruncated packet:" + hex_bytes(buffer, held));
			return count == 0;
		}
		if (held == size) {
			serial_flush(fd);
			NoteJunk(port, true);
			return false;
		}
		int err = 0;
		if (r == 0) {
			ssize_t n = read(fd, buffer + held, size - held);
			if (n > 0) {
				if (limit == Clock::time_point::max())
					limit = std::max(deadline, Clock::now()) + longest_frame(m_portBaud[port]);
				held += (unsigned)n;
			} else
				err = n < 0 ? errno : EIO; // ready, yet nothing to read: the line hung up
		} else
			err = -r;
		if (err && err != EAGAIN && err != EINTR) {
			HangUp(port);
			return false;
		}

		// Every complete frame held, in order.
		while (const unsigned length = rs485_complete_frame(buffer, held)) {
			code = RS485Reply(buffer).Code();
			if (crc8_smbus(buffer, length) != 0) {
				if (m_corruptReport.occurred())
					m_say("\nCorrupted packet:" + hex_bytes(buffer, length));
				m_listener.FrameCorrupted();
				serial_flush(fd);
				NoteJunk(port, true);
				return false;
			}
			if (count)
				count--;
			m_listener.FrameReceived(address, buffer);
			memmove(buffer, buffer + length, held - length);
			held -= length;
		}
		if (count == 0 && held == 0) {
			NoteJunk(port, false);
			return true;
		}
	}
}

uint8_t RS485Link::PollFlags() const
{
	const bool fresh = monotonic_seconds() < m_heartbeatTime + kHeartbeatSeconds;
	return (uint8_t)((m_buttonLed ? 2 : 0) | (fresh ? 1 : 0));
}

void RS485Link::RS485Tranceiver(std::stop_token stop)
{
	uint8_t counter = 0; // the address polled last
	uint8_t buffer[RS485_MAX_FRAME];
	bool accelerate = false;
	RS485Frame frame(0, 0, nullptr, 0, 0, 0);

	auto next_poll = [&] {
		if (counter == 0)
			m_listener.PollCycleDone();
		counter = (uint8_t)((counter + 1) % RS485_INTERCOMS);
		return counter;
	};
	auto closed = [this](unsigned address) { return m_portFd[rs485_port_of(address)] < 0; };

	while (!stop.stop_requested()) {
		if (m_reopenPorts.exchange(false)) {
			RS485Close();
			RS485Open();
		}
		const auto now = Clock::now();
		ReopenVanishedPorts(now);
		ProbeBabblingPorts(now);
		SayWhatWasCounted();
		if (m_portFd[0] < 0 && m_portFd[1] < 0) {
			for (unsigned a = 0; a < RS485_INTERCOMS; a++)
				m_listener.IntercomSilent((uint8_t)a);
			sleep_for(stop, kClosedWait);
			continue;
		}
		m_txReady.WaitFor(m_callMode != CallMode::None ? kCallWait : kIdleWait);

		// The queue first; with nothing queued, the next poll.
		int status_from = -1; // the address whose status reply this frame asks for
		if (!m_txQueue.Pop(frame)) {
			uint8_t flags = PollFlags();
			frame = RS485Frame(next_poll(), CMD_STATUS, &flags, 1, 1, 0);
			status_from = frame.address;
		} else if (frame.IsAudio()) {
			// Audio frames carry on polling: every other one during a local
			// call asks the intercom in the call for its own status (its
			// button steers the audio), the others poll the next address.
			const bool local = m_callMode == CallMode::Local;
			const uint8_t slot = accelerate && local ? frame.address : next_poll();
			accelerate = !accelerate;
			status_from = slot;
			if (rs485_port_of(slot) != rs485_port_of(frame.address)) {
				// The poll goes out by itself on the other bus.
				frame.SetPollSlot(POLL_SLOT_NONE);
				unsigned other = rs485_port_of(slot);
				if (!Reachable(slot)) {
					m_listener.IntercomSilent(slot);
					status_from = -1;
				} else {
					uint8_t flags = PollFlags(), poll[5];
					RS485Frame(slot, CMD_STATUS, &flags, 1, 1, 0).Serialize(poll);
					serial_flush(m_portFd[other]);
					SendBytes(other, poll, sizeof(poll));
				}
			} else if (slot == frame.address && local)
				frame.SetPollSlot(POLL_SLOT_SELF);
			else
				frame.SetPollSlot(rs485_bus_address(slot));
		}

		// Send it.
		const uint8_t address = frame.address;
		const unsigned port = rs485_port_of(address);
		if (address >= RS485_INTERCOMS)
			continue;
		// A babbling line still gets the commands that want no reply: they
		// cost it no wait, and may get through between its bursts.
		const auto window = reply_window(frame.command);
		if (closed(address) || (window != 0ms && !Reachable(address))) {
			m_listener.IntercomSilent(address);
			continue;
		}
		uint8_t wire[RS485_MAX_FRAME];
		frame.Serialize(wire);
		serial_flush(m_portFd[port]); // a late reply to an earlier frame is no reply to this one
		const auto start = Clock::now();
		SendBytes(port, wire, frame.WireSize());

		// The reply.
		if (window == 0ms)
			continue;
		uint8_t code;
		RS485ReceiveReply(address, buffer, sizeof(buffer), start + window, 1, code);
		if (code == CMD_STATUS || status_from < 0)
			continue;
		if (frame.command == CMD_STATUS) {
			m_listener.IntercomSilent(address); // no answer: absent
			continue;
		}
		if (frame.IsAudio()) {
			RS485ReceiveReply((uint8_t)status_from, buffer, sizeof(buffer), start + kSlotReply, 1, code);
			if (code != CMD_STATUS)
				m_listener.IntercomSilent((uint8_t)status_from);
		}
	}
	SendLastCommands();
}

// Commands still queued go out before the end: the reset of a call that
// the console's own end released, most of all, lest the intercom stay in
// the call.
void RS485Link::SendLastCommands()
{
	const auto give_up = Clock::now() + kLastCommands;
	RS485Frame frame(0, 0, nullptr, 0, 0, 0);

	while (Clock::now() < give_up && m_txQueue.Pop(frame)) {
		const unsigned port = rs485_port_of(frame.address);
		if (frame.IsAudio() || frame.address >= RS485_INTERCOMS || m_portFd[port] < 0)
			continue;
		uint8_t wire[RS485_MAX_FRAME];
		frame.Serialize(wire);
		SendBytes(port, wire, frame.WireSize());
	}
}
