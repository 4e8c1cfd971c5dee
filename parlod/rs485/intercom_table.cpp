#include "intercom_table.h"

#include <cstring>

using namespace rs485;
using namespace std::chrono_literals;

namespace {

// The monitor writes after every poll cycle, and after every fourth of
// these waits without one.
constexpr auto kMonitorWait = 1000ms;
constexpr unsigned kIdleWrites = 4;
constexpr auto kTestRun = 2000ms;
constexpr auto kTestIdle = 1000ms;

} // namespace

namespace rs485 {

std::string reset_report(unsigned address, uint16_t old_state, uint8_t status, uint8_t cause)
{
	(void)status;
	cause &= 0x7F;
	// An intercom that comes back has its cause recorded, not reported;
	// bit 0 marks a reset that is not to be reported at all.
	if (!(old_state & IC_STATE_PRESENT) || ((old_state >> 8) & 0x7F) == cause || (cause & 1))
		return "";
	char text[64];
	const char *why = cause & 2 ? " (BOD12)" : cause & 4 ? " (BOD33)" : cause & 0x20 ? " (WDT)" : "";
	snprintf(text, sizeof(text), "\nrs%u RCAUSE 0x%x%s", address, cause, why);
	return text;
}

} // namespace rs485

IntercomTable::IntercomTable(RS485Link &link, std::binary_semaphore &callSlot, Say say)
	: m_link(link), m_callBusy(callSlot), m_say(std::move(say))
{
	for (unsigned a = 0; a < RS485_INTERCOMS; a++) {
		m_icState[a] = 0;
		m_testResult[a] = 0;
		m_testTime[a] = 0;
	}
	m_testRequest[0] = m_testRequest[1] = 0;
}

IntercomTable::~IntercomTable()
{
	Stop();
}

void IntercomTable::Start()
{
	m_monitorThread = std::make_unique<PartThread>("RS485 Intercoms Monitor", "rs485-monitor", ThreadPriority::Normal,
						       [this](std::stop_token stop) { MonitorIntercoms(stop); });
	m_testThread = std::make_unique<PartThread>("RS485 Intercoms Self-Test", "rs485-selftest", ThreadPriority::Normal,
						    [this](std::stop_token stop) { TestIntercoms(stop); });
}

void IntercomTable::RequestStop()
{
	for (auto *thread : { &m_monitorThread, &m_testThread })
		if (*thread)
			(*thread)->RequestStop();
}

void IntercomTable::Stop()
{
	RequestStop();
	m_monitorThread.reset();
	m_testThread.reset();
}

void IntercomTable::ProcessStatus(uint8_t address, RS485Reply reply)
{
	// Without its two bytes a status reply says only that someone answered.
	if (reply.Length() < 3 || address >= RS485_INTERCOMS)
		return;
	const uint8_t status = reply.StatusBits(), cause = reply.ResetCause();
	const uint16_t word = (uint16_t)(IC_STATE_PRESENT | cause << 8 | status);
	const uint16_t old = m_icState[address].exchange(word);

	std::string report = reset_report(address, old, status, cause);
	if (!report.empty())
		m_say(report);
	if (address == m_currentIc)
		m_currentCallButton = status & IC_CB_CUR;
}

void IntercomTable::ProcessTestResult(uint8_t address, RS485Reply reply)
{
	if (reply.Length() < 3 || address >= RS485_INTERCOMS)
		return;
	m_testResult[address] = reply.TestResult();
	m_testTime[address] = monotonic_seconds();
}

void IntercomTable::SetCall(uint8_t address, ic_call_kind kind)
{
	m_callKind = (uint8_t)kind;
	m_currentIc = address;
}

void IntercomTable::RequestTest(uint64_t address)
{
	if (address < RS485_INTERCOMS)
		m_testRequest[address >> 6].fetch_or(1ull << (address & 63));
}

void IntercomTable::RequestTestOfPresent()
{
	for (unsigned a = 0; a < RS485_INTERCOMS; a++)
		if (m_icState[a])
			RequestTest(a);
}

void IntercomTable::Snapshot(ic_states &s) const
{
	s = ic_states{};
	for (unsigned a = 0; a < RS485_INTERCOMS; a++)
		s.state[a] = m_icState[a];
	const uint64_t now = monotonic_seconds();
	for (unsigned a = 0; a < RS485_INTERCOMS; a++) {
		const uint64_t at = m_testTime[a];
		s.tested[a] = at != 0;
		s.test_level[a] = (uint16_t)ic_test_level(m_testResult[a]);
		s.test_age[a] = now - at;
	}
	s.call = m_callKind;
}

// An intercom busy with audio outside the call is stuck in an old one:
// it is told again to stop, at every write for as long as it goes on.
void IntercomTable::ResetStuckIntercoms(const ic_states &s)
{
	const uint8_t current = m_currentIc;

	for (unsigned a = 0; a < RS485_INTERCOMS; a++) {
		if ((s.state[a] & IC_AUDIO) && a != current) {
			m_link.queueRS485Pkt((uint8_t)a, CMD_RESET, nullptr, 0, 1, 0);
			m_say("\nIC" + std::to_string(a) + ": resent CMD_RESET");
		}
	}
}

void IntercomTable::MonitorIntercoms(std::stop_token stop)
{
	ic_states_file file{};
	// A failure said and not over yet: each is said once, the write tried
	// again at each turn.
	bool failing = false;
	auto publish = [&](const char *text, size_t length) {
		int r = ic_states_publish(&file, text, length);
		if (r < 0 && !failing)
			m_say(std::string("\nError creating states file: ") + strerror(-r));
		else if (r == 0 && failing)
			m_say("\nStates file written again");
		failing = r < 0;
	};

	// At once empty: what a console that died left there must not pass
	// for this one's states until the first poll cycle is through.
	publish("", 0);

	ic_states states;
	char text[IC_STATES_MAX + 1];
	// Counts the waits without a complete poll cycle, never reset: the
	// file is rewritten after every cycle and every fourth such wait, and
	// at once when it is gone from its path.
	unsigned idle = 0;
	while (!stop.stop_requested()) {
		if (!m_scanDone.WaitFor(kMonitorWait, stop) && ++idle % kIdleWrites != 0 &&
		    (failing || ic_states_in_place(&file)))
			continue;
		if (stop.stop_requested())
			break;
		Snapshot(states);
		ResetStuckIntercoms(states);
		size_t length = ic_states_format(&states, text, sizeof(text));
		if (length > IC_STATES_MAX) {
			m_say("\nIC scan output truncated");
			length = IC_STATES_MAX;
		}
		publish(text, length);
	}
	ic_states_remove(&file);
}

// One intercom at a time, the lowest requested address first.
void IntercomTable::TestIntercoms(std::stop_token stop)
{
	while (!sleep_for(stop, kTestIdle)) {
		const unsigned half = m_testRequest[0] ? 0 : 1;
		const uint64_t requests = m_testRequest[half];
		if (!requests)
			continue;
		const unsigned bit = (unsigned)__builtin_ctzll(requests);
		const uint8_t address = (uint8_t)(64 * half + bit);

		// A call in progress goes first; no call starts during the test.
		if (!acquire_until(m_callBusy, Clock::time_point::max(), stop))
			return;
		m_link.queueRS485Pkt(address, CMD_TEST, nullptr, 0, 1, 0);
		const bool stopped = sleep_for(stop, kTestRun);
		m_callBusy.release();
		if (stopped)
			return;
		m_link.queueRS485Pkt(address, CMD_TEST_RESULT, nullptr, 0, 1, 0);
		m_testRequest[half].fetch_and(~(1ull << bit));
	}
}
