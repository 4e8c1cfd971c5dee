// The control FIFO, through which local tools drive the intercoms and the
// buses, and the intercom self-test.
#include "rs485_endpoint.h"
#include "util.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "cfg.h"
#include "command_fifo.h"
#include "rootpath.h"
#include "serial.h"

using namespace rs485;
using namespace std::chrono_literals;

namespace {

constexpr size_t kReadSize = kControlLineMax;
// How long a wait for input lasts before the stop request is looked at.
constexpr auto kFifoWait = 999ms;
// After a failure, the FIFO is tried again this much later.
constexpr auto kFifoRetry = 1000ms;
constexpr auto kTestRun = 2000ms;
constexpr auto kTestIdle = 1000ms;

bool is_blank(char c)
{
	return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r' || c == '\n';
}

std::string_view trim(std::string_view s)
{
	while (!s.empty() && is_blank(s.front()))
		s.remove_prefix(1);
	while (!s.empty() && is_blank(s.back()))
		s.remove_suffix(1);
	return s;
}

// A whole number as the console's text inputs give them: decimal, "0x"
// hexadecimal or with a leading 0 octal, and nothing after its digits.
bool whole_number(std::string_view text, uint64_t &value)
{
	if (text.empty() || text[0] < '0' || text[0] > '9')
		return false; // no sign, no blanks
	const std::string s(text);
	char *end;
	errno = 0;
	value = strtoull(s.c_str(), &end, 0);
	return *end == '\0' && errno == 0;
}

} // namespace

namespace rs485 {

unsigned parse_baud_list(std::string_view text, BaudItem items[2])
{
	unsigned n = 0;

	while (n < 2 && !text.empty()) {
		size_t comma = text.find(',');
		std::string_view item = text.substr(0, comma);
		text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
		if (item.empty())
			continue;
		uint64_t rate = 0;
		bool valid = whole_number(item, rate) && (rate == 0 || serial_baud_supported(rate));
		items[n++] = { item, valid ? (uint32_t)rate : 0, valid };
	}
	return n;
}

} // namespace rs485

// A stored rate that the ports cannot take leaves its port at 115200, and
// is said: a bus at 1 baud would be as good as none, its intercoms out of
// reach without a word.
void OpalRS485EndPoint::ReadPortBauds(std::string_view list)
{
	BaudItem items[2];
	unsigned n = parse_baud_list(list, items);

	for (unsigned i = 0; i < n; i++) {
		if (items[i].valid) {
			if (items[i].rate)
				m_portBaud[i] = items[i].rate;
			continue;
		}
		Broadcast("\nports_baud: " + std::string(items[i].text) + " is no baud rate the ports can take; port " +
			  std::to_string(i) + " runs at " + std::to_string(m_portBaud[i].load()));
	}
}

void OpalRS485EndPoint::ExecuteControlLine(std::string_view line)
{
	line = trim(line);
	if (line.empty())
		return;
	const auto t = split_words(line);
	const std::string_view word = t[0];
	const char *conf = kel_path(PARLOD_IC_CONF);
	auto number = [&](size_t i) { return parse_number(t[i]); };
	auto byte = [&](size_t i) { return (uint8_t)number(i); };

	if (word == "rel" && t.size() >= 3) {
		uint8_t value = byte(2);
		SavedPriority saved = set_thread_priority(ThreadPriority::Highest);
		queueRS485Pkt(byte(1), CMD_REL, &value, 1, 1, 0);
		restore_priority(saved);
	} else if (word == "clc" && t.size() >= 2) {
		SavedPriority saved = set_thread_priority(ThreadPriority::Highest);
		queueRS485Pkt(byte(1), CMD_CLC, nullptr, 0, 1, 0);
		restore_priority(saved);
	} else if (word == "hbt") {
		m_heartbeatTime = monotonic_seconds();
	} else if (word == "led" && t.size() >= 2) {
		uint64_t value = number(1);
		m_buttonLed = value != 0;
		cfg_write_int(conf, "button_led", (int32_t)std::min<uint64_t>(value, INT32_MAX));
	} else if (word == "ports" && t.size() >= 2) {
		// Stored as read back at the next start: a mask with bit 31 set
		// must not come back negative, which reads as no port at all.
		uint32_t mask = (uint32_t)number(1);
		cfg_write_str(conf, "ports_mask", std::to_string(mask).c_str());
		m_portsMask = mask;
		m_reopenPorts = true;
	} else if ((word == "ber_tx" || word == "ber_rx") && t.size() >= 2) {
		// Accepted for the tools that send them; nothing to do.
	} else if (word == "prod" && t.size() >= 3) {
		uint8_t value = byte(2);
		queueRS485Pkt(byte(1), CMD_PROD, &value, 1, 1, 0);
	} else if (word == "ftst") {
		if (t.size() >= 2) {
			uint64_t a = number(1);
			if (a < RS485_INTERCOMS)
				m_testRequest[a >> 6].fetch_or(1ull << (a & 63));
		} else
			for (unsigned a = 0; a < RS485_INTERCOMS; a++)
				if (m_icState[a])
					m_testRequest[a >> 6].fetch_or(1ull << (a & 63));
	} else if (word == "bauds" && t.size() >= 2) {
		BaudItem items[2];
		unsigned n = parse_baud_list(t[1], items);
		// Nothing of a list with a bad rate is used, nor stored to come
		// back at the next start.
		for (unsigned i = 0; i < n; i++)
			if (!items[i].valid) {
				Broadcast("\nbauds: " + std::string(items[i].text) + " is no baud rate the ports can take");
				return;
			}
		cfg_write_str(conf, "ports_baud", std::string(t[1]).c_str());
		// A single rate is port 0's; port 1 keeps its own. A rate of 0 is
		// no rate: the port keeps the one it has.
		for (unsigned i = 0; i < n; i++)
			if (items[i].rate)
				m_portBaud[i] = items[i].rate;
		m_reopenPorts = true;
	}
	// Anything else, or too few words: ignored.
}

// The FIFO is kept at its path for as long as the endpoint runs: removed,
// or replaced by a file or a directory, it is made anew (and said so once),
// never read as whatever took its place.
void OpalRS485EndPoint::ControlIntercoms()
{
	static const char *const doing[] = { "creating", "opening", "reading" };
	CommandFifo fifo(kel_path(IC_CONTROL_FIFO));
	CommandLines lines(kControlLineMax, CommandLines::Ends::Any);
	auto run = [this](std::string_view line) { ExecuteControlLine(line); };
	char buffer[kReadSize];
	// A failure said and not over yet: said once, then the FIFO is tried
	// again each second until it works.
	bool failing = false;
	auto failed = [&] {
		lines.writer_gone();
		if (!failing)
			Broadcast(std::string("\nError ") + doing[(int)fifo.failed_step()] +
				  " control fifo: " + strerror(fifo.error()));
		failing = true;
		m_stopControl.wait(kFifoRetry);
	};

	while (!m_stopControl.is_set()) {
		if (!fifo.is_open()) {
			if (!fifo.open()) {
				failed();
				continue;
			}
			if (failing && fifo.made())
				Broadcast("\nControl fifo made anew");
			failing = false;
		}
		size_t count = 0;
		switch (fifo.read(buffer, sizeof(buffer), kFifoWait, count)) {
		case CommandFifo::Event::Data:
			lines.feed(buffer, count, CommandLines::Clock::now(), run);
			break;
		case CommandFifo::Event::WriterGone:
			lines.writer_gone();
			break;
		case CommandFifo::Event::Replaced:
			lines.writer_gone();
			Broadcast(fifo.made() ? "\nControl fifo replaced: made anew"
					      : "\nControl fifo replaced: reading the new one");
			break;
		case CommandFifo::Event::Timeout:
		case CommandFifo::Event::Interrupted:
			break;
		case CommandFifo::Event::Failed:
			failed(); // closed: opened again, or made anew, at the next pass
			break;
		}
	}
	fifo.remove();
}

// One intercom at a time, the lowest requested address first.
void OpalRS485EndPoint::TestIntercoms()
{
	while (!m_stopTest.wait(kTestIdle)) {
		const unsigned half = m_testRequest[0] ? 0 : 1;
		const uint64_t requests = m_testRequest[half];
		if (!requests)
			continue;
		const unsigned bit = (unsigned)__builtin_ctzll(requests);
		const uint8_t address = (uint8_t)(64 * half + bit);

		// A call in progress goes first; no call starts during the test.
		while (!m_callBusy.take_until(Clock::now() + 1s, [] { return false; }))
			if (m_stopTest.is_set())
				return;
		queueRS485Pkt(address, CMD_TEST, nullptr, 0, 1, 0);
		bool stopped = m_stopTest.wait(kTestRun);
		m_callBusy.give();
		if (stopped)
			return;
		queueRS485Pkt(address, CMD_TEST_RESULT, nullptr, 0, 1, 0);
		m_testRequest[half].fetch_and(~(1ull << bit));
	}
}
