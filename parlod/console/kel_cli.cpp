#include "kel_cli.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <strings.h>
#include <unistd.h>

#include "rootpath.h"
#include "util.h"

// A command line longer than an atomic pipe write cannot come whole from
// one writer: it is dropped.
#define CLI_LINE_MAX 4096

KelConsoleChannel::KelConsoleChannel() : m_pipe(kel_path(CONSOLE_PIPE)) {}

KelConsoleChannel::KelConsoleChannel(ConsoleType type) : KelConsoleChannel()
{
	Open(type);
}

KelConsoleChannel::~KelConsoleChannel()
{
	Close();
}

bool KelConsoleChannel::Open(ConsoleType type)
{
	m_consoleType = type;
	if (type != StandardInput) {
		m_fd = STDOUT_FILENO;
		return true;
	}
	if (!m_pipe.open()) {
		m_error = m_pipe.error();
		return false;
	}
	return true;
}

bool KelConsoleChannel::Read(void *buf, unsigned long length)
{
	m_lastReadCount = 0;
	if (m_consoleType != StandardInput) {
		ssize_t n = read(m_fd, buf, length);
		if (n <= 0)
			return false;
		m_lastReadCount = (unsigned long)n;
		return true;
	}
	size_t count;
	switch (m_pipe.read((char *)buf, length, std::chrono::milliseconds(-1), count)) {
	case CommandFifo::Event::Data:
		m_lastReadCount = count;
		return true;
	case CommandFifo::Event::WriterGone:
	case CommandFifo::Event::Replaced:
	case CommandFifo::Event::Timeout:
		return true;
	case CommandFifo::Event::Interrupted:
		m_error = EINTR;
		return false;
	case CommandFifo::Event::Failed:
		break;
	}
	m_error = m_pipe.error();
	return false;
}

bool KelConsoleChannel::Close()
{
	if (m_consoleType == StandardInput)
		m_pipe.close();
	else if (m_fd > 2)
		close(m_fd);
	m_fd = -1;
	m_consoleType = -1;
	return true;
}

void KelConsoleChannel::Interrupt()
{
	m_pipe.interrupt();
}

KelCLI::Arguments::Arguments(KelCLI &cli, std::string command, std::vector<std::string> words,
			     std::map<std::string, std::string> options, std::string usage)
	: m_cli(cli), m_command(std::move(command)), m_words(std::move(words)), m_options(std::move(options)),
	  m_usage(std::move(usage))
{
}

std::string KelCLI::Arguments::GetOptionString(const std::string &name) const
{
	auto it = m_options.find(name);
	return it == m_options.end() ? "" : it->second;
}

void KelCLI::Arguments::Write(const std::string &text) const
{
	m_cli.Output(text);
}

void KelCLI::Arguments::WriteError(const std::string &text) const
{
	m_cli.Output(m_command + ": " + text + "\n");
}

void KelCLI::Arguments::WriteUsage() const
{
	m_cli.Output("usage: " + m_command + " " + m_usage + "\n");
}

KelCLI::KelCLI(std::string prompt, std::function<void(const std::string &)> output)
	: m_prompt(std::move(prompt)), m_output(std::move(output))
{
	SetCommand("help", [this](Arguments &) { Help(); }, "Show the commands", "");
}

void KelCLI::SetCommand(const std::string &name, Handler handler, const std::string &help, const std::string &usage,
			const std::string &option_spec)
{
	Command cmd{ std::move(handler), help, usage, {}, {} };
	size_t start = 0;

	// Each option: its letter, "-", its name, and ":" when it takes a value.
	while (start < option_spec.size()) {
		size_t end = option_spec.find('\n', start);
		std::string spec = option_spec.substr(start, end == std::string::npos ? std::string::npos : end - start);
		size_t dash = spec.find('-');
		if (dash != std::string::npos) {
			size_t colon = spec.find(':', dash);
			std::string long_name = spec.substr(dash + 1, colon == std::string::npos ? std::string::npos : colon - dash - 1);
			cmd.options.push_back({ long_name, dash ? spec[0] : '\0', colon != std::string::npos });
		}
		if (end == std::string::npos)
			break;
		start = end + 1;
	}
	m_commands[name] = std::move(cmd);
}

void KelCLI::SetDetails(const std::string &name, const std::vector<std::string> &lines)
{
	std::string text;
	for (const std::string &l : lines)
		text += "      " + l + "\n";
	m_commands[name].details = text;
}

void KelCLI::Help()
{
	std::string text = "Commands:\n";
	for (auto &[name, cmd] : m_commands)
		text += "  " + name + (cmd.usage.empty() ? "" : " " + cmd.usage) + "  -- " + cmd.help + "\n" + cmd.details;
	Output(text);
}

void KelCLI::ProcessLine(const std::string &line)
{
	std::vector<std::string> words;
	for (std::string_view word : split_words(line, WORDS_QUOTED))
		words.push_back(unquote(word));

	if (words.empty())
		return;
	auto it = std::find_if(m_commands.begin(), m_commands.end(),
			       [&](auto &c) { return !strcasecmp(c.first.c_str(), words[0].c_str()); });
	if (it == m_commands.end()) {
		Output("Unknown command \"" + words[0] + "\"; try help\n");
		return;
	}
	const Command &cmd = it->second;
	std::vector<std::string> rest;
	std::map<std::string, std::string> options;
	for (size_t i = 1; i < words.size(); i++) {
		const std::string &w = words[i];
		const Option *opt = nullptr;
		std::string value;
		bool inline_value = false;

		if (w.rfind("--", 0) == 0 && w.size() > 2) {
			std::string name = w.substr(2, w.find('=') == std::string::npos ? std::string::npos : w.find('=') - 2);
			for (auto &o : cmd.options)
				if (o.name == name)
					opt = &o;
			if (opt && w.find('=') != std::string::npos) {
				value = w.substr(w.find('=') + 1);
				inline_value = true;
			}
		} else if (w.size() >= 2 && w[0] == '-' && w[1] != '-') {
			for (auto &o : cmd.options)
				if (o.letter == w[1])
					opt = &o;
			if (opt && w.size() > 2) {
				value = w.substr(2);
				inline_value = true;
			}
		}
		if (!opt) {
			rest.push_back(w);
			continue;
		}
		if (opt->value && !inline_value) {
			if (i + 1 >= words.size()) {
				Output(it->first + ": option --" + opt->name + " needs a value\n");
				return;
			}
			value = words[++i];
		}
		options[opt->name] = value;
	}
	Arguments args(*this, it->first, std::move(rest), std::move(options), cmd.usage);
	cmd.handler(args);
}

bool KelCLI::OpenPipe()
{
	m_pipeOpen = m_input.Open(KelConsoleChannel::StandardInput);
	if (!m_pipeOpen)
		fprintf(stderr, "Cannot open the command pipe %s: %s\n", kel_path(CONSOLE_PIPE),
			strerror(m_input.GetErrorNumber()));
	return m_pipeOpen;
}

bool KelCLI::StartForeground()
{
	char buf[CLI_LINE_MAX];
	CommandLines lines(CLI_LINE_MAX, CommandLines::Ends::Newline);
	auto run = [this](std::string_view line) {
		ProcessLine(std::string(line.substr(0, line.find('\0')))); // a command's text ends at a NUL
	};
	auto too_long = [this] { Output("Command line too long, ignored\n"); };

	if (!m_pipeOpen && !OpenPipe())
		return false;
	while (m_input.Read(buf, sizeof(buf))) {
		unsigned long count = m_input.GetLastReadCount();
		if (count == 0)
			lines.writer_gone();
		else
			lines.feed(buf, count, CommandLines::Clock::now(), run, too_long);
	}
	if (m_input.GetErrorNumber() == EINTR)
		return true; // Stop()
	m_pipeOpen = false;
	fprintf(stderr, "Cannot open the command pipe %s: %s\n", kel_path(CONSOLE_PIPE),
		strerror(m_input.GetErrorNumber()));
	return false;
}

void KelCLI::Stop()
{
	m_input.Interrupt();
}
