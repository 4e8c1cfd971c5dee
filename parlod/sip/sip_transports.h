// The SIP endpoint's sockets: UDP, TCP and TLS on each IPv4 address of the
// host, and the TLS context.
//
// libre 1.1.0 cannot listen on the wildcard address, so every address gets
// sockets of its own. Unless one address is named, the host's addresses are
// looked at again every few seconds (getifaddrs(): bounded cost, nothing to
// miss, unlike a netlink socket's messages that a full buffer drops), and
// one gained since (DHCP, a link that came up late) gets its sockets then.
// libre cannot drop a transport: the sockets of an address that went stay
// until it comes back, and it is no longer chosen for our own requests.
//
// TLS: with a certificate, TLS listens on the SIP port + 1; without one,
// outgoing TLS still works (the certificate is optional for a client), on
// sockets of ports of their own that nobody is told. On outgoing TLS the
// peer's certificate must come from a trusted authority and name the host
// that is called (a name or an address given to expect_tls_peer()); a
// client's certificate is not asked for: who may reach the console is
// decided by its address (see access_list.h).
//
// Threads: everything here runs on the libre thread, or under libre's lock.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

struct sip;
struct tls;
struct tmr;

namespace sipep {

struct SipSettings;

class SipTransports {
public:
	using Say = std::function<void(const std::string &)>;

	// say: a message for the console.
	SipTransports(const SipSettings &settings, Say say);
	~SipTransports();
	SipTransports(const SipTransports &) = delete;
	SipTransports &operator=(const SipTransports &) = delete;

	// Makes the TLS context and listens on the addresses (the named one,
	// or every one the host has); "" or what failed. Then watches for
	// addresses, unless one was named.
	std::string open(struct sip *sip);
	// Stops watching; the sockets go with libre's SIP stack.
	void close();

	// The addresses served now, the preferred one for our own requests
	// first.
	const std::vector<std::string> &addresses() const { return addresses_; }
	uint16_t tls_port() const { return tls_port_; }
	// TLS listens for calls (a certificate is configured and usable).
	bool tls_listening() const { return tls_listening_; }

	// A host (name or address) that is about to be reached over TLS: a
	// trusted certificate that names it is taken.
	void expect_tls_peer(const std::string &host);

	// Looks at the host's addresses now (the watch does so every few
	// seconds).
	void rescan();

	// Told each address (with its port) that gets its UDP socket, at
	// open() and later, so that what watches those sockets watches the
	// new ones too.
	void on_udp_added(std::function<void(const std::string &address, uint16_t port)> added)
	{
		udp_added_ = std::move(added);
	}

	// The host's IPv4 addresses that are up, loopback last.
	static std::vector<std::string> host_addresses();

private:
	struct Verify;
	std::string make_tls();
	// Adds what address lacks of its transports; false when it has none
	// yet that serves SIP (UDP).
	bool serve(const std::string &address, bool report);
	static void watch_handler(void *arg);

	const SipSettings &settings_;
	const Say say_;
	std::function<void(const std::string &, uint16_t)> udp_added_;
	struct sip *sip_ = nullptr;
	struct tls *tls_ = nullptr;
	std::unique_ptr<tmr> watch_;
	bool watching_ = false;
	bool tls_listening_ = false;
	std::string ca_error_; // why the trusted authorities could not be read
	uint16_t tls_port_ = 0;
	// Which transports each address has (bits of libre's sip_transp), and
	// those that failed there (said once).
	std::map<std::string, unsigned> served_, failed_;
	std::vector<std::string> addresses_;
	std::set<std::string> tls_peers_; // at most kMaxTlsPeers, the oldest dropped
	std::vector<std::string> tls_peer_order_;

	static constexpr size_t kMaxTlsPeers = 32;
};

} // namespace sipep
