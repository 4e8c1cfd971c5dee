#include "cmdline.h"

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>

uint8_t *volatile daemon_loop;
volatile sig_atomic_t vgd_terminating;
unsigned vgd_std_closed;

void vgd_loop_begin(uint8_t *flag)
{
	__atomic_store_n(flag, 1, __ATOMIC_SEQ_CST);
	// A signal now either sees the flag through daemon_loop, or came
	// before and is seen here.
	if (vgd_terminating)
		__atomic_store_n(flag, 0, __ATOMIC_SEQ_CST);
}

int cmd_index(const char *word)
{
	for (size_t i = commands_count; i-- > 0;)
		if (!strcmp(commands[i].cmd, word))
			return (int)i;
	return -EINVAL;
}

void vgd_usage(FILE *out, const char *prog)
{
	fprintf(out, "Usage:\n%s <command> [parameters]\nValid commands:\n", prog);
	for (size_t i = 0; i < commands_count; i++)
		fprintf(out, "  %s %s\n", commands[i].cmd, commands[i].help ? commands[i].help : "");
}

int vgd_bad_cmdline(const char *prog, const char *msg, const char *fmt, ...)
{
	va_list ap;

	fputs(msg, stderr);
	va_start(ap, fmt);
	vfprintf(stderr, fmt, ap);
	va_end(ap);
	vgd_usage(stderr, prog);
	return -EINVAL;
}

static const cmdline_param *param_find(const cmdline_param *params, char letter)
{
	const cmdline_param *p = params;

	while (p->t && p->n != (uint8_t)letter)
		p++;
	return p;
}

int32_t param_num(const cmdline_param *params, char letter)
{
	return params ? param_find(params, letter)->numval : 0;
}

const char *param_str(const cmdline_param *params, char letter)
{
	return params ? param_find(params, letter)->strval : nullptr;
}

bool param_given(const cmdline_param *params, char letter)
{
	return params && param_find(params, letter)->populated;
}

// The scanner's option string: a letter per row, ":" after those that take
// an argument; rows that do not fit in 79 characters are left out.
static void vgd_optstring(const cmdline_param *params, char out[80])
{
	size_t len = 0;

	out[0] = '\0';
	for (const cmdline_param *p = params; p && p->t; p++) {
		size_t need = p->t == 'b' ? 1 : 2;

		if (len + need > 79)
			continue;
		out[len++] = (char)p->n;
		if (need == 2)
			out[len++] = ':';
		out[len] = '\0';
	}
}

// The second line of "Unexpected option": which option, and what is wrong
// with it. optopt is the letter the scanner could not use.
static int vgd_unexpected(const vgd_command *cmd, const char *optstr, const char *prog)
{
	const char *msg = "Unexpected option\n";

	if (!cmd->params || !cmd->params->t)
		return vgd_bad_cmdline(prog, msg, "\"%s\" takes no options\n", cmd->cmd);
	if (optopt == '-') // "--name": the scanner knows letters only
		return vgd_bad_cmdline(prog, msg, "\"%s\" has no long options\n", cmd->cmd);
	if (!isgraph(optopt))
		return vgd_bad_cmdline(prog, msg, "\"%s\" has no such option\n", cmd->cmd);
	if (optopt != ':' && strchr(optstr, optopt))
		return vgd_bad_cmdline(prog, msg, "-%c needs a value\n", optopt);
	return vgd_bad_cmdline(prog, msg, "-%c is not an option of \"%s\"\n", optopt, cmd->cmd);
}

// getopt() keeps state between calls; start every scan from scratch.
static void vgd_getopt_reset(void)
{
	char name[] = "kelvgd";
	char *argv[] = { name, nullptr };

	optind = 0;
	opterr = 0;
	getopt(1, argv, "");
	opterr = 1;
}

int vgd_parse_options(const vgd_command *cmd, int argc, char **argv)
{
	char optstr[80];
	int c;

	vgd_optstring(cmd->params, optstr);
	vgd_getopt_reset();
	optind = 2;
	opterr = 0; // the second line of our own message says it better
	while ((c = getopt(argc, argv, optstr)) != -1) {
		cmdline_param *p;
		char *end;
		long v;

		if (c == '?' || c == ':' || !cmd->params)
			return vgd_unexpected(cmd, optstr, argv[0]);
		p = (cmdline_param *)param_find(cmd->params, (char)c);
		switch (p->t) {
		case 'n':
			errno = 0;
			v = strtol(optarg, &end, 0);
			if (errno || end == optarg || v < p->min || v > p->max)
				return vgd_bad_cmdline(argv[0], "Invalid option value\n",
						       "-%c %s: not a number from %d to %d\n", c, optarg, p->min,
						       p->max);
			p->numval = (int32_t)v;
			break;
		case 's':
			p->strval = optarg;
			break;
		case 'b':
			p->numval = 1;
			break;
		default:
			return vgd_bad_cmdline(argv[0], "Internal error\n", "-%c has no usable row in the table\n", c);
		}
		p->populated = 1;
	}
	// A value without its letter ("clcall 3") would otherwise be dropped,
	// and the command carried out as if it had not been given: on every
	// channel instead of one, or showing a setting instead of changing it.
	if (optind < argc)
		return vgd_bad_cmdline(argv[0], "Unexpected option\n", "\"%s\" is not an option of \"%s\"\n",
				       argv[optind], cmd->cmd);

	for (const cmdline_param *p = cmd->params; p && p->t; p++)
		if (p->mandatory && !p->populated)
			return vgd_bad_cmdline(argv[0], "Missing mandatory option\n", "\"%s\" needs -%c\n", cmd->cmd,
					       p->n);
	return 0;
}
