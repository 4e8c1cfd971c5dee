// The door of the SIP endpoint: every request that opens something (a call,
// a probe, a registration) passes here before libre's sessions see it.
//
// - A new call (an INVITE outside a dialog) from an address that may not
//   call is refused with 403 and said on the console.
// - OPTIONS is answered 200 with what the console takes: its methods
//   (Allow), the description types (Accept) and an offer of its codecs.
//   A proxy probes the devices behind it so and takes an error for a
//   device that is gone.
// - REGISTER is answered 405 with Allow: the console is no registrar.
// - Both are refused with 403 to an address that may not call: a stranger
//   learns nothing of the console but that it refuses.
//
// A flood of refusals is said whole once, then counted (RepeatedReport).
//
// The registrar's and the proxy's names are looked up at start and again
// every few minutes: an address they gain (the provider moved) is let in
// too; one they lose stays, as the list is only ever widened by them.
//
// Threads: the handler runs on the libre thread; tick() too.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "access_list.h"
#include "repeated_report.h"

struct sip;
struct sip_lsnr;
struct sip_msg;
struct tmr;

namespace sipep {

// The methods the console takes, for every answer that lists them.
inline constexpr char kAllowHeader[] = "Allow: INVITE, ACK, BYE, CANCEL, INFO, OPTIONS\r\n";

// The host of a SIP URI ("sip:pbx.example:5061;transport=tls" gives
// "pbx.example"); "" when it is none.
std::string host_of_uri(const std::string &uri);

class SipGate {
public:
	using Say = std::function<void(const std::string &)>;

	// accept: the text of the sip_accept setting (empty: none); uris:
	// those whose hosts may call besides (the registrar, the outbound
	// proxy; empty ones are skipped), looked up now. user: ours, for the
	// offer's origin line.
	SipGate(const std::string &accept, const std::vector<std::string> &uris, std::string user, Say say);
	~SipGate();
	SipGate(const SipGate &) = delete;
	SipGate &operator=(const SipGate &) = delete;

	// Says who may call, and takes the requests from now on: before libre's
	// sessions (sipsess_listen()) so that it sees them first. 0 or an errno
	// value.
	int open(struct sip *sip);
	void close();

	const AccessList &access() const { return access_; }

	// How the names are looked up again: lookup starts one whose answer
	// comes to on_resolved(); false when it cannot now.
	void look_up_with(std::function<bool(const std::string &name)> lookup) { lookup_ = std::move(lookup); }
	void on_resolved(const std::string &name, std::optional<in_addr> address);

private:
	bool on_request(const sip_msg *msg);
	void refuse(const sip_msg *msg, callfw::RepeatedReport &report, const std::string &what);
	void answer_options(const sip_msg *msg);
	static bool request_handler(const sip_msg *msg, void *arg);
	static void tick_handler(void *arg);

	AccessList access_;
	std::string accept_text_; // for the console: where the list comes from
	const std::string user_;
	const Say say_;
	struct sip *sip_ = nullptr;
	struct sip_lsnr *lsnr_ = nullptr;
	std::unique_ptr<tmr> tick_;
	std::vector<std::string> names_; // the hosts written as names
	std::function<bool(const std::string &)> lookup_;
	std::chrono::steady_clock::time_point looked_up_ = std::chrono::steady_clock::now();
	callfw::RepeatedReport calls_refused_{ "SIP calls refused from addresses not in sip_accept" };
	callfw::RepeatedReport requests_refused_{ "SIP requests refused from addresses not in sip_accept" };
};

} // namespace sipep
