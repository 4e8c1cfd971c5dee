// The control FIFO, through which local tools drive the intercoms and the
// buses, and the intercom self-test.
#include "rs485_endpoint.h"
#include "util.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cfg.h"
#include "rootpath.h"
#include "serial.h"

using namespace rs485;
using namespace std::chrono_literals;

namespace {

constexpr size_t kReadSize = 1024;
constexpr long kFifoWaitUs = 999999;
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

void OpalRS485EndPoint::ControlIntercoms()
{
	const char *path = kel_path(IC_CONTROL_FIFO);
	struct stat st;

	// A FIFO left from an earlier run is used; anything else in its place goes.
	if (lstat(path, &st) == 0 && !S_ISFIFO(st.st_mode)) {
		if (unlink(path) != 0 && errno == EISDIR)
			rmdir(path);
	}
	if ((lstat(path, &st) != 0 || !S_ISFIFO(st.st_mode)) && mkfifo(path, 0660) != 0) {
		Broadcast(std::string("\nError creating control fifo: ") + strerror(errno));
		return;
	}

	LineAssembler lines;
	auto run = [this](std::string_view line) { ExecuteControlLine(line); };
	auto open_fifo = [path] { return open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC); };
	char buffer[kReadSize];
	int fd = -1;
	for (;;) {
		if (m_stopControl.is_set()) {
			if (fd >= 0)
				close(fd);
			unlink(path);
			return;
		}
		if (fd < 0 && (fd = open_fifo()) < 0) {
			Broadcast(std::string("\nError opening control fifo: ") + strerror(errno));
			return;
		}
		if (serial_wait_us(fd, kFifoWaitUs) < 0) {
			lines.flush(run); // a writer that keeps the FIFO open but went quiet
			continue;
		}
		ssize_t n = read(fd, buffer, sizeof(buffer));
		if (n == 0) {
			// Every writer has gone: the FIFO is opened afresh, ready for
			// the next without reading end after end. The new descriptor
			// comes first, so that the FIFO is never without a reader and
			// a tool's non-blocking open never fails in between.
			lines.flush(run);
			int fresh = open_fifo();
			close(fd);
			fd = fresh;
			if (fd < 0) {
				Broadcast(std::string("\nError opening control fifo: ") + strerror(errno));
				return;
			}
		} else if (n < 0) {
			if (errno == EINTR || errno == EAGAIN)
				continue;
			Broadcast(std::string("\nError reading control fifo: ") + strerror(errno));
			close(fd);
			fd = -1;
		} else
			lines.feed(buffer, (size_t)n, run);
	}
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
