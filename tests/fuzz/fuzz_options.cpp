// The option parser against any argument vector: words are separated by NUL
// bytes in the input. Whatever it accepts must lie within the table's rules.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "cmdline.h"

namespace {

std::vector<std::vector<cmdline_param>> snapshot()
{
	std::vector<std::vector<cmdline_param>> lists;
	for (size_t i = 0; i < commands_count; i++) {
		std::vector<cmdline_param> rows;
		for (const cmdline_param *p = commands[i].params; p && p->t; p++)
			rows.push_back(*p);
		lists.push_back(rows);
	}
	return lists;
}

void restore(const std::vector<std::vector<cmdline_param>> &lists)
{
	for (size_t i = 0; i < commands_count; i++)
		for (size_t j = 0; j < lists[i].size(); j++)
			commands[i].params[j] = lists[i][j];
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	static const auto pristine = snapshot();
	std::vector<std::string> words = { "kelvgd" };
	std::vector<char *> argv;

	restore(pristine);
	words.emplace_back();
	for (size_t i = 0; i < size && words.size() < 32; i++) {
		if (data[i] == 0)
			words.emplace_back();
		else
			words.back().push_back((char)data[i]);
	}
	for (auto &w : words)
		argv.push_back(w.data());
	argv.push_back(nullptr);

	int idx = cmd_index(argv[1]);
	if (idx < 0)
		return 0;
	const vgd_command *cmd = &commands[idx];
	if (vgd_parse_options(cmd, (int)words.size(), argv.data()) < 0)
		return 0;

	for (const cmdline_param *p = cmd->params; p && p->t; p++) {
		if (p->mandatory && !p->populated)
			__builtin_trap();
		if (p->t == 'n' && p->populated && (p->numval < p->min || p->numval > p->max))
			__builtin_trap();
	}
	return 0;
}
