// The SIP endpoint of the console (prefix "sip"), on libre.
//
// Threads:
// - the libre thread, owned by the endpoint (started by the constructor,
//   joined by shutdown()), runs libre's main loop: SIP messages, RTP
//   reception, the media timeout tick and libre's own timers;
// - the call manager's worker calls start(), accept() and release() of the
//   connections, and the application may call make_connection() from any
//   thread; they work on libre's objects inside re_thread_enter() and
//   re_thread_leave() (the Enter guard below), and wake the loop so that
//   timers they set are seen at once;
// - media patch threads read and write the RTP streams, which need no
//   libre lock (see rtp_session.h);
// - short-lived lookup threads of the HostResolver find the addresses of
//   host names in the peers' descriptions, and hand them back to the libre
//   thread (see host_resolver.h).
//
// Lock order: libre's lock, then the endpoint's mutex_, then a connection's
// mutex_, then an RTP session's. libre's lock is never taken while a
// framework lock is held (the manager calls endpoints without its locks),
// and the manager is called (incoming_call(), on_user_input_string(),
// adjust_media_formats(), broadcast(), and a connection's answered() and
// released()) with libre's lock held but none of ours. Those calls must not
// wait for the manager's worker: it may be waiting for libre's lock.
//
// libre keeps one main loop per process, so a process has at most one
// SipEndpoint.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "endpoint.h"
#include "host_resolver.h"
#include "srtp_keys.h"

struct sip;
struct sipsess_sock;
struct sip_msg;
struct dnsc;

namespace sipep {

class SipConnection;
class SipGate;
class SipRegistration;
class SipTransports;
class UdpErrors;

struct SipSettings {
	// The IPv4 address to listen on; empty for every IPv4 address the
	// host has when the endpoint starts (libre 1.1.0 cannot listen on the
	// wildcard address, so each one gets its own socket).
	std::string listen_address;
	uint16_t port = 5060; // UDP and TCP
	std::string user = "parlod";
	// RTP uses even ports of this range.
	uint16_t rtp_port_min = 10000;
	uint16_t rtp_port_max = 20000;
	// An established call whose peer sends no RTP for this long ends
	// (CallEndReason::MediaFailed); not while either side holds the call.
	// Zero: no such timeout.
	std::chrono::milliseconds rtp_timeout{ 20000 };
	// An outgoing call that is not answered this long after its INVITE
	// ends (CallEndReason::NoAnswer). Zero: it may ring for ever.
	std::chrono::seconds ring_timeout{ 60 };

	// Registration (see sip_registration.h). registrar: "sip:host[:port]
	// [;transport=udp|tcp]"; empty: the console registers nowhere.
	std::string registrar;
	// The address of record: sip:aor_user@domain. Empty: user, and the
	// registrar's host. They make the From of our calls when a domain is
	// known, and aor_user the user of our Contact.
	std::string aor_user;
	std::string domain;
	// Every outgoing call goes through this proxy; empty: the registrar,
	// when one is set, else none.
	std::string proxy;
	uint32_t expires = 600; // seconds
	// The answer to a digest challenge, with aor_user (or user); none: a
	// challenged request fails.
	std::optional<std::string> password;

	// Who may call in, and probe or register: addresses and IPv4 networks
	// ("192.0.2.7, 10.0.0.0/8"; see access_list.h), besides the
	// registrar's and the proxy's addresses. Empty: those two only, or
	// anyone when neither is set.
	std::string accept;
	// TLS (see sip_transports.h): it listens on tls_port (0: port + 1)
	// when the console has a certificate (PEM, its chain after it) and
	// its key (the same file when empty). tls_ca: the authorities trusted
	// on outgoing TLS, a PEM file or a hashed directory; empty: the
	// system's store.
	uint16_t tls_port = 0;
	std::string tls_cert;
	std::string tls_key;
	std::string tls_ca;

	// The codecs offered and accepted, in our order of preference; empty:
	// callfw::transportable_formats().
	callfw::MediaFormatList codecs;
	// SRTP with SDES keys (see srtp_keys.h).
	SrtpMode srtp = SrtpMode::Off;
};

class SipEndpoint : public callfw::Endpoint {
public:
	// Starts the libre thread and listens. Throws std::runtime_error when
	// it cannot (the port is taken, no IPv4 address, a second endpoint).
	SipEndpoint(callfw::CallManager &manager, const SipSettings &settings);
	~SipEndpoint() override;

	// party: "user@host[:port][;transport=tcp|tls]" (without "sip:"). None
	// when it is no SIP address or names a transport other than UDP, TCP
	// and TLS, or the endpoint is shut down.
	callfw::ConnectionPtr make_connection(callfw::Call &call, const std::string &party) override;

	// Ends what is left of the calls (BYE, CANCEL), gives the peers a
	// moment to answer, stops the loop and joins the thread. Not from the
	// libre thread. Idempotent.
	void shutdown() override;

	// As given, with the defaults that derive from others filled in (see
	// complete_settings()).
	const SipSettings &settings() const { return settings_; }
	// The registration's state, for the console's status command.
	std::string registration_status() const;
	// The addresses listened on now, the first one preferred for our own
	// requests; under libre's lock (they change as the host's do).
	const std::vector<std::string> &addresses() const;
	// What the endpoint offers, before the manager adjusts it: the
	// configured codecs in their order (the process's one endpoint's; the
	// default ones while there is none).
	static callfw::MediaFormatList formats();

private:
	friend class SipConnection;

	// Holds libre's lock on a thread other than libre's own (where the
	// loop holds it already), and wakes the loop when it lets go.
	class Enter {
	public:
		explicit Enter(SipEndpoint &endpoint);
		~Enter();
		Enter(const Enter &) = delete;
		Enter &operator=(const Enter &) = delete;

	private:
		SipEndpoint &endpoint_;
		bool foreign_;
	};

	void run(); // the libre thread
	std::string setup();
	void teardown();
	void wake();
	void on_invite(const sip_msg *msg);
	void on_tick();
	void on_resolved(uint64_t id, const std::string &name, std::optional<in_addr> address);

	uint64_t add(const std::shared_ptr<SipConnection> &connection);
	void remove(uint64_t id);
	std::shared_ptr<SipConnection> find(uint64_t id);
	std::vector<std::shared_ptr<SipConnection>> connections();

	// The local address that reaches host, or the preferred one.
	std::string local_address_for(const std::string &host) const;

	static void invite_handler(const sip_msg *msg, void *arg);
	static void wake_handler(int flags, void *arg);
	static void tick_handler(void *arg);
	static void exit_handler(void *arg);
	static void grace_handler(void *arg);

	const SipSettings settings_;

	std::thread loop_; // owned: the libre thread
	std::atomic<std::thread::id> loop_id_;

	// libre's objects: used under libre's lock only.
	struct sip *sip_ = nullptr;
	struct sipsess_sock *sock_ = nullptr;
	struct dnsc *dnsc_ = nullptr;
	std::unique_ptr<SipTransports> transports_; // the sockets, the TLS context
	std::unique_ptr<SipGate> gate_;             // who may call; OPTIONS, REGISTER
	std::unique_ptr<UdpErrors> udp_errors_;     // calls refused by ICMP
	// Made with the endpoint when a registrar is set, started and stopped
	// on the libre thread.
	std::unique_ptr<SipRegistration> registration_;
	HostResolver resolver_; // the host names in the peers' descriptions
	struct Timers;
	std::unique_ptr<Timers> timers_;
	int wake_fd_ = -1;
	bool up_ = false;       // libre's objects exist
	bool stopping_ = false; // shutdown() began
	bool exited_ = false;   // libre let go of the SIP stack

	std::mutex mutex_; // connections_, next_id_
	std::map<uint64_t, std::weak_ptr<SipConnection>> connections_;
	uint64_t next_id_ = 1;

	static std::atomic<SipEndpoint *> instance_;
};

} // namespace sipep
