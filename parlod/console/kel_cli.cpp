#include "kel_cli.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
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
// An unfinished line older than this, when more comes, was abandoned.
#define CLI_LINE_AGE std::chrono::seconds(1)

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

namespace {

// The read end of the pipe at path, and what it is; -1 with errno set when
// there is no pipe there.
int open_fifo(const char *path, struct stat &st)
{
	// Without waiting for a writer; reads never wait either, a poll does.
	int fd = open(path, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
	if (fd < 0)
		return -1;
	if (fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode)) {
		close(fd);
		errno = S_ISDIR(st.st_mode) ? EISDIR : ENOTSUP;
		return -1;
	}
	return fd;
}

} // namespace

bool KelConsoleChannel::OpenPipe()
{
	const char *path = kel_path(CONSOLE_PIPE);
	struct stat st;

	Close();
	m_consoleType = StandardInput;
	// Whatever took the pipe's place goes if it can: a file, a link, an
	// empty directory. A directory with something in it stays, and then
	// there is no pipe.
	if (lstat(path, &st) == 0 && !S_ISFIFO(st.st_mode) && (S_ISDIR(st.st_mode) ? rmdir(path) : unlink(path)) != 0) {
		m_error = errno;
		return false;
	}
	if (mkfifo(path, 0660) != 0 && errno != EEXIST) {
		m_error = errno;
		return false;
	}
	if ((m_fd = open_fifo(path, st)) < 0) {
		m_error = errno;
		return false;
	}
	m_dev = st.st_dev;
	m_ino = st.st_ino;
	return true;
}

// After the last writer has gone, the read end reports that for ever; a
// fresh one reports it again only once a new writer has come and gone. The
// new one is opened before the old one is closed, so that the pipe always
// has a reader: a client opening it without waiting would fail meanwhile.
bool KelConsoleChannel::Reopen()
{
	struct stat st;
	int fd = open_fifo(kel_path(CONSOLE_PIPE), st);

	if (fd < 0 || st.st_dev != m_dev || st.st_ino != m_ino) {
		if (fd >= 0)
			close(fd);
		return OpenPipe(); // gone or replaced meanwhile
	}
	close(m_fd);
	m_fd = fd;
	return true;
}

bool KelConsoleChannel::PipeStillOurs() const
{
	struct stat st;

	return lstat(kel_path(CONSOLE_PIPE), &st) == 0 && st.st_dev == m_dev && st.st_ino == m_ino;
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
			if (!PipeStillOurs() && !OpenPipe())
				return false;
			continue;
		}
		if (r < 0 || !(p[0].revents & (POLLIN | POLLHUP | POLLERR)))
			continue;
		ssize_t n = read(m_fd, buf, length);
		if (n > 0) {
			m_lastReadCount = (unsigned long)n;
			return true;
		}
		if (n == 0) // every writer has closed the pipe
			return Reopen();
		if (errno != EINTR && errno != EAGAIN) {
			m_error = errno;
			return false;
		}
	}
}

bool KelConsoleChannel::Close()
{
	if (m_fd > 2)
		close(m_fd);
	m_fd = -1;
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
	std::string line;
	bool overlong = false;
	std::chrono::steady_clock::time_point begun; // the line in hand

	if (!m_pipeOpen && !OpenPipe())
		return false;
	while (m_input.Read(buf, sizeof(buf))) {
		unsigned long count = m_input.GetLastReadCount();
		auto now = std::chrono::steady_clock::now();
		// Every client writes whole lines. What one left unfinished when
		// it went (or, while others kept the pipe open, long ago) is no
		// command, and must not run into the next client's line.
		if (count == 0 || ((!line.empty() || overlong) && now - begun > CLI_LINE_AGE)) {
			line.clear();
			overlong = false;
		}
		for (unsigned long i = 0; i < count; i++) {
			char c = buf[i];
			if (line.empty() && !overlong)
				begun = now;
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
				ProcessLine(line.substr(0, line.find('\0'))); // a command's text ends at a NUL
			line.clear();
			overlong = false;
		}
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
