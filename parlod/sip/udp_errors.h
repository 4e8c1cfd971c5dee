// Calls over UDP to a host that turns them away (an ICMP "port unreachable"
// or "host unreachable") fail at once instead of after the INVITE's 32 s
// of retransmissions: libre's SIP transactions never hear of such errors,
// because a socket that is not connected gets none unless it asks for them
// (IP_RECVERR), and then they come on its error queue, which libre leaves
// alone.
//
// So each UDP transport's socket asks for them, its libre error handler
// (libre calls it when a read fails) empties the queue, and each error is
// matched by its destination to the INVITEs recently sent there, which the
// stack's trace handler has noted. libre gives no way to its transports'
// sockets but a message received on one: a datagram to each transport's
// own address, sent through that transport, brings its socket to a
// listener that comes before all others. The endpoint has watch() send it
// to each UDP transport as it is added, also for an address the host
// gains later; a socket missed so is sent one when the first INVITE
// leaves through it, and any request it receives shows it too.
//
// Everything runs on the libre thread, or under libre's lock.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <netinet/in.h>
#include <string>
#include <vector>

struct sip;
struct sip_lsnr;
struct sa;

namespace sipep {

class UdpErrors {
public:
	// refused(call_id, err): the INVITE of the dialog with that Call-ID
	// came back undeliverable, for the reason err.
	using Refused = std::function<void(const std::string &call_id, int err)>;

	explicit UdpErrors(Refused refused);
	~UdpErrors();
	UdpErrors(const UdpErrors &) = delete;
	UdpErrors &operator=(const UdpErrors &) = delete;

	// Right after sip_alloc(), before anything else listens. 0 or an errno
	// value.
	int open(struct sip *sip);
	// A UDP transport listens at laddr: its socket is watched from the
	// moment the datagram this sends it comes back.
	void watch(const struct sa &laddr);
	void close();

private:
	struct Watched {
		int fd;
		sockaddr_in local;
	};
	struct Sent {
		std::string call_id;
		sockaddr_in to;
		std::chrono::steady_clock::time_point when;
	};

	struct Handlers; // libre's callbacks
	friend struct Handlers;

	void take_socket(void *sock);
	void drain();
	void note_invite(const struct sa &src, const struct sa &dst, const uint8_t *pkt, size_t len);

	const Refused refused_;
	struct sip *sip_ = nullptr;
	struct sip_lsnr *lsnr_ = nullptr;
	std::string marker_; // the Call-ID of our own datagrams
	std::vector<Watched> watched_;
	std::vector<sockaddr_in> asked_; // the local addresses sent a datagram of ours
	std::deque<Sent> sent_;
};

} // namespace sipep
