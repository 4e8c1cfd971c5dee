#include "kel_cli.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "rootpath.h"

// A command line longer than an atomic pipe write cannot come whole from
// one writer: it is dropped.
#define CLI_LINE_MAX 4096
// How often an idle reader looks whether its pipe was removed, in ms.
#define CLI_PIPE_CHECK_MS 1000

KelConsoleChannel::KelConsoleChannel() : m_wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

KelConsoleChannel::KelConsoleChannel(ConsoleType type) : KelConsoleChannel()
{
	Open(type);
}

KelConsoleChannel::~KelConsoleChannel()
{
	Close();
	if (m_wake >= 0)
		close(m_wake);
}

bool KelConsoleChannel::Open(ConsoleType type)
{
	m_consoleType = type;
	if (type != StandardInput) {
		m_fd = STDOUT_FILENO;
		return true;
	}
	return OpenPipe();
}

bool KelConsoleChannel::OpenPipe()
{
	const char *path = kel_path(CONSOLE_PIPE);
	struct stat st;
	int flags;

	if (stat(path, &st) == 0 && !S_ISFIFO(st.st_mode))
		unlink(path);
	if ((stat(path, &st) != 0 || !S_ISFIFO(st.st_mode)) && mkfifo(path, 0660) != 0 && errno != EEXIST) {
		m_error = errno;
		return false;
	}
	m_fd = open(path, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
	if (m_fd < 0) {
		m_error = errno;
		return false;
	}
	// Our own writer keeps the pipe from reporting its end whenever the
	// last client closes it; without it every idle moment would be one.
	m_keepOpen = open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
	if ((flags = fcntl(m_fd, F_GETFL)) < 0 || fcntl(m_fd, F_SETFL, flags & ~O_NONBLOCK) != 0 ||
	    fstat(m_fd, &st) != 0) {
		m_error = errno;
		Close();
		return false;
	}
	m_dev = st.st_dev;
	m_ino = st.st_ino;
	return true;
}

bool KelConsoleChannel::PipeStillOurs() const
{
	struct stat st;

	return stat(kel_path(CONSOLE_PIPE), &st) == 0 && st.st_dev == m_dev && st.st_ino == m_ino;
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
	for (;;) {
		struct pollfd p[2] = { { m_fd, POLLIN, 0 }, { m_wake, POLLIN, 0 } };
		int r = poll(p, 2, CLI_PIPE_CHECK_MS);

		if (r < 0 && errno != EINTR) {
			m_error = errno;
			return false;
		}
		if (p[1].revents & POLLIN) {
			m_error = EINTR;
			return false;
		}
		if (r == 0) {
			// Idle: a removed or replaced pipe is made anew, so that
			// clients find one again.
			if (!PipeStillOurs()) {
				Close();
				if (!OpenPipe())
					return false;
			}
			continue;
		}
		if (!(p[0].revents & (POLLIN | POLLHUP)))
			continue;
		ssize_t n = read(m_fd, buf, length);
		if (n > 0) {
			m_lastReadCount = (unsigned long)n;
			return true;
		}
		if (n < 0 && errno != EINTR && errno != EAGAIN) {
			m_error = errno;
			return false;
		}
	}
}

bool KelConsoleChannel::Close()
{
	if (m_fd > 2)
		close(m_fd);
	if (m_keepOpen >= 0)
		close(m_keepOpen);
	m_fd = -1;
	m_keepOpen = -1;
	m_consoleType = -1;
	return true;
}

void KelConsoleChannel::Interrupt()
{
	uint64_t one = 1;

	if (m_wake >= 0 && write(m_wake, &one, sizeof(one)) < 0) {
		// Already signalled.
	}
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
	Command cmd{ std::move(handler), help, usage, {} };
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

void KelCLI::Help()
{
	std::string text = "Commands:\n";
	for (auto &[name, cmd] : m_commands)
		text += "  " + name + (cmd.usage.empty() ? "" : " " + cmd.usage) + "  -- " + cmd.help + "\n";
	Output(text);
}

namespace {

std::vector<std::string> split_words(const std::string &line)
{
	std::vector<std::string> words;
	std::string word;
	bool in_word = false, quoted = false;

	for (char c : line) {
		if (c == '"') {
			quoted = !quoted;
			in_word = true;
		} else if (!quoted && (c == ' ' || c == '\t' || c == '\r')) {
			if (in_word)
				words.push_back(word);
			word.clear();
			in_word = false;
		} else {
			word += c;
			in_word = true;
		}
	}
	if (in_word)
		words.push_back(word);
	return words;
}

} // namespace

void KelCLI::ProcessLine(const std::string &line)
{
	std::vector<std::string> words = split_words(line);

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

bool KelCLI::StartForeground()
{
	char buf[CLI_LINE_MAX];
	std::string line;
	bool overlong = false;

	if (!m_input.Open(KelConsoleChannel::StandardInput)) {
		Output("Cannot open the command pipe " + std::string(kel_path(CONSOLE_PIPE)) + ": " +
		       strerror(m_input.GetErrorNumber()) + "\n");
		return false;
	}
	while (m_input.Read(buf, sizeof(buf))) {
		for (unsigned long i = 0; i < m_input.GetLastReadCount(); i++) {
			char c = buf[i];
			if (c != '\n') {
				if (line.size() < CLI_LINE_MAX)
					line += c;
				else
					overlong = true;
				continue;
			}
			if (overlong)
				Output("Command line too long, ignored\n");
			else
				ProcessLine(line);
			line.clear();
			overlong = false;
		}
	}
	return true;
}

void KelCLI::Stop()
{
	m_input.Interrupt();
}
