#include "sip_transports.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <ifaddrs.h>
#include <net/if.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include "fileio.h"
#include "libre.h"
#include "rootpath.h"
#include "sip_endpoint.h"

// libre gives its OpenSSL context only to those who build it with OpenSSL.
extern "C" SSL_CTX *tls_openssl_context(const struct tls *tls);

namespace sipep {

namespace {

// How often the host's addresses are looked at.
constexpr uint64_t kWatchMs = 2000;

constexpr const char *kSystemCaStore = "/etc/ssl/certs";

constexpr sip_transp kTransports[] = { SIP_TRANSP_UDP, SIP_TRANSP_TCP, SIP_TRANSP_TLS };

std::string openssl_error()
{
	unsigned long e = ERR_get_error();
	ERR_clear_error();
	if (!e)
		return "unknown error";
	char text[256];
	ERR_error_string_n(e, text, sizeof(text));
	return text;
}

std::string subject_of(X509 *cert)
{
	char text[256] = "";
	if (cert)
		X509_NAME_oneline(X509_get_subject_name(cert), text, sizeof(text));
	return text;
}

} // namespace

// The check of a peer's certificate, for OpenSSL.
struct SipTransports::Verify {
	static int callback(int preverified, X509_STORE_CTX *store)
	{
		auto *ssl = (SSL *)X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx());
		if (!ssl)
			return 0;
		// A client is let in or not by its address; its certificate,
		// if it sends one, is not what decides.
		if (SSL_is_server(ssl))
			return 1;
		auto *self = (SipTransports *)SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl));
		if (!self)
			return 0; // the endpoint is closing
		X509 *cert = X509_STORE_CTX_get_current_cert(store);
		if (!preverified) {
			int err = X509_STORE_CTX_get_error(store);
			self->say_("\nSIP TLS: certificate of " + subject_of(cert) + " refused: " +
				   X509_verify_cert_error_string(err) +
				   (self->ca_error_.empty() ? "" : " (" + self->ca_error_ + ")"));
			return 0;
		}
		if (X509_STORE_CTX_get_error_depth(store) > 0)
			return 1;
		for (const std::string &host : self->tls_peers_) {
			in_addr ip;
			bool matches = inet_pton(AF_INET, host.c_str(), &ip) == 1
					       ? X509_check_ip_asc(cert, host.c_str(), 0) == 1
					       : X509_check_host(cert, host.c_str(), host.size(), 0, nullptr) == 1;
			if (matches)
				return 1;
		}
		self->say_("\nSIP TLS: certificate of " + subject_of(cert) + " refused: it names no host called");
		X509_STORE_CTX_set_error(store, X509_V_ERR_HOSTNAME_MISMATCH);
		return 0;
	}
};

SipTransports::SipTransports(const SipSettings &settings, Say say)
	: settings_(settings), say_(std::move(say)), watch_(std::make_unique<tmr>())
{
	tmr_init(watch_.get());
}

SipTransports::~SipTransports()
{
	close();
	tls_ = (struct tls *)mem_deref(tls_);
}

void SipTransports::close()
{
	tmr_cancel(watch_.get());
	watching_ = false;
	if (tls_)
		SSL_CTX_set_app_data(tls_openssl_context(tls_), nullptr);
}

std::vector<std::string> SipTransports::host_addresses()
{
	std::vector<std::string> others, loopback;
	ifaddrs *list = nullptr;
	if (getifaddrs(&list) != 0)
		return {};
	for (ifaddrs *i = list; i; i = i->ifa_next) {
		if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !(i->ifa_flags & IFF_UP))
			continue;
		char text[INET_ADDRSTRLEN];
		inet_ntop(AF_INET, &((const sockaddr_in *)i->ifa_addr)->sin_addr, text, sizeof(text));
		auto &into = i->ifa_flags & IFF_LOOPBACK ? loopback : others;
		if (std::find(into.begin(), into.end(), text) == into.end())
			into.push_back(text);
	}
	freeifaddrs(list);
	// libre sends its requests from the first address, which had better
	// reach beyond this host.
	others.insert(others.end(), loopback.begin(), loopback.end());
	return others;
}

// The context serves both ends: the console's certificate for those who
// call it, the trusted authorities for those it calls.
std::string SipTransports::make_tls()
{
	if (int err = tls_alloc(&tls_, TLS_METHOD_SSLV23, nullptr, nullptr))
		return std::string("cannot make a TLS context: ") + strerror(err);
	SSL_CTX *ctx = tls_openssl_context(tls_);
	SSL_CTX_set_app_data(ctx, this);
	SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
	SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, Verify::callback);

	// A store that cannot be read leaves nothing trusted: the refusal of
	// a peer's certificate says why.
	std::string ca = settings_.tls_ca.empty() ? kel_path(kSystemCaStore) : settings_.tls_ca;
	struct stat st;
	bool directory = stat(ca.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
	if (!SSL_CTX_load_verify_locations(ctx, directory ? nullptr : ca.c_str(), directory ? ca.c_str() : nullptr))
		ca_error_ = "cannot read " + ca + ": " + openssl_error();

	if (settings_.tls_cert.empty())
		return "";
	const std::string &cert = settings_.tls_cert;
	const std::string &key = settings_.tls_key.empty() ? cert : settings_.tls_key;
	int err = file_private(key.c_str());
	if (err == -EPERM) {
		say_("\nSIP TLS: the key " + key + " is readable by others than its owner: not used, no TLS for calls in");
		return "";
	}
	if (err) {
		say_("\nSIP TLS: cannot read the key " + key + ": " + strerror(-err) + "; no TLS for calls in");
		return "";
	}
	// Tried on a context of its own first: a certificate without its key
	// would fail every handshake, ours as a client too.
	auto usable = [&](SSL_CTX *c) {
		return SSL_CTX_use_certificate_chain_file(c, cert.c_str()) == 1 &&
		       SSL_CTX_use_PrivateKey_file(c, key.c_str(), SSL_FILETYPE_PEM) == 1 && SSL_CTX_check_private_key(c) == 1;
	};
	SSL_CTX *trial = SSL_CTX_new(TLS_method());
	bool ok = trial && usable(trial);
	SSL_CTX_free(trial);
	if (!ok || !usable(ctx)) {
		say_("\nSIP TLS: cannot use the certificate " + cert + " with the key " + key + " (" + openssl_error() +
		     "); no TLS for calls in");
		return "";
	}
	tls_listening_ = true;
	return "";
}

std::string SipTransports::open(struct sip *sip)
{
	sip_ = sip;
	tls_port_ = settings_.tls_port ? settings_.tls_port : (uint16_t)(settings_.port + 1);
	std::string error = make_tls();
	if (!error.empty())
		return error;

	std::vector<std::string> wanted =
		settings_.listen_address.empty() ? host_addresses() : std::vector<std::string>{ settings_.listen_address };
	if (wanted.empty())
		return "no IPv4 address to listen on";
	for (const std::string &address : wanted) {
		sa laddr;
		if (sa_set_str(&laddr, address.c_str(), settings_.port) || sa_af(&laddr) != AF_INET)
			return "not an IPv4 address: " + address;
		for (sip_transp tp : kTransports) {
			uint16_t port = tp == SIP_TRANSP_TLS ? (tls_listening_ ? tls_port_ : 0) : settings_.port;
			sa_set_port(&laddr, port);
			int err = tp == SIP_TRANSP_TLS ? sip_transp_add(sip_, tp, &laddr, tls_) : sip_transp_add(sip_, tp, &laddr);
			if (err)
				return "cannot listen on " + address + ":" + std::to_string(port) + " (" + sip_transp_name(tp) +
				       "): " + strerror(err);
			served_[address] |= 1u << tp;
		}
		addresses_.push_back(address);
		if (udp_added_)
			udp_added_(address, settings_.port);
	}
	if (settings_.listen_address.empty()) {
		watching_ = true;
		tmr_start(watch_.get(), kWatchMs, watch_handler, this);
	}
	return "";
}

bool SipTransports::serve(const std::string &address, bool report)
{
	sa laddr;
	if (sa_set_str(&laddr, address.c_str(), settings_.port))
		return false;
	unsigned &have = served_[address];
	for (sip_transp tp : kTransports) {
		if (have & (1u << tp))
			continue;
		uint16_t port = tp == SIP_TRANSP_TLS ? (tls_listening_ ? tls_port_ : 0) : settings_.port;
		sa_set_port(&laddr, port);
		int err = tp == SIP_TRANSP_TLS ? sip_transp_add(sip_, tp, &laddr, tls_) : sip_transp_add(sip_, tp, &laddr);
		if (!err) {
			have |= 1u << tp;
			if (tp == SIP_TRANSP_UDP && udp_added_)
				udp_added_(address, port);
		} else if (report && !(failed_[address] & (1u << tp))) {
			failed_[address] |= 1u << tp;
			say_("\nSIP: cannot listen on " + address + ":" + std::to_string(port) + " (" + sip_transp_name(tp) +
			     "): " + strerror(err));
		}
	}
	return have & (1u << SIP_TRANSP_UDP);
}

void SipTransports::rescan()
{
	if (!sip_)
		return;
	std::vector<std::string> now;
	for (const std::string &address : host_addresses()) {
		bool known = std::find(addresses_.begin(), addresses_.end(), address) != addresses_.end();
		if (!serve(address, true))
			continue;
		if (!known)
			say_("\nSIP: listening on " + address);
		now.push_back(address);
	}
	for (const std::string &address : addresses_)
		if (std::find(now.begin(), now.end(), address) == now.end())
			say_("\nSIP: " + address + " is gone");
	addresses_ = std::move(now);
}

void SipTransports::watch_handler(void *arg)
{
	auto *self = (SipTransports *)arg;
	self->rescan();
	if (self->watching_)
		tmr_start(self->watch_.get(), kWatchMs, watch_handler, self);
}

void SipTransports::expect_tls_peer(const std::string &host)
{
	if (host.empty() || !tls_peers_.insert(host).second)
		return;
	tls_peer_order_.push_back(host);
	if (tls_peer_order_.size() > kMaxTlsPeers) {
		tls_peers_.erase(tls_peer_order_.front());
		tls_peer_order_.erase(tls_peer_order_.begin());
	}
}

} // namespace sipep
