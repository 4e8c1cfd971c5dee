// The control FIFO ("/run/parlod-ic-ctl"), through which local tools drive
// the intercoms and the buses: a thread of its own reads it, and each
// line is one command of the table in ExecuteControlLine(). Nothing is
// ever written back.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "intercom_table.h"
#include "rs485_link.h"
#include "rs485_threads.h"

#define IC_CONTROL_FIFO "/run/parlod-ic-ctl"

class ControlFifo {
public:
	using Say = std::function<void(const std::string &)>;

	// The control FIFO's lines end in CR, LF or CR LF; a line longer than
	// one read is no command.
	static constexpr size_t kLineMax = 1024;

	ControlFifo(RS485Link &link, IntercomTable &table, Say say);
	~ControlFifo();
	ControlFifo(const ControlFifo &) = delete;
	ControlFifo &operator=(const ControlFifo &) = delete;

	// Makes the FIFO (or takes the one there) and starts reading it.
	void Start();
	void RequestStop();
	// Joins the thread; the FIFO is gone then.
	void Stop();

	// One line: trimmed, split at every single blank or tab; a word not in
	// the table, or too few words, is ignored without a message.
	void ExecuteControlLine(std::string_view line);

private:
	void ControlIntercoms(std::stop_token stop);

	RS485Link &m_link;
	IntercomTable &m_table;
	const Say m_say;
	std::unique_ptr<rs485::PartThread> m_controlThread;
};
