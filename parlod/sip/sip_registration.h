// The console's registration at a registrar, and the credentials it answers
// digest challenges with: libre's sipreg does the work (re-registration
// before expiry, retries with back-off after a failure, un-registration
// when it is dropped).
//
// Threads: start() and stop() run on the libre thread, or under libre's
// lock (the endpoint's Enter guard), as do libre's handlers; status() may
// be called from any thread.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

struct sip;
struct sipreg;
struct sip_msg;
struct tmr;

namespace sipep {

struct SipSettings;

// The settings with what their defaults derive from filled in: the address
// of record's user (settings.user) and domain (the registrar's host), and
// the proxy (the registrar). A registrar or proxy that is no SIP address is
// dropped, with a message in complaint: the console still takes and makes
// the calls it can.
SipSettings complete_settings(const SipSettings &settings, std::string &complaint);

// The password kept in path: its first line, without the line end. None
// when there is no file; also none, with a message in complaint, when it
// cannot be read, is empty, or may be read by group or others (a password
// the whole machine can read is as good as none, and must not be given
// away as if it were secret).
std::optional<std::string> read_password(const char *path, const char *shown_path, std::string &complaint);

// libre's authentication handler: the user of the address of record and
// the password, whatever the realm. arg: the endpoint's SipSettings.
int answer_challenge(char **user, char **password, const char *realm, void *arg);

class SipRegistration {
public:
	// report: a console message, each change of the state once.
	SipRegistration(const SipSettings &settings, std::function<void(const std::string &)> report);
	~SipRegistration();
	SipRegistration(const SipRegistration &) = delete;
	SipRegistration &operator=(const SipRegistration &) = delete;

	// Registers, and keeps the registration up until stop(). A first
	// REGISTER that cannot even be sent (no route yet, no address) is
	// tried again, 5 s later and twice as long each time up to 5 minutes;
	// once one is sent, libre tries again on its own.
	void start(struct sip *sip);
	// Un-registers when registered: libre sends the REGISTER with expiry 0
	// and sees it through on its own, holding the SIP stack until then.
	void stop();

	// One line for the status command.
	std::string status() const;

private:
	enum class State { Registering, Registered, Failed };

	void attempt();
	static void retry_handler(void *arg);
	static void response_handler(int err, const sip_msg *msg, void *arg);
	void on_response(int err, const sip_msg *msg);
	void set(State state, const std::string &why);

	const SipSettings &settings_;
	const std::function<void(const std::string &)> report_;
	std::string aor_;
	// libre's: under libre's lock.
	struct sip *sip_ = nullptr;
	struct sipreg *reg_ = nullptr;
	std::unique_ptr<tmr> retry_;
	unsigned attempts_ = 0; // REGISTERs that could not be sent, in a row

	mutable std::mutex mutex_; // state_, why_
	State state_ = State::Registering;
	std::string why_;
	bool reported_ = false; // a state was reported at all
};

} // namespace sipep
