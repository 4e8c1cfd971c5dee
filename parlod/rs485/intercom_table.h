// The intercoms: their states from the status replies, the self-tests
// requested and their results, and the states file that publishes them
// with the call for the health-monitor daemon (console_link.h).
//
// The monitor thread rewrites the states file after every complete poll
// cycle (and after every fourth second without one), and tells an
// intercom that is busy with audio outside the call to stop. The
// self-test thread tests the requested intercoms one at a time, each
// holding the call slot for its test.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <semaphore>
#include <string>

#include "console_link.h"
#include "rs485_frame.h"
#include "rs485_link.h"
#include "rs485_threads.h"

class IntercomTable {
public:
	using Say = std::function<void(const std::string &)>;

	// callSlot: the token that a call or a running self-test holds.
	IntercomTable(RS485Link &link, std::binary_semaphore &callSlot, Say say);
	~IntercomTable();
	IntercomTable(const IntercomTable &) = delete;
	IntercomTable &operator=(const IntercomTable &) = delete;

	// Starts the monitor and the self-test.
	void Start();
	void RequestStop();
	// Joins both; the states file is gone then.
	void Stop();

	// What the buses report, on the transceiver's thread.
	void ProcessStatus(uint8_t address, RS485Reply reply);
	void ProcessTestResult(uint8_t address, RS485Reply reply);
	void MarkAbsent(uint8_t address) { m_icState[address] = 0; }
	void PollCycleDone() { m_scanDone.Signal(); }

	// The call, as the states file shows it and as the monitor spares its
	// intercom: set at its set-up, and at its end first with the kind
	// IC_CALL_NONE, then with no intercom.
	void SetCall(uint8_t address, ic_call_kind kind);
	// Bit 0 (cb_cur) of the last status reply from the intercom in the
	// call, or from the one in a call before until the first reply.
	bool CallButton() const { return m_currentCallButton; }

	// The control FIFO's "ftst": one intercom, or every one present.
	void RequestTest(uint64_t address);
	void RequestTestOfPresent();

private:
	void MonitorIntercoms(std::stop_token stop);
	void TestIntercoms(std::stop_token stop);
	// What the states file is to show now.
	void Snapshot(ic_states &s) const;
	void ResetStuckIntercoms(const ic_states &s);

	RS485Link &m_link;
	std::binary_semaphore &m_callBusy;
	const Say m_say;

	// Written by the transceiver only, read by anyone without a lock; a
	// word of 0 is an absent intercom.
	std::atomic<uint16_t> m_icState[RS485_INTERCOMS];
	rs485::Event m_scanDone;

	std::atomic<uint8_t> m_currentIc{ RS485_NO_INTERCOM };
	std::atomic<uint8_t> m_callKind{ IC_CALL_NONE };
	std::atomic<bool> m_currentCallButton{ false };

	// Bit n of word k: intercom 64 k + n is to be tested.
	std::atomic<uint64_t> m_testRequest[2];
	std::atomic<uint16_t> m_testResult[RS485_INTERCOMS];
	std::atomic<uint64_t> m_testTime[RS485_INTERCOMS]; // monotonic seconds; 0: no result

	std::unique_ptr<rs485::PartThread> m_monitorThread, m_testThread;
};

namespace rs485 {

// The report of a reset cause that changed, or "" when there is none.
std::string reset_report(unsigned address, uint16_t old_state, uint8_t status, uint8_t cause);

} // namespace rs485
