// The intercom buses: the two ports, the transmit queue and the
// transceiver thread, the only bus master.
//
// The transceiver polls every address in turn, sends the frames that
// others queue, collects the replies and hands each valid frame up to its
// Listener, which also hears of intercoms that stay silent. What goes into
// every poll (the button LED setting and whether a heartbeat came lately)
// is the link's own, and so are the ports, the rates and a line's watch
// for babbling. Once the transceiver runs, it alone touches the ports.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "repeated_report.h"
#include "rs485_config.h"
#include "rs485_frame.h"
#include "rs485_threads.h"
#include "tx_queue.h"

class RS485Link {
public:
	// What the transceiver reports, on its own thread; none of it may wait.
	class Listener {
	public:
		// A valid frame, read in reply to a frame for address.
		virtual void FrameReceived(uint8_t address, const uint8_t *frame) = 0;
		// The intercom did not answer its poll, or its port is closed or
		// babbling: it is absent.
		virtual void IntercomSilent(uint8_t address) = 0;
		// Every address has been polled once more.
		virtual void PollCycleDone() = 0;
		// A frame came with a bad CRC.
		virtual void FrameCorrupted() = 0;

	protected:
		~Listener() = default;
	};

	// The call on the buses, if any: while one is up the transceiver waits
	// longer for frames between its polls, and during a local call every
	// other audio frame asks the intercom in the call for its status.
	enum class CallMode { None, Local, Network };

	using Say = std::function<void(const std::string &)>;

	RS485Link(Listener &listener, const RS485Settings &settings, Say say);
	~RS485Link();
	RS485Link(const RS485Link &) = delete;
	RS485Link &operator=(const RS485Link &) = delete;

	// Opens the enabled ports (one that fails stays closed) and starts the
	// transceiver.
	void Start();
	void RequestStop();
	// Joins the transceiver, which first sends the commands still queued
	// (such as the reset of a call just released), closes the ports and
	// empties the queue.
	void Stop();

	// Any thread. False only when the queue is full; a frame for a bus
	// that is off, or for no bus, vanishes.
	bool queueRS485Pkt(uint8_t address, uint8_t command, const uint8_t *data, uint8_t dataLength,
			   uint8_t priority, uint8_t offset);

	// The control FIFO's settings. New ports and rates take effect at the
	// transceiver's next cycle, which opens the ports afresh.
	void SetPortsMask(uint32_t mask);
	// A rate of 0 leaves its port's as it is.
	void SetPortBauds(const uint32_t rates[2]);
	void SetButtonLed(bool on) { m_buttonLed = on; }
	void Heartbeat() { m_heartbeatTime = rs485::monotonic_seconds(); }

	void SetCallMode(CallMode mode) { m_callMode = mode; }

	// The bus of address is switched on.
	bool Enabled(unsigned address) const;
	uint32_t PortBaud(unsigned port) const { return m_portBaud[port]; }

private:
	struct LineWatch {
		unsigned junk = 0; // reply waits in a row that got garbage
		bool babbling = false;
		rs485::Clock::time_point next_probe;
	};

	void RS485Tranceiver(std::stop_token stop);
	bool RS485Open();
	void RS485Close();
	// Reads replies on the port of address until count valid frames have
	// been handed up; false on timeout, a full buffer or a CRC error.
	// code: the command code of the last frame seen (0 when nothing came).
	bool RS485ReceiveReply(uint8_t address, uint8_t *buffer, unsigned size, rs485::Clock::time_point deadline,
			       unsigned count, uint8_t &code);
	uint8_t PollFlags() const;
	void SendLastCommands();
	bool OpenPort(unsigned port);
	void ClosePort(unsigned port);
	void HangUp(unsigned port);
	void ReopenVanishedPorts(rs485::Clock::time_point now);
	void NoteJunk(unsigned port, bool junk);
	void ProbeBabblingPorts(rs485::Clock::time_point now);
	bool Reachable(unsigned address) const;
	void SayWhatWasCounted();
	bool SendBytes(unsigned port, const uint8_t *data, unsigned length);

	Listener &m_listener;
	const Say m_say;
	const bool m_cioBoard;
	const int32_t m_boardRevision;

	// The ports. The control FIFO sets the mask and the rates, then
	// m_reopenPorts; the transceiver takes that with an exchange.
	std::atomic<int32_t> m_portFd[2] = { -1, -1 };
	std::atomic<uint32_t> m_portsMask;
	std::atomic<uint32_t> m_portBaud[2];
	std::atomic<bool> m_reopenPorts{ false };
	// The transceiver's.
	rs485::Clock::time_point m_portRetry[2];
	rs485::Clock::time_point m_portOpened[2];
	bool m_writeFailing[2] = {}; // a write error was reported
	// A line that talks out of turn (a unit stuck in transmit) is left
	// alone, its intercoms absent, until it is quiet.
	LineWatch m_line[2];
	// Faults that line noise repeats for every frame, and a line that
	// babbles on and off.
	callfw::RepeatedReport m_corruptReport{ "Corrupted packet" }, m_truncatedReport{ "Truncated packet" },
		m_overflowReport{ "RS485 TX Queue overflow" };
	callfw::RepeatedReport m_babbleReport[2]{ { "RS485 port 0 babbling" }, { "RS485 port 1 babbling" } };
	callfw::RepeatedReport m_quietReport[2]{ { "RS485 port 0 quiet again" }, { "RS485 port 1 quiet again" } };

	// What every poll carries.
	std::atomic<bool> m_buttonLed;
	std::atomic<uint64_t> m_heartbeatTime{ 0 }; // monotonic seconds of the last "hbt"

	std::atomic<CallMode> m_callMode{ CallMode::None };

	RS485TxQueue m_txQueue;
	rs485::Event m_txReady; // a frame was queued

	std::unique_ptr<rs485::PartThread> m_transceiverThread;
};
