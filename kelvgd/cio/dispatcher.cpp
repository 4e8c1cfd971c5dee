// The dispatcher: its list of addresses, the connection to the current one,
// and the commands that come over it.
//
// The terminal is the client: TCP to service 5555 of each address in turn.
// Nothing here ever waits: names are resolved in the background and polled,
// the socket is non-blocking and polled with a zero timeout, and a send
// goes on where the last one stopped. Network failures only drop the
// connection; the pass reconnects.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include "errmsg.h"
#include "loop.h"
#include "shared_state.h"
#include "util.h"

static bool cio_name_char(char c)
{
	return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

int minicio_register_server(const char *addresses)
{
	shared_state *s = vgd_state;
	const size_t cap = sizeof(s->addr_server);
	size_t n;
	int r;

	if (!addresses)
		return 0;
	if ((r = vgd_write_lock(SEM_SSTATE_R, SEM_SSTATE_W)) < 0)
		return r;
	n = strnlen(addresses, cap - 1);
	memcpy(s->addr_server, addresses, n);
	memset(s->addr_server + n, 0, cap - n);
	s->addr_len = (int32_t)n + 1;
	// Any other character separates two names.
	for (size_t i = 0; i < n; i++)
		if (!cio_name_char(s->addr_server[i]))
			s->addr_server[i] = '\0';
	s->addr_pos = 0;
	while (s->addr_pos < s->addr_len && !s->addr_server[s->addr_pos])
		s->addr_pos++;
	s->addr_pos %= s->addr_len;
	vgd_write_unlock(SEM_SSTATE_R, SEM_SSTATE_W);
	vgd_store(&s->serv_sock_close, 1);
	return 0;
}

// The list as the loop may trust it, whoever wrote the record.
static int32_t cio_addr_len(const shared_state *s)
{
	return s->addr_len < 1 || s->addr_len > (int32_t)sizeof(s->addr_server) ? 1 : s->addr_len;
}

static const char *cio_current_address(const shared_state *s)
{
	int32_t pos = s->addr_pos;

	return pos >= 0 && pos < cio_addr_len(s) ? s->addr_server + pos : "";
}

void select_next_address(void)
{
	shared_state *s = vgd_state;
	const int32_t len = cio_addr_len(s);
	bool gap = false;

	if (s->addr_pos < 0 || s->addr_pos >= len)
		s->addr_pos = 0;
	// The next name is the first character after a separator.
	for (int32_t i = 0; i < len; i++) {
		s->addr_pos = (s->addr_pos + 1) % len;
		if (!s->addr_server[s->addr_pos])
			gap = true;
		else if (gap)
			break;
	}
}

void cio_msg_free(cio_msg *m)
{
	free(m->buf);
	*m = {};
}

void cio_conn_request_close(cio_loop *l)
{
	vgd_store(&vgd_state->serv_sock_close, 1);
	l->readable = l->writable = false;
}

static void cio_resolve_free(cio_resolve *q)
{
	if (q->req.ar_result)
		freeaddrinfo(q->req.ar_result);
	free(q->name);
	free(q);
}

static void cio_resolve_start(cio_loop *l, const char *name)
{
	cio_resolve *q = (cio_resolve *)calloc(1, sizeof(*q));
	struct gaicb *list[1];
	int r;

	if (!q || !(q->name = strdup(name))) {
		free(q);
		syslog(LOG_ERR, "%s (%s)", gai_strerror(EAI_MEMORY), name);
		l->t_conn = l->now;
		return;
	}
	list[0] = &q->req;
	// The dispatcher protocol runs over IPv4.
	q->hints.ai_family = AF_INET;
	q->hints.ai_socktype = SOCK_STREAM;
	q->req.ar_name = q->name;
	q->req.ar_service = DISP_PORT;
	q->req.ar_request = &q->hints;
	r = getaddrinfo_a(GAI_NOWAIT, list, 1, nullptr);
	if (r != 0) {
		syslog(LOG_ERR, "%s (%s)", gai_strerror(r), q->name);
		cio_resolve_free(q);
		l->t_conn = l->now;
		return;
	}
	l->addrreq = q;
}

// Starts connecting; whether it worked shows when the socket is polled.
static void cio_connect(cio_loop *l, const struct addrinfo *ai)
{
	int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
	int flags;

	if (fd < 0) {
		syslog(LOG_ERR, "Failed to create socket!");
		return;
	}
	if (socket_keepalive_enable(fd) < 0)
		syslog(LOG_WARNING, "Failed to enable TCP keepalive!");
	l->serv_socket = fd;
	l->connected = false;
	flags = fcntl(fd, F_GETFL);
	if (flags < 0) {
		syslog(LOG_ERR, "F_GETFL: %m");
		cio_conn_request_close(l);
		return;
	}
	// A blocking connect would stall the loop: no attempt without this.
	if (fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
		syslog(LOG_ERR, "F_SETFL: %m");
		cio_conn_request_close(l);
		return;
	}
	connect(fd, ai->ai_addr, ai->ai_addrlen);
}

void cio_conn_manage(cio_loop *l)
{
	const shared_state *s = vgd_state;
	cio_resolve *q = l->addrreq;
	int r;

	if (l->serv_socket >= 0 || ts_elapsed_ns(&l->t_conn, &l->now) < NSEC_PER_SEC ||
	    (!l->packed.buf && !l->reply.buf) || !*cio_current_address(s))
		return;
	if (!q) {
		// After a connection that carried data the same dispatcher is
		// tried again; otherwise the loop moves on every addr_interval.
		if (l->retry_flag)
			l->t_rr = l->now;
		else if (ts_elapsed_ns(&l->t_rr, &l->now) >= s->addr_interval * NSEC_PER_SEC) {
			l->t_rr = l->now;
			select_next_address();
		}
		l->retry_flag = false;
		l->busy = true;
		cio_resolve_start(l, cio_current_address(s));
		return;
	}
	r = gai_error(&q->req);
	if (r == EAI_INPROGRESS)
		return;
	if (r != 0) {
		syslog(LOG_ERR, "%s (%s)", gai_strerror(r), q->name);
		l->t_rr = {}; // the next attempt moves on at once
	} else
		cio_connect(l, q->req.ar_result);
	l->t_conn = l->now;
	cio_resolve_free(q);
	l->addrreq = nullptr;
}

int cio_conn_close_request(cio_loop *l)
{
	const cio_ops *b = l->cioo;
	int r;

	if (!vgd_xchg(&vgd_state->serv_sock_close, 0))
		return 0;
	if (l->serv_socket >= 0) {
		shutdown(l->serv_socket, SHUT_RDWR);
		close(l->serv_socket);
	}
	l->serv_socket = -1;
	l->connected = false;
	l->readable = l->writable = false;
	// Waiting messages go again from their first byte on the next
	// connection. The dispatcher's line stays in snd_dir, so that the next
	// line action connects the sound path again.
	l->packed.pos = l->reply.pos = 0;
	l->cmd_sync = false;
	l->cmd_recv_bytes = 0;
	if ((r = b->sound_set(-1)) < 0)
		return cio_fail(r, "Failed to disable sound\n");
	if (b->mod_four_wire && (r = b->mod_four_wire(false)) < 0)
		return cio_fail(r, "Failed to set modules mode\n");
	return 0;
}

void cio_conn_poll(cio_loop *l)
{
	struct pollfd p = { l->serv_socket, POLLIN | POLLOUT, 0 };
	socklen_t len = sizeof(int);
	int err = 0;

	l->readable = l->writable = false;
	if (l->serv_socket < 0)
		return;
	if (poll(&p, 1, 0) < 0) {
		syslog(LOG_ERR, "select() failed (%m)");
		cio_conn_request_close(l);
		return;
	}
	if (!p.revents)
		return; // still connecting
	if (getsockopt(l->serv_socket, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
		err = errno;
	if (err) {
		errno = err;
		syslog(LOG_ERR, "%m");
		cio_conn_request_close(l);
		l->t_conn = l->now;
		return;
	}
	l->connected = true;
	l->readable = p.revents & (POLLIN | POLLHUP | POLLERR);
	l->writable = p.revents & POLLOUT;
}

void cio_conn_receive(cio_loop *l)
{
	ssize_t n;

	if (!l->readable || l->cmd_recv_bytes >= sizeof(l->serv_cmd))
		return;
	n = recv(l->serv_socket, l->serv_cmd + l->cmd_recv_bytes, sizeof(l->serv_cmd) - l->cmd_recv_bytes,
		 MSG_DONTWAIT);
	if (n > 0) {
		l->cmd_recv_bytes += (unsigned)n;
		l->retry_flag = true;
		l->busy = true;
		return;
	}
	if (n < 0 && (errno == EAGAIN || errno == EINTR))
		return;
	if (n == 0)
		errno = ECONNRESET; // the dispatcher closed the connection
	syslog(LOG_ERR, "Error receiving (%m)");
	cio_conn_request_close(l);
}

bool cio_conn_send(cio_loop *l, cio_msg *m)
{
	ssize_t n = send(l->serv_socket, m->buf + m->pos, m->len - m->pos, MSG_NOSIGNAL | MSG_DONTWAIT);

	if (n < 0 && (errno == EAGAIN || errno == EINTR))
		return false; // the buffer filled up since the poll
	if (n <= 0) {
		syslog(LOG_ERR, "Error sending (%m)");
		cio_conn_request_close(l);
		return false;
	}
	m->pos += (size_t)n;
	l->retry_flag = true;
	if (m->pos < m->len) {
		l->busy = true;
		return false;
	}
	cio_msg_free(m);
	l->completed = true;
	l->busy = false;
	return true;
}

void cio_conn_end(cio_loop *l)
{
	cio_resolve *q = l->addrreq;

	if (l->serv_socket >= 0) {
		shutdown(l->serv_socket, SHUT_RDWR);
		close(l->serv_socket);
		l->serv_socket = -1;
	}
	if (!q)
		return;
	l->addrreq = nullptr;
	// The resolver's thread owns the request until it lets go of it.
	if (gai_cancel(&q->req) == EAI_NOTCANCELED) {
		const struct gaicb *list[1] = { &q->req };
		struct timespec limit = { 2, 0 };

		gai_suspend(list, 1, &limit);
		if (gai_error(&q->req) == EAI_INPROGRESS)
			return; // left to the end of the process
	}
	cio_resolve_free(q);
}

void cio_line_packet(uint8_t out[6], uint8_t hub, uint8_t cmd)
{
	out[0] = 0x5F;
	out[1] = (uint8_t)(hub - 1);
	out[2] = 0x02;
	out[3] = 0x40;
	out[4] = cmd;
	// Bytes 1 to 5 sum to 0 modulo 256.
	out[5] = (uint8_t)(0xBE - cmd - (hub - 1));
}

// Queues a line packet under the packet lock, which stays with the loop
// until the packet has gone.
static int cio_queue_packet(cio_loop *l, uint8_t dir, uint8_t hub, uint8_t cmd)
{
	int r = vgd_sem_trylock(SEM_COMMAND);

	if (r == -EAGAIN) {
		syslog(LOG_WARNING, "Command already in progress, dropping new one (c:%u d:%u a:%u)!", cmd, dir, hub);
		return 0;
	}
	if (r < 0)
		return r;
	if ((r = vgd_write_lock(SEM_SSTATE_R, SEM_SSTATE_W)) < 0) {
		vgd_sem_unlock(SEM_COMMAND);
		return r;
	}
	cio_line_packet(vgd_state->pkt_data, hub, cmd);
	vgd_state->pkt_len = 6;
	vgd_state->pkt_dir = dir;
	vgd_write_unlock(SEM_SSTATE_R, SEM_SSTATE_W);
	l->pkt_locked = true;
	return 0;
}

// The reset command: filter off, sound path disconnected, two-wire.
static int cio_command_reset(cio_loop *l)
{
	const cio_ops *b = l->cioo;
	int r;

	if ((r = b->filter_en(false)) < 0)
		return cio_fail(r, "Failed to disable filter\n");
	if ((r = b->sound_set(-1)) < 0)
		return cio_fail(r, "Failed to disable sound\n");
	if (b->mod_four_wire && (r = b->mod_four_wire(false)) < 0)
		return cio_fail(r, "Failed to set modules mode\n");
	l->snd_dir = 0;
	l->four_wire = false;
	l->cmd_test = false;
	l->block_si = false;
	return 0;
}

int cio_command(cio_loop *l, const uint8_t c[4])
{
	const uint8_t pgs = c[0], dir = c[1], hub = c[2], cmd = c[3];
	const uint8_t sound = pgs & (uint8_t)~4u;
	// A line this board does not have is no line to act on.
	const bool line = dir >= 1 && dir <= l->lines;
	int r;

	// Every command allows one data packet.
	l->cmd_sync = true;
	if (pgs == 0xFF && dir == 0xFF && hub == 0xFF && cmd == 0xFF) {
		l->block_si = false;
		return 0;
	}
	if (pgs == 0xFF && dir == 0 && hub == 0 && cmd == 0) {
		l->block_si = true;
		return 0;
	}
	if (pgs == 0 && dir == 0 && hub == 0 && cmd == 0)
		return cio_command_reset(l);
	if (hub == 0 && cmd == 1) {
		l->cmd_test = true;
		return 0;
	}

	if (sound == 1 || sound == 2) {
		if ((r = l->cioo->filter_en(sound == 2)) < 0)
			return cio_fail(r, "Failed to configure filter\n");
		// The sound path is never put on a line the board lacks: the
		// next line action would fail on it and end the loop.
		l->snd_dir = line ? dir : 0;
	}
	if ((r = vgd_read_lock(SEM_SSTATE_R, SEM_SSTATE_W)) < 0)
		return r;
	if (!vgd_state->mod_override)
		l->four_wire = pgs & 4;
	else
		l->four_wire = line && ((vgd_state->mod_modes >> (dir - 1)) & 1);
	vgd_read_unlock(SEM_SSTATE_R, SEM_SSTATE_W);

	if (dir < 1 || dir > CIO_LINES_MAX || hub < 1 || hub > 32)
		return 0;
	if (!line) {
		// A line of the protocol that this board lacks: nothing to do on
		// it, but the dispatcher waits for the acknowledgement of a line
		// command or line packet, and would wait for ever.
		if ((cio_sends_packets(l->cioo) && cmd > 64) || (cmd >= 1 && cmd <= 64))
			return cio_ack(l);
		return 0;
	}
	if (cio_sends_packets(l->cioo) && cmd > 64)
		return cio_queue_packet(l, dir, hub, cmd);
	if (cmd >= 1 && cmd <= 64) {
		l->perform_cmd = cmd;
		l->perform_dir = dir;
		l->perform_hub = hub;
	}
	return 0;
}
