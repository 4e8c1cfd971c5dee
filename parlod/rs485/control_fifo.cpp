#include "control_fifo.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "cfg.h"
#include "command_fifo.h"
#include "paths.h"
#include "rootpath.h"
#include "rs485_config.h"
#include "util.h"

using namespace rs485;
using namespace std::chrono_literals;

namespace {

constexpr size_t kReadSize = ControlFifo::kLineMax;
// How long a wait for input lasts at most.
constexpr auto kFifoWait = 999ms;
// After a failure, the FIFO is tried again this much later.
constexpr auto kFifoRetry = 1000ms;

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

} // namespace

ControlFifo::ControlFifo(RS485Link &link, IntercomTable &table, Say say)
	: m_link(link), m_table(table), m_say(std::move(say))
{
}

ControlFifo::~ControlFifo()
{
	Stop();
}

void ControlFifo::Start()
{
	m_controlThread = std::make_unique<PartThread>("RS485 Intercoms Control", "rs485-control", ThreadPriority::Normal,
						       [this](std::stop_token stop) { ControlIntercoms(stop); });
}

void ControlFifo::RequestStop()
{
	if (m_controlThread)
		m_controlThread->RequestStop();
}

void ControlFifo::Stop()
{
	RequestStop();
	m_controlThread.reset();
}

void ControlFifo::ExecuteControlLine(std::string_view line)
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
		m_link.queueRS485Pkt(byte(1), CMD_REL, &value, 1, 1, 0);
		restore_priority(saved);
	} else if (word == "clc" && t.size() >= 2) {
		SavedPriority saved = set_thread_priority(ThreadPriority::Highest);
		m_link.queueRS485Pkt(byte(1), CMD_CLC, nullptr, 0, 1, 0);
		restore_priority(saved);
	} else if (word == "hbt") {
		m_link.Heartbeat();
	} else if (word == "led" && t.size() >= 2) {
		uint64_t value = number(1);
		m_link.SetButtonLed(value != 0);
		cfg_write_int(conf, "button_led", (int32_t)std::min<uint64_t>(value, INT32_MAX));
	} else if (word == "ports" && t.size() >= 2) {
		// Stored as read back at the next start: a mask with bit 31 set
		// must not come back negative, which reads as no port at all.
		uint32_t mask = (uint32_t)number(1);
		cfg_write_str(conf, "ports_mask", std::to_string(mask).c_str());
		m_link.SetPortsMask(mask);
	} else if ((word == "ber_tx" || word == "ber_rx") && t.size() >= 2) {
		// Accepted for the tools that send them; nothing to do.
	} else if (word == "prod" && t.size() >= 3) {
		uint8_t value = byte(2);
		m_link.queueRS485Pkt(byte(1), CMD_PROD, &value, 1, 1, 0);
	} else if (word == "ftst") {
		if (t.size() >= 2)
			m_table.RequestTest(number(1)); // one beyond the buses is no intercom
		else
			m_table.RequestTestOfPresent();
	} else if (word == "bauds" && t.size() >= 2) {
		BaudItem items[2];
		unsigned n = parse_baud_list(t[1], items);
		// Nothing of a list with a bad rate is used, nor stored to come
		// back at the next start.
		for (unsigned i = 0; i < n; i++)
			if (!items[i].valid) {
				m_say("\nbauds: " + std::string(items[i].text) + " is no baud rate the ports can take");
				return;
			}
		cfg_write_str(conf, "ports_baud", std::string(t[1]).c_str());
		// A single rate is port 0's; port 1 keeps its own. A rate of 0 is
		// no rate: the port keeps the one it has.
		uint32_t rates[2] = {};
		for (unsigned i = 0; i < n; i++)
			rates[i] = items[i].rate;
		m_link.SetPortBauds(rates);
	}
	// Anything else, or too few words: ignored.
}

// The FIFO is kept at its path for as long as the endpoint runs: removed,
// or replaced by a file or a directory, it is made anew (and said so once),
// never read as whatever took its place.
void ControlFifo::ControlIntercoms(std::stop_token stop)
{
	static const char *const doing[] = { "creating", "opening", "reading" };
	CommandFifo fifo(kel_path(IC_CONTROL_FIFO));
	CommandLines lines(kLineMax, CommandLines::Ends::Any);
	auto run = [this](std::string_view line) { ExecuteControlLine(line); };
	char buffer[kReadSize];
	// A failure said and not over yet: said once, then the FIFO is tried
	// again each second until it works.
	bool failing = false;
	auto failed = [&] {
		lines.writer_gone();
		if (!failing)
			m_say(std::string("\nError ") + doing[(int)fifo.failed_step()] +
				  " control fifo: " + strerror(fifo.error()));
		failing = true;
		sleep_for(stop, kFifoRetry);
	};
	// A stop ends the wait for input at once.
	std::stop_callback wake(stop, [&fifo] { fifo.interrupt(); });

	while (!stop.stop_requested()) {
		if (!fifo.is_open()) {
			if (!fifo.open()) {
				failed();
				continue;
			}
			if (failing && fifo.made())
				m_say("\nControl fifo made anew");
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
			m_say(fifo.made() ? "\nControl fifo replaced: made anew"
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
