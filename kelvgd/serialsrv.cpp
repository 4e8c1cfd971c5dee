// The serial pass-through server (`kelvgd sersrv`) and its settings
// (`kelvgd sercfg`).
//
// One ring buffer per direction, and four flags for the directions that are
// still open. Reading stops on both sides as soon as either side's input or
// the network output ends; what was read is still written out, and the
// session ends when nothing is left to write. All descriptors are
// non-blocking, so that a slow reader on one side never holds up the other
// direction.
#include "serialsrv.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <termios.h>
#include <unistd.h>

#include "errmsg.h"
#include "handlers.h"
#include "ic_bus.h"
#include "paths.h"
#include "rootpath.h"
#include "serial.h"
#include "shared_state.h"
#include "util.h"

// The session runs while set; daemon_loop points here during the run.
static uint8_t running;

struct sersrv_ring {
	uint8_t data[SERSRV_BUF_SIZE];
	size_t rd; // next byte to write out
	size_t wr; // next free byte; rd == wr: empty
};

// Free bytes from the write index on, without wrapping. 0 only when full:
// the byte before the read index stays free.
static size_t ring_room(const sersrv_ring *b)
{
	if (b->wr < b->rd)
		return b->rd - b->wr - 1;
	return SERSRV_BUF_SIZE - b->wr - (b->rd == 0);
}

// Bytes from the read index on, without wrapping. 0 only when empty.
static size_t ring_data(const sersrv_ring *b)
{
	return b->wr >= b->rd ? b->wr - b->rd : SERSRV_BUF_SIZE - b->rd;
}

// Directions still open.
enum {
	NET_IN = 1 << 0,
	NET_OUT = 1 << 1,
	PORT_IN = 1 << 2,
	PORT_OUT = 1 << 3,
};

// Sockets are written with MSG_NOSIGNAL: a peer that is gone must end its
// direction, not the process.
static ssize_t sersrv_read(int fd, void *buf, size_t len)
{
	ssize_t n;

	do
		n = read(fd, buf, len);
	while (n < 0 && errno == EINTR);
	return n;
}

static ssize_t sersrv_write(int fd, const void *buf, size_t len)
{
	ssize_t n;

	do {
		n = send(fd, buf, len, MSG_NOSIGNAL);
		if (n < 0 && errno == ENOTSOCK)
			n = write(fd, buf, len);
	} while (n < 0 && errno == EINTR);
	return n;
}

#define POLL_FAILED (POLLERR | POLLHUP | POLLNVAL)

// One read into the ring. false when that input has ended: end of data, an
// error, or nothing to read although the descriptor reported a failure.
static bool sersrv_fill(int fd, sersrv_ring *b, short revents)
{
	ssize_t n = sersrv_read(fd, b->data + b->wr, ring_room(b));

	if (n > 0) {
		b->wr = (b->wr + (size_t)n) % SERSRV_BUF_SIZE;
		return true;
	}
	return n < 0 && errno == EAGAIN && !(revents & POLL_FAILED);
}

// One write out of the ring; false when that output has ended.
static bool sersrv_drain(int fd, sersrv_ring *b, short revents)
{
	ssize_t n = sersrv_write(fd, b->data + b->rd, ring_data(b));

	if (n > 0) {
		b->rd = (b->rd + (size_t)n) % SERSRV_BUF_SIZE;
		return true;
	}
	return n < 0 && errno == EAGAIN && !(revents & POLL_FAILED);
}

static bool all_open(unsigned open, unsigned dirs)
{
	return (open & dirs) == dirs;
}

int sersrv_relay(int net_in, int net_out, int port, const uint8_t *keep_going, const sigset_t *waitmask)
{
	sersrv_ring to_port = {}, to_net = {};
	unsigned open = NET_IN | NET_OUT | PORT_IN | PORT_OUT;

	while (vgd_load(keep_going)) {
		// One entry each for network input, network output and the port;
		// events 0 leaves an entry out of the wait.
		struct pollfd p[3] = { { net_in, 0, 0 }, { net_out, 0, 0 }, { port, 0, 0 } };

		if (ring_room(&to_port) && all_open(open, NET_IN | PORT_OUT | PORT_IN))
			p[0].events = POLLIN;
		if (ring_data(&to_net) && (open & NET_OUT))
			p[1].events = POLLOUT;
		if (ring_room(&to_net) && all_open(open, NET_OUT | PORT_IN | NET_IN))
			p[2].events |= POLLIN;
		if (ring_data(&to_port) && (open & PORT_OUT))
			p[2].events |= POLLOUT;
		if (!p[0].events && !p[1].events && !p[2].events)
			return 0; // both directions are finished
		for (pollfd &e : p)
			if (!e.events)
				e.fd = -1;

		if (ppoll(p, 3, nullptr, waitmask) < 0) {
			if (errno == EINTR)
				continue;
			return neg_errno_automsg();
		}

		if (p[0].revents && !sersrv_fill(net_in, &to_port, p[0].revents))
			open &= ~NET_IN;
		if ((p[2].events & POLLIN) && (p[2].revents & (POLLIN | POLL_FAILED)) &&
		    !sersrv_fill(port, &to_net, p[2].revents))
			open &= ~PORT_IN;
		if (p[1].revents && !sersrv_drain(net_out, &to_net, p[1].revents))
			open &= ~NET_OUT;
		if ((p[2].events & POLLOUT) && (p[2].revents & (POLLOUT | POLL_FAILED)) &&
		    !sersrv_drain(port, &to_port, p[2].revents))
			open &= ~PORT_OUT;
	}
	return 0;
}

// A client that vanishes without a word (cable, NAT, power) must not keep
// the port locked forever.
static void sersrv_keepalive(int fd)
{
	int proto;
	socklen_t len = sizeof(proto);

	if (getsockopt(fd, SOL_SOCKET, SO_PROTOCOL, &proto, &len) == 0 && proto == IPPROTO_TCP)
		socket_keepalive_enable(fd);
}

// Makes the descriptor non-blocking; its flags before, or -1.
static int sersrv_nonblock(int fd)
{
	int flags = fcntl(fd, F_GETFL);

	if (flags >= 0 && !(flags & O_NONBLOCK))
		fcntl(fd, F_SETFL, flags | O_NONBLOCK);
	return flags;
}

static void sersrv_restore(int fd, int flags)
{
	if (flags >= 0 && !(flags & O_NONBLOCK))
		fcntl(fd, F_SETFL, flags);
}

struct sersrv_cfg {
	uint8_t port;
	uint32_t baud;
	uint8_t bits;
	char par;
	uint8_t stop;
};

static int sersrv_cfg_read(sersrv_cfg *c)
{
	int r = vgd_read_lock(SEM_SSTATE_R, SEM_SSTATE_W);

	if (r < 0)
		return r;
	c->port = vgd_state->ser_port;
	c->baud = vgd_state->ser_baud;
	c->bits = vgd_state->ser_bits;
	c->par = vgd_state->ser_par;
	c->stop = vgd_state->ser_stop;
	return vgd_read_unlock(SEM_SSTATE_R, SEM_SSTATE_W);
}

// The console runs while its states file is there: it makes the file when
// it starts and removes it when it stops in order, and one that crashed
// leaves it to the restart that follows. Or while its pipe has a reader.
static bool sersrv_console_runs(void)
{
	struct stat st;
	bool fifo;
	int fd;

	if (stat(kel_path(IC_STATES_FILE), &st) == 0)
		return true;
	fd = open(kel_path(CONSOLE_PIPE), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
	if (fd < 0)
		return false;
	fifo = fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode);
	close(fd);
	return fifo;
}

// An intercom bus is the console's while it runs: a session would cut the
// intercoms off and could put a client's bytes on the bus. A console
// stopped on purpose leaves the bus to the maintainer. The client is told
// why before the connection closes.
static int sersrv_bus_check(unsigned tty, const char *path)
{
	int ttys[IC_BUS_PORTS];
	char line[80];
	int n;

	ic_bus_ttys(ttys);
	for (unsigned port = 0; port < IC_BUS_PORTS; port++) {
		if (ttys[port] != (int)tty || !sersrv_console_runs())
			continue;
		n = snprintf(line, sizeof(line), "ttyS%u is intercom bus %u of the voice console: refused\n", tty, port);
		sersrv_write(STDOUT_FILENO, line, (size_t)n);
		errno = EBUSY;
		return neg_errno_msg("%s(): %s is intercom bus %u of the running voice console\n", __func__, path,
				     port);
	}
	return 0;
}

int serial_inetd_srv(void)
{
	char path[PATH_MAX];
	static const int stop_sigs[] = { SIGTERM, SIGHUP, SIGINT };
	sigset_t stop_signals, mask, waitmask;
	sersrv_cfg c;
	int in_flags, out_flags;
	int fd, r;

	// Writes to a peer that is gone fail with EPIPE. The server starts no
	// program that would inherit the ignored signal.
	if (signal(SIGPIPE, SIG_IGN) == SIG_ERR)
		return neg_errno();
	if ((r = sersrv_cfg_read(&c)) < 0)
		return r;
	if ((c.port != 1 && c.port != 2) || c.baud == 0 || c.baud > INT_MAX) {
		fprintf(stderr, "%s(): No serial port configured for pass-through\n", __func__);
		return -EINVAL;
	}
	if ((r = kel_pathf(path, sizeof(path), "/dev/ttyS%u", c.port)) < 0)
		return r;
	// Started without them, there is no connection to serve.
	if (vgd_std_closed & (1u << STDIN_FILENO | 1u << STDOUT_FILENO)) {
		errno = EBADF;
		return neg_errno_msg("%s(): No connection on standard input and output\n", __func__);
	}
	if ((r = sersrv_bus_check(c.port, path)) < 0)
		return r;
	fd = serial_open_flags(path, (int)c.baud, c.bits, c.par != 'N', c.par == 'O', c.stop,
			       SERIAL_ADAPTER | SERIAL_NONBLOCK);
	if (fd == -EBUSY)
		fprintf(stderr, "%s(): %s is in use\n", __func__, path);
	if (fd < 0)
		return fd;

	sersrv_keepalive(STDIN_FILENO);
	sersrv_keepalive(STDOUT_FILENO);
	in_flags = sersrv_nonblock(STDIN_FILENO);
	out_flags = sersrv_nonblock(STDOUT_FILENO);
	sd_notify(0, "READY=1");

	// The stop signals are taken only inside the wait, so that one that
	// arrives between the check of the flag and the wait is not lost.
	sigemptyset(&stop_signals);
	for (int sig : stop_sigs)
		sigaddset(&stop_signals, sig);
	sigprocmask(SIG_BLOCK, &stop_signals, &mask);
	waitmask = mask;
	for (int sig : stop_sigs)
		sigdelset(&waitmask, sig);
	r = sersrv_relay(STDIN_FILENO, STDOUT_FILENO, fd, &running, &waitmask);
	sigprocmask(SIG_SETMASK, &mask, nullptr);

	// What was written to the port leaves it at the line's own rate before
	// the close resets the serial adapter's rate under it. The port (and
	// its lock) goes before the client learns that the session has ended:
	// one that connects again at once must find it free.
	tcdrain(fd);
	serial_close(fd);
	if (shutdown(STDOUT_FILENO, SHUT_WR) != 0 && errno != ENOTSOCK) {
		fputs("shutdown() failed:\n\t", stderr);
		neg_errno_automsg();
	}
	sersrv_restore(STDOUT_FILENO, out_flags);
	sersrv_restore(STDIN_FILENO, in_flags);
	return r;
}

int vgd_sersrv(cmdline_param *params)
{
	int r;

	(void)params;
	// Raised before the start's work: a SIGTERM during it, or before it,
	// must not be lost.
	daemon_loop = &running;
	vgd_loop_begin(&running);
	r = serial_inetd_srv();
	daemon_loop = nullptr;
	return r;
}

static void sercfg_print(const sersrv_cfg *c)
{
	char par = c->par == 'N' || c->par == 'O' ? c->par : 'E';

	printf("ch=%u\nbaud=%u\nchar=%u\nparity=%c\nstop=%u\n", c->port, c->baud, c->bits, par, c->stop);
}

int vgd_sercfg(cmdline_param *params)
{
	int32_t port = param_num(params, 'i');
	int32_t baud = param_num(params, 'b');
	const char *parity = param_str(params, 'p');
	sersrv_cfg c;
	int r = 0, r2;

	if (port > 0 && baud > 0) {
		char par = (char)toupper((unsigned char)(parity ? parity[0] : '\0'));

		if (par != 'N' && par != 'O' && par != 'E') {
			fputs("Parity must be one of: N (None), O (Odd), E (Even)\n", stderr);
			r = -EINVAL;
		} else if ((r = vgd_write_lock(SEM_SSTATE_R, SEM_SSTATE_W)) == 0) {
			vgd_state->ser_baud = (uint32_t)baud;
			vgd_state->ser_port = (uint8_t)port;
			vgd_state->ser_bits = (uint8_t)param_num(params, 'w');
			vgd_state->ser_par = par;
			vgd_state->ser_stop = (uint8_t)param_num(params, 's');
			r = vgd_write_unlock(SEM_SSTATE_R, SEM_SSTATE_W);
		}
	}
	r2 = sersrv_cfg_read(&c);
	if (r2 < 0)
		return r < 0 ? r : r2;
	sercfg_print(&c);
	if (fflush(stdout) != 0)
		return neg_errno();
	return r;
}
