// kelvgd: the terminal's hardware health-monitor daemon, and the maintenance
// commands that act on it. One process runs one command word.
#include <cerrno>
#include <csignal>
#include <initializer_list>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <syslog.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include "cmdline.h"
#include "errmsg.h"
#include "shared_state.h"
#include "version.h"

// Asks the running loop to end. libsystemd's notification is a socket(),
// sendmsg() and close() on the stack, which a signal handler may call.
static void SIGTERM_handler(int sig)
{
	int saved = errno;
	uint8_t *flag = daemon_loop;

	(void)sig;
	sd_notify(0, "STOPPING=1");
	vgd_terminating = 1;
	if (flag)
		vgd_store(flag, 0);
	errno = saved;
}

static int vgd_signals_install(void)
{
	struct sigaction sa = {};
	sigset_t set;

	// No SA_RESTART: a sleep or wait cut short lets the loop see the
	// cleared flag at once.
	sa.sa_handler = SIGTERM_handler;
	sigemptyset(&sa.sa_mask);
	sigemptyset(&set);
	for (int sig : { SIGTERM, SIGHUP, SIGINT }) {
		if (sigaction(sig, &sa, nullptr) != 0)
			return neg_errno_automsg();
		sigaddset(&set, sig);
	}
	// The mask is inherited: a parent that blocked them would leave a
	// daemon that no stop request reaches, and pass that on to the
	// programs it starts.
	return sigprocmask(SIG_UNBLOCK, &set, nullptr) == 0 ? 0 : neg_errno_automsg();
}

// A reader that goes away (the SNMP sub-agent, the console, a push server,
// whoever reads our output) must never end kelvgd, however it was started:
// the write fails with EPIPE instead, and its caller decides. A handler of
// its own rather than SIG_IGN, because an ignored signal would be passed on
// to the programs kelvgd starts, which expect the default.
static void SIGPIPE_handler(int sig)
{
	(void)sig;
}

static int vgd_sigpipe_install(void)
{
	struct sigaction sa = {};

	sa.sa_handler = SIGPIPE_handler;
	sa.sa_flags = SA_RESTART;
	sigemptyset(&sa.sa_mask);
	return sigaction(SIGPIPE, &sa, nullptr) == 0 ? 0 : neg_errno_automsg();
}

static int vgd_infra_open(void)
{
	int r;

	if ((r = vgd_signals_install()) < 0 || (r = vgd_calc_ipc_key()) < 0 || (r = vgd_state_open()) < 0)
		return r;
	r = vgd_sem_open();
	if (r < 0)
		vgd_state_close();
	return r;
}

// A command whose lines could not all be written (a full disk, a closed
// pipe) has not done its job for whoever reads them.
static int vgd_stdout_result(int r)
{
	if (fflush(stdout) != 0)
		return r ? r : neg_errno();
	return r || !ferror(stdout) ? r : -EIO;
}

// A standard stream that was closed when the program started would lend
// its number to the first file opened: messages would go into a GPIO
// line's files or to the coprocessor. The null device takes its place.
static void vgd_std_streams_open(void)
{
	int fd;

	do {
		fd = open("/dev/null", O_RDWR | O_NOCTTY);
		if (fd >= 0 && fd <= STDERR_FILENO)
			vgd_std_closed |= 1u << fd;
	} while (fd >= 0 && fd <= STDERR_FILENO);
	if (fd > STDERR_FILENO)
		close(fd);
}

int main(int argc, char **argv)
{
	const vgd_command *cmd;
	int idx;
	int r;

	vgd_std_streams_open();
	openlog("kelvgd", LOG_PID, LOG_DAEMON);
	if (vgd_sigpipe_install() < 0)
		return 1;
	if (argc < 2) {
		fputs("Command not specified\n", stderr);
		vgd_usage(stderr, argv[0]);
		return 1;
	}
	if (!strcmp(argv[1], "--help") || !strcmp(argv[1], "-h")) {
		vgd_usage(stdout, argv[0]);
		return fflush(stdout) == 0 ? 0 : 1;
	}
	if (!strcmp(argv[1], "--version")) {
		printf("kelvgd %s\n", KEL_VERSION);
		return fflush(stdout) == 0 ? 0 : 1;
	}
	idx = cmd_index(argv[1]);
	if (idx < 0) {
		vgd_bad_cmdline(argv[0], "Invalid command\n", "\"%s\" is not a command word\n", argv[1]);
		return 1;
	}
	cmd = &commands[idx];
	if (vgd_parse_options(cmd, argc, argv) < 0)
		return 1;

	if (!cmd->no_infra && vgd_infra_open() < 0)
		return 1;

	r = vgd_stdout_result(cmd->handler(cmd->params));

	if (!cmd->no_infra) {
		sd_notifyf(0, "ERRNO=%d", -r);
		vgd_sem_close();
		vgd_state_close();
	}
	return r == 0 ? 0 : 1;
}
