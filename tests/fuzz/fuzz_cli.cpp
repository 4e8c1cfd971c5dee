// The console's command interpreter against any lines from its pipe, with
// commands shaped like the console's own: plain words, an option with a
// value and a flag. Whatever comes, each line runs at most one command, and
// that with only the options it declared; every answer is whole lines.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "kel_cli.h"

namespace {

struct Outcome {
	int runs = 0;
	std::string output;
};

void check(bool ok)
{
	if (!ok)
		abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	Outcome out;
	KelCLI cli("", [&](const std::string &text) {
		check(!text.empty() && text.back() == '\n');
		out.output += text;
	});

	auto words_only = [&](KelCLI::Arguments &a) {
		out.runs++;
		check(!a.HasOption("call") && !a.HasOption("quiet"));
		a.Write("ok\n");
	};
	cli.SetCommand("tcmd", words_only, "Device command", "<command> [param]");
	cli.SetCommand("call", words_only, "Start call", "<uri>");
	cli.SetCommand("hangup", [&](KelCLI::Arguments &a) {
		out.runs++;
		check(!a.HasOption("quiet"));
		if (a.GetCount())
			a.WriteUsage();
	}, "Hang up call", "[ --call <token> ]", "c-call: Token for call to hang up");
	cli.SetCommand("mute", [&](KelCLI::Arguments &a) {
		out.runs++;
		check(!a.HasOption("call"));
		if (a.GetCount() > 1)
			a.WriteError("one word at most");
	}, "Mute", "[-q] [word]", "q-quiet");

	std::string_view input((const char *)data, size);
	while (!input.empty()) {
		size_t end = input.find('\n');
		std::string line(input.substr(0, end));
		input.remove_prefix(end == std::string_view::npos ? input.size() : end + 1);

		// As the pipe's reader hands it over: a command's text ends at a NUL.
		line = line.substr(0, line.find('\0'));
		out = {};
		cli.ProcessLine(line);
		check(out.runs <= 1);
		check(out.output.empty() || out.output.back() == '\n');
		if (line.find_first_not_of(" \t\r") == std::string::npos)
			check(out.runs == 0 && out.output.empty());
		if (out.output.rfind("Unknown command", 0) == 0)
			check(out.runs == 0);
	}
	return 0;
}
