// The command table and its option parser.
//
// kelvgd's first argument is a command word; the options after it are
// parsed into the command's option list, which the handler reads back with
// param_num() and param_str().
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>

// One option of one command. A list ends with a row whose t is 0.
struct cmdline_param {
	const char *strval; // type s: default, then the argument
	int32_t numval;     // type n: default, then the value; type b: 1 when given
	int32_t min;
	int32_t max;
	uint8_t t; // 'n' number, 's' string, 'b' flag; 0 ends the list
	uint8_t n; // the option letter
	unsigned mandatory : 1;
	unsigned populated : 1; // given on this command line
};

typedef int (*vgd_handler)(cmdline_param *params);

struct vgd_command {
	const char *cmd;
	cmdline_param *params; // none: the command takes no options
	const char *help;
	vgd_handler handler;
	unsigned no_infra : 1; // runs without signal handlers, shared state and semaphores
};

extern vgd_command commands[];
extern const size_t commands_count;

// Set while a long-running loop runs: the flag that keeps it going.
extern uint8_t *volatile daemon_loop;

// The standard streams that were closed when the program started (bit n
// for descriptor n); the null device stands in for them.
extern unsigned vgd_std_closed;

// Set by a termination signal, whether or not a loop ran to be stopped.
extern volatile sig_atomic_t vgd_terminating;

// Raises the flag of a loop that is starting, which daemon_loop points at
// already; a termination signal that came before the flag was there to be
// cleared (while the daemon opened its hardware) clears it at once.
void vgd_loop_begin(uint8_t *flag);

// The row of the command word, searched from the last row; -EINVAL.
int cmd_index(const char *word);

// Parses argv[2..] into the command's option list. On a bad command line
// prints the message, a line that names the option, and the usage on
// stderr, and returns -EINVAL.
int vgd_parse_options(const vgd_command *cmd, int argc, char **argv);

// "Usage: ..." and one line per command.
void vgd_usage(FILE *out, const char *prog);

// A refused command line on stderr: the message as it stands, a line made
// from fmt that names the word or option, and the usage. Returns -EINVAL.
int vgd_bad_cmdline(const char *prog, const char *msg, const char *fmt, ...) __attribute__((format(printf, 3, 4)));

// The number or string of the option with that letter; the end row's value
// (0, none) when there is no such option.
int32_t param_num(const cmdline_param *params, char letter);
const char *param_str(const cmdline_param *params, char letter);
bool param_given(const cmdline_param *params, char letter);
