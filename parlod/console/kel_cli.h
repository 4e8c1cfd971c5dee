// The console's command interpreter, served from the command pipe.
//
// Local programs write command lines into a named pipe; the interpreter
// reads them on the main thread and writes its answers to standard output.
// Nothing travels back through the pipe.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "command_fifo.h"
#include "paths.h"


// The input side of the interpreter: the command pipe (CommandFifo). It is
// created, or reused when it is a pipe already (an empty directory or
// anything else in its place is removed first), and read with blocking
// reads. A writer closing it never ends the reading: the channel notices
// when the last writer has gone (so that a line left unfinished is known
// to be abandoned) and goes on with the next one; one that removes or
// replaces the pipe gets a new pipe a moment later.
class KelConsoleChannel {
public:
	enum ConsoleType { StandardInput = 0, StandardOutput = 1 };

	KelConsoleChannel();
	explicit KelConsoleChannel(ConsoleType type);
	~KelConsoleChannel();
	KelConsoleChannel(const KelConsoleChannel &) = delete;
	KelConsoleChannel &operator=(const KelConsoleChannel &) = delete;

	bool Open(ConsoleType type);
	bool IsOpen() const { return m_consoleType == StandardInput ? m_pipe.is_open() : m_fd != -1; }
	// Blocks until at least one byte was read, or (the pipe) until every
	// writer has closed it or the pipe was made anew: then true with a
	// count of 0. False on an error, with its number, or when Interrupt()
	// was called (EINTR).
	bool Read(void *buf, unsigned long length);
	bool Close();
	unsigned long GetLastReadCount() const { return m_lastReadCount; }
	int GetErrorNumber() const { return m_error; }

	// Ends a Read() in progress and every later one; safe in a signal
	// handler.
	void Interrupt();

private:
	int m_fd = -1; // standard output
	int m_consoleType = -1;
	CommandFifo m_pipe;
	unsigned long m_lastReadCount = 0;
	int m_error = 0;
};

class KelCLI {
public:
	// What a command handler gets: the words after the command word, the
	// options it declared, and where its answers go.
	class Arguments {
	public:
		Arguments(KelCLI &cli, std::string command, std::vector<std::string> words,
			  std::map<std::string, std::string> options, std::string usage);

		size_t GetCount() const { return m_words.size(); }
		const std::string &operator[](size_t i) const { return m_words[i]; }
		const std::vector<std::string> &Words() const { return m_words; }
		bool HasOption(const std::string &name) const { return m_options.count(name) != 0; }
		std::string GetOptionString(const std::string &name) const;

		void Write(const std::string &text) const;
		void WriteError(const std::string &text) const;
		void WriteUsage() const;

	private:
		KelCLI &m_cli;
		std::string m_command;
		std::vector<std::string> m_words;
		std::map<std::string, std::string> m_options;
		std::string m_usage;
	};
	using Handler = std::function<void(Arguments &)>;

	// output receives every answer, whole.
	KelCLI(std::string prompt, std::function<void(const std::string &)> output);

	// option_spec: "c-call:" declares --call (short -c) with a value; more
	// options separated by newlines.
	void SetCommand(const std::string &name, Handler handler, const std::string &help, const std::string &usage,
			const std::string &option_spec = "");
	// Lines that help shows below the command's, each indented.
	void SetDetails(const std::string &name, const std::vector<std::string> &lines);

	// Makes and opens the pipe, so that clients can write to it from now
	// on; false, with a message naming it on standard error, when it
	// cannot.
	bool OpenPipe();
	// Serves the pipe (opened first if need be) on this thread until
	// Stop(); false, with a message
	// naming the pipe on standard error, when it cannot be opened or read
	// (then the console cannot be reached and must not go on as if it
	// could).
	bool StartForeground();
	// Safe in a signal handler.
	void Stop();

	// One line as read from the pipe.
	void ProcessLine(const std::string &line);
	void Output(const std::string &text) { m_output(text); }

private:
	struct Option {
		std::string name;
		char letter;
		bool value;
	};
	struct Command {
		Handler handler;
		std::string help, usage;
		std::vector<Option> options;
		std::string details; // more lines for help
	};
	void Help();

	std::string m_prompt;
	std::function<void(const std::string &)> m_output;
	std::map<std::string, Command> m_commands;
	KelConsoleChannel m_input;
	bool m_pipeOpen = false; // m_input is open on the pipe
};
