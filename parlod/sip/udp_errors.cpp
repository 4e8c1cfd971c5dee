#include "udp_errors.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <linux/errqueue.h>
#include <random>
#include <strings.h>
#include <sys/socket.h>

#include "libre.h"

namespace sipep {

namespace {

// The one of the process (libre has one SIP stack per process).
UdpErrors *instance = nullptr; // on the libre thread only

// An INVITE's retransmissions end after 64 times T1: no error about it
// comes later than that.
constexpr auto kInviteLifetime = std::chrono::seconds(32);
constexpr size_t kMaxNoted = 64;

bool same_destination(const sockaddr_in &a, const sockaddr_in &b)
{
	return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

// The Call-ID of a request of the method, or "" when pkt is another
// message.
std::string call_id_of(std::string_view pkt, std::string_view method)
{
	if (pkt.size() <= method.size() || pkt.substr(0, method.size()) != method || pkt[method.size()] != ' ')
		return "";
	size_t at = pkt.find("\r\n");
	while (at != std::string_view::npos && at + 2 < pkt.size()) {
		size_t start = at + 2, end = pkt.find("\r\n", start);
		std::string_view line = pkt.substr(start, end == std::string_view::npos ? std::string_view::npos
											: end - start);
		if (line.empty())
			break; // the end of the headers
		size_t colon = line.find(':');
		if (colon != std::string_view::npos) {
			std::string_view name = line.substr(0, colon);
			while (!name.empty() && (name.back() == ' ' || name.back() == '\t'))
				name.remove_suffix(1);
			if ((name.size() == 7 && !strncasecmp(name.data(), "call-id", 7)) ||
			    (name.size() == 1 && (name[0] == 'i' || name[0] == 'I'))) {
				std::string_view value = line.substr(colon + 1);
				while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
					value.remove_prefix(1);
				while (!value.empty() && (value.back() == ' ' || value.back() == '\t'))
					value.remove_suffix(1);
				return std::string(value);
			}
		}
		at = end;
	}
	return "";
}

} // namespace

struct UdpErrors::Handlers {
	static bool request(const sip_msg *msg, void *arg)
	{
		auto *self = (UdpErrors *)arg;
		if (self != instance || msg->tp != SIP_TRANSP_UDP)
			return false;
		// Any request shows its socket, also one of a transport that
		// was added without watch().
		self->take_socket(msg->sock);
		return !pl_strcmp(&msg->callid, self->marker_.c_str());
	}

	// libre's read of the socket failed: an error came, and more may
	// wait on the queue.
	static void error(int err, void *arg)
	{
		(void)err;
		(void)arg; // the transport, libre's own
		if (instance)
			instance->drain();
	}

	static void trace(bool tx, enum sip_transp tp, const struct sa *src, const struct sa *dst, const uint8_t *pkt,
			  size_t len, void *arg)
	{
		(void)arg;
		if (tx && tp == SIP_TRANSP_UDP && src && dst && instance)
			instance->note_invite(*src, *dst, pkt, len);
	}
};

UdpErrors::UdpErrors(Refused refused) : refused_(std::move(refused))
{
	std::random_device rd;
	char text[32];
	snprintf(text, sizeof(text), "%08x%08x", rd(), rd());
	marker_ = std::string("udp-errors-") + text;
}

UdpErrors::~UdpErrors()
{
	if (instance == this)
		instance = nullptr;
}

int UdpErrors::open(struct sip *sip)
{
	int err = sip_listen(&lsnr_, sip, true, Handlers::request, this);
	if (err)
		return err;
	sip_ = sip;
	instance = this;
	sip_set_trace_handler(sip, Handlers::trace);
	return 0;
}

void UdpErrors::close()
{
	if (sip_)
		sip_set_trace_handler(sip_, nullptr);
	lsnr_ = (sip_lsnr *)mem_deref(lsnr_);
	if (instance == this)
		instance = nullptr;
	sip_ = nullptr;
	watched_.clear();
	asked_.clear();
	sent_.clear();
}

void UdpErrors::watch(const struct sa &laddr)
{
	if (!sip_ || sa_af(&laddr) != AF_INET)
		return;
	for (const sockaddr_in &a : asked_)
		if (same_destination(a, laddr.u.in))
			return;
	asked_.push_back(laddr.u.in);
	mbuf *mb = mbuf_alloc(512);
	if (!mb)
		return;
	int err = mbuf_printf(mb,
			      "OPTIONS sip:%s@%J SIP/2.0\r\n"
			      "Via: SIP/2.0/UDP %J;branch=z9hG4bK%s\r\n"
			      "Max-Forwards: 0\r\n"
			      "From: <sip:%s@%J>;tag=1\r\n"
			      "To: <sip:%s@%J>\r\n"
			      "Call-ID: %s\r\n"
			      "CSeq: 1 OPTIONS\r\n"
			      "Content-Length: 0\r\n\r\n",
			      marker_.c_str(), &laddr, &laddr, marker_.c_str(), marker_.c_str(), &laddr,
			      marker_.c_str(), &laddr, marker_.c_str());
	mb->pos = 0;
	if (!err)
		(void)sip_send(sip_, nullptr, SIP_TRANSP_UDP, &laddr, mb);
	mem_deref(mb);
}

void UdpErrors::take_socket(void *sock)
{
	auto *us = (udp_sock *)sock;
	int fd = udp_sock_fd(us, AF_INET);
	int on = 0;
	socklen_t len = sizeof(on);
	// A socket that asks for errors already is watched; its descriptor may
	// be one that an earlier transport had.
	if (fd < 0 || getsockopt(fd, IPPROTO_IP, IP_RECVERR, &on, &len) || on)
		return;
	Watched w{ fd, {} };
	len = sizeof(w.local);
	if (getsockname(fd, (sockaddr *)&w.local, &len) || w.local.sin_family != AF_INET)
		return;
	// The handler first: an error that comes right after the option must
	// find the queue's reader, or libre's loop would wake for it for ever.
	udp_error_handler_set(us, Handlers::error);
	on = 1;
	if (udp_setsockopt(us, IPPROTO_IP, IP_RECVERR, &on, sizeof(on)))
		return;
	std::erase_if(watched_, [&](const Watched &o) { return o.fd == fd; });
	watched_.push_back(w);
}

void UdpErrors::note_invite(const struct sa &src, const struct sa &dst, const uint8_t *pkt, size_t len)
{
	if (sa_af(&dst) != AF_INET)
		return;
	std::string call_id = call_id_of(std::string_view((const char *)pkt, len), "INVITE");
	if (call_id.empty())
		return;
	// A socket not watched yet (a transport added since) is sent our
	// datagram, and watched once that comes back.
	watch(src);
	auto now = std::chrono::steady_clock::now();
	while (!sent_.empty() && (sent_.size() >= kMaxNoted || now - sent_.front().when > kInviteLifetime))
		sent_.pop_front();
	Sent s{ call_id, dst.u.in, now };
	// A retransmission: the same INVITE to the same place.
	for (const Sent &o : sent_)
		if (o.call_id == call_id && same_destination(o.to, s.to))
			return;
	sent_.push_back(s);
}

void UdpErrors::drain()
{
	std::vector<std::pair<sockaddr_in, int>> errors;
	std::erase_if(watched_, [&](const Watched &w) {
		// The transport may be gone and its descriptor another's.
		int on = 0, type = 0;
		socklen_t len = sizeof(on), tlen = sizeof(type);
		sockaddr_in local{};
		socklen_t llen = sizeof(local);
		if (getsockopt(w.fd, SOL_SOCKET, SO_TYPE, &type, &tlen) || type != SOCK_DGRAM ||
		    getsockopt(w.fd, IPPROTO_IP, IP_RECVERR, &on, &len) || !on ||
		    getsockname(w.fd, (sockaddr *)&local, &llen) || !same_destination(local, w.local))
			return true;
		for (int i = 0; i < 64; i++) {
			sockaddr_in to{};
			char control[512];
			char data[1];
			iovec iov{ data, sizeof(data) };
			msghdr m{};
			m.msg_name = &to;
			m.msg_namelen = sizeof(to);
			m.msg_iov = &iov;
			m.msg_iovlen = 1;
			m.msg_control = control;
			m.msg_controllen = sizeof(control);
			if (recvmsg(w.fd, &m, MSG_ERRQUEUE | MSG_DONTWAIT) < 0)
				break;
			for (cmsghdr *c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c)) {
				if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_RECVERR)
					continue;
				const auto *e = (const sock_extended_err *)CMSG_DATA(c);
				// A path that wants smaller datagrams refuses nothing.
				if ((e->ee_origin == SO_EE_ORIGIN_ICMP || e->ee_origin == SO_EE_ORIGIN_LOCAL) &&
				    e->ee_errno && e->ee_errno != EMSGSIZE && to.sin_family == AF_INET)
					errors.emplace_back(to, (int)e->ee_errno);
			}
		}
		return false;
	});
	for (const auto &error : errors) {
		// Not a structured binding: clang does not let a lambda capture one.
		const auto &to = error.first;
		const int err = error.second;
		std::vector<std::string> refused;
		std::erase_if(sent_, [&](const Sent &s) {
			if (!same_destination(s.to, to))
				return false;
			refused.push_back(s.call_id);
			return true;
		});
		for (const std::string &call_id : refused)
			refused_(call_id, err);
	}
}

} // namespace sipep
