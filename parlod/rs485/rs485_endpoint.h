// The intercom units on the RS-485 buses as call parties: "rs485:rs<n>".
//
// Up to 128 intercoms on two buses (addresses 0-63 on port 0, 64-127 on
// port 1). The terminal is the only bus master: the transceiver thread
// polls every address in turn, sends the frames that the other threads
// queue, collects the replies and hands each valid frame to
// ProcessIncoming(). The monitor publishes the intercoms' states in the
// states file, the control thread serves the control FIFO, the self-test
// thread runs the tests it requests. One intercom call exists at a time:
// its audio moves through the transmit queue towards the intercom and
// through the received-audio queue back, paced by the intercom's replies.
//
// Sources: rs485_endpoint.cpp (construction, configuration, shutdown),
// rs485_link.cpp (ports, transmit queue, transceiver), rs485_monitor.cpp
// (replies, states file), rs485_calls.cpp (calls and audio),
// rs485_control.cpp (control FIFO, self-test).
//
// Threads, all owned by the endpoint: started by the constructor, each
// ended by its own stop event and joined (10 s at most) by shutdown():
//   "RS485 Tranceiver"           RS485Tranceiver()   highest priority
//   "RS485 Intercoms Monitor"    MonitorIntercoms()
//   "RS485 Intercoms Control"    ControlIntercoms()
//   "RS485 Intercoms Self-Test"  TestIntercoms()
// Besides them: the call manager's worker sets calls up and releases them
// (StartCall, OnReleased); the media patches' threads call the media
// callbacks; and an intercom connection that finds the call slot taken
// waits for it on a thread of its own (RS485Connection), so that neither
// the worker nor a network stack's thread is held up.
//
// Only the transceiver touches the serial ports once the threads run. The
// locks, none of which is held while another is taken: the transmit
// queue's, the received-audio queue's (m_rxSoundMutex), the call slot's and
// those of the events; the manager's (Broadcast, the list of calls) and the
// configuration cache's are taken with none of them held. Values that
// several threads share without a lock are atomic.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "endpoint.h"
#include "paths.h"
#include "repeated_report.h"
#include "rs485_frame.h"
#include "sync_point.h"
#include "tx_queue.h"
#include "worker_thread.h"

#define IC_CONTROL_FIFO "/run/parlod-ic-ctl"

class OpalRS485EndPoint;

// One received audio frame.
struct SndFrame {
	uint8_t length; // 1-160
	uint8_t data[160];

	SndFrame(uint8_t length, const uint8_t *data);
};

// The leg of a call that reaches an intercom. Starting it takes the
// endpoint's call slot; when the slot is held by another call, a thread of
// the connection's own waits for it (joined by release() or destruction).
class RS485Connection : public callfw::LocalConnection {
public:
	RS485Connection(callfw::Call &call, OpalRS485EndPoint &endpoint, std::string party);
	~RS485Connection() override;

	void start() override;
	void release(callfw::CallEndReason reason) override;

private:
	friend class OpalRS485EndPoint;

	// The framework's set-up of a local leg, once the slot is ours.
	void proceed() { LocalConnection::start(); }
	void refuse(callfw::CallEndReason reason) { released(reason); }

	OpalRS485EndPoint &rs485_;
	std::atomic<bool> cancelled_{ false }; // released: stop waiting
	bool holds_slot_ = false;             // the worker thread's
	std::thread waiter_;
};

class OpalRS485EndPoint : public callfw::LocalEndpoint {
public:
	OpalRS485EndPoint(callfw::CallManager &manager, const std::string &prefix);
	~OpalRS485EndPoint() override;

	// The framework's operations.
	callfw::ConnectionPtr make_connection(callfw::Call &call, const std::string &party) override;
	callfw::MediaFormatList local_formats() const override { return GetMediaFormats(); }
	bool on_read_media_data(callfw::LocalConnection &connection, callfw::MediaStream &stream, void *data,
				size_t size, size_t &length) override
	{
		return OnReadMediaData(connection, stream, data, size, length);
	}
	bool on_write_media_data(const callfw::LocalConnection &connection, const callfw::MediaStream &stream,
				 const void *data, size_t length, size_t &written) override
	{
		return OnWriteMediaData(connection, stream, data, length, written);
	}
	void on_release(callfw::Connection &connection) override;
	// Stops and joins the threads (the transceiver first sends the
	// commands still queued, such as the reset of a call just released),
	// closes the ports, empties the queues. Idempotent.
	void shutdown() override;

	// Calls and audio (rs485_calls.cpp).
	void StartCall(RS485Connection &connection);
	void OnReleased(callfw::Connection &connection);
	callfw::MediaFormatList GetMediaFormats() const;
	bool OnWriteMediaData(const callfw::LocalConnection &connection, const callfw::MediaStream &stream,
			      const void *data, size_t length, size_t &written);
	bool OnReadMediaData(callfw::LocalConnection &connection, callfw::MediaStream &stream, void *data, size_t size,
			     size_t &length);

	// The thread bodies.
	virtual void MonitorIntercoms();
	virtual void RS485Tranceiver();
	virtual void ControlIntercoms();
	virtual void TestIntercoms();

	// The link (rs485_link.cpp).
	bool RS485Open();
	void RS485Close();
	bool queueRS485Pkt(uint8_t address, uint8_t command, const uint8_t *data, uint8_t dataLength,
			   uint8_t priority, uint8_t offset);
	// Reads replies on the port of address until count valid frames have
	// been handed to ProcessIncoming(); false on timeout, a full buffer or
	// a CRC error. code: the command code of the last frame seen (0 when
	// nothing came). On the transceiver thread only.
	bool RS485ReceiveReply(uint8_t address, uint8_t *buffer, unsigned size, rs485::Clock::time_point deadline,
			       unsigned count, uint8_t &code);
	// A valid frame from the port of address (rs485_monitor.cpp).
	bool ProcessIncoming(uint8_t address, const uint8_t *frame);

	void Broadcast(const std::string &text);

private:
	friend class RS485Connection;

	static constexpr std::chrono::milliseconds kJoinLimit{ 10000 };

	bool OpenPort(unsigned port);
	void ClosePort(unsigned port);
	void HangUp(unsigned port);
	void ReopenVanishedPorts(rs485::Clock::time_point now);
	void NoteJunk(unsigned port, bool junk);
	void ProbeBabblingPorts(rs485::Clock::time_point now);
	bool Reachable(unsigned address) const;
	void SayWhatWasCounted();
	void NoticeCallBusOff();
	bool SendBytes(unsigned port, const uint8_t *data, unsigned length);
	void ProcessStatus(uint8_t address, const uint8_t *frame);
	void ProcessPacing(const uint8_t *frame);
	void ProcessAudio(const uint8_t *frame);
	void SetUpCall(RS485Connection &connection, bool local);
	void WaitForSlot(RS485Connection &connection, bool local);
	void ExecuteControlLine(std::string_view line);
	void NoticeNetworkSilence();
	// The rates "ports_baud" of the configuration gives the ports.
	void ReadPortBauds(std::string_view list);

	// The ports.
	std::atomic<int32_t> m_portFd[2];
	std::atomic<uint32_t> m_portsMask{ 0 };
	std::atomic<uint32_t> m_portBaud[2];
	std::atomic<bool> m_reopenPorts{ false };
	rs485::Clock::time_point m_portRetry[2]; // the transceiver's
	rs485::Clock::time_point m_portOpened[2]; // the transceiver's
	bool m_writeFailing[2] = {};            // the transceiver's: a write error was reported
	// The transceiver's: a line that talks out of turn (a unit stuck in
	// transmit) is left alone, its intercoms absent, until it is quiet.
	struct LineWatch {
		unsigned junk = 0; // reply waits in a row that got garbage
		bool babbling = false;
		rs485::Clock::time_point next_probe;
	} m_line[2];
	// Faults that line noise repeats for every frame, and a line that
	// babbles on and off.
	callfw::RepeatedReport m_corruptReport{ "Corrupted packet" }, m_truncatedReport{ "Truncated packet" },
		m_overflowReport{ "RS485 TX Queue overflow" };
	callfw::RepeatedReport m_babbleReport[2]{ { "RS485 port 0 babbling" }, { "RS485 port 1 babbling" } };
	callfw::RepeatedReport m_quietReport[2]{ { "RS485 port 0 quiet again" }, { "RS485 port 1 quiet again" } };

	// The threads and their stop events.
	std::unique_ptr<rs485::WorkerThread> m_transceiverThread, m_monitorThread, m_controlThread, m_testThread;
	rs485::StopEvent m_stopTransceiver, m_stopMonitor, m_stopControl, m_stopTest;
	bool m_shutDown = false;

	// Transmit queue.
	RS485TxQueue m_txQueue;
	rs485::SyncPoint m_txReady;

	// Audio towards the intercom.
	rs485::Clock::time_point m_lastWriteTime; // the write thread's
	std::atomic<rs485::Clock::rep> m_lastAudioAt{ 0 }; // when audio for the intercom last came
	rs485::SyncPoint m_writePaced;
	std::atomic<int64_t> m_writeDelay{ 20000 }; // microseconds

	// Audio from the intercom.
	std::deque<SndFrame> m_rxSound;
	std::mutex m_rxSoundMutex;
	rs485::SyncPoint m_rxSoundReady;

	// The intercoms.
	rs485::SyncPoint m_scanDone;
	std::atomic<uint16_t> m_icState[RS485_INTERCOMS];

	// The call.
	std::atomic<uint32_t> m_crcErrors{ 0 };
	std::atomic<uint8_t> m_maxCpuLoad{ 0 };
	std::atomic<bool> m_soundOverflowReported{ false };
	std::atomic<uint8_t> m_speaking{ 0 };
	std::atomic<int32_t> m_spkFd{ -1 };
	uint8_t m_audioRequest = 0;
	std::atomic<uint8_t> m_currentIc{ RS485_NO_INTERCOM };
	rs485::CallSlot m_callBusy;
	std::atomic<bool> m_buttonLed{ true };
	std::atomic<bool> m_listenOnly{ false };
	std::atomic<bool> m_localCall{ false };
	std::atomic<uint8_t> m_callKind{ 0 };
	std::atomic<bool> m_currentCallButton{ false };
	std::atomic<bool> m_busOffReported{ false }; // for the call in progress

	// Control and self-test.
	std::atomic<uint64_t> m_heartbeatTime{ 0 };
	std::atomic<uint64_t> m_testRequest[2];
	std::atomic<uint16_t> m_testResult[RS485_INTERCOMS];
	std::atomic<uint64_t> m_testTime[RS485_INTERCOMS];

	// The hardware.
	bool m_cioBoard = false;
	int32_t m_boardRevision = 0;
};

// Helpers with no state of their own, for the endpoint and its tests.
namespace rs485 {

// Monotonic whole seconds (the clock of the heartbeat and the test times).
uint64_t monotonic_seconds();

// A number as the console's text inputs give them: unsigned, "0x"
// hexadecimal, a leading 0 octal, ignoring what follows the digits;
// anything else reads as 0. Saturates instead of wrapping.
uint64_t parse_number(std::string_view text);

// "9600,57600", as the command "bauds" and the key "ports_baud" give it:
// the items that are not empty, at most two (port 0's, then port 1's).
// An item is valid when it is a whole number (automatic base) that is 0,
// which leaves the port's rate as it is, or a rate the ports take
// (serial_baud_supported()). Returns the count.
struct BaudItem {
	std::string_view text;
	uint32_t rate;
	bool valid;
};
unsigned parse_baud_list(std::string_view text, BaudItem items[2]);

// The pacing interval in microseconds that an intercom's audio-out reply
// asks for.
int64_t pacing_interval_us(uint16_t a, uint16_t b);

// The intercom a party names ("rs485:rs12", "rs12", "rs1012" listen-only).
struct PartyAddress {
	uint8_t address;
	bool listen_only;
};
PartyAddress parse_party(std::string_view party);

// The lines of the states file.
void append_state_line(std::string &text, unsigned address, uint16_t state);
void append_test_line(std::string &text, unsigned address, uint16_t result, uint64_t age);
// The report of a reset cause that changed, or "" when there is none.
std::string reset_report(unsigned address, uint16_t old_state, uint8_t status, uint8_t cause);

// The control FIFO's lines end in CR, LF or CR LF; a line longer than
// one read is no command.
constexpr size_t kControlLineMax = 1024;

} // namespace rs485
