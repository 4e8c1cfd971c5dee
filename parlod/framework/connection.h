// One party's leg of a call, made by the endpoint that reaches that party.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "call_end_reason.h"
#include "media_stream.h"

namespace callfw {

class Call;
class Endpoint;

class Connection : public std::enable_shared_from_this<Connection> {
public:
	// party: the name of the party this leg reaches, with the endpoint's
	// prefix ("sip:alice@host", "pc:*").
	Connection(Call &call, Endpoint &endpoint, std::string party);
	virtual ~Connection();
	Connection(const Connection &) = delete;
	Connection &operator=(const Connection &) = delete;

	Call &call() const { return call_; }
	Endpoint &endpoint() const { return endpoint_; }
	const std::string &party() const { return party_; }

	virtual bool is_network() const = 0;
	// What this leg can carry, preferred first; a network leg's list is
	// the negotiated one once it is answered. Media uses the first audio
	// format. Never adjusted by the manager here: a network leg asks
	// CallManager::adjust_media_formats() when it builds its offer or
	// answer, and the hook reads the other leg's list through this.
	virtual MediaFormatList media_formats() const = 0;
	// The other connection of the call, or none.
	std::shared_ptr<Connection> other_party() const;

	// Called by the call, on the manager's worker thread:
	// - start(): the leg is wanted; an outgoing leg places its call, a local
	//   leg offers it. The leg reports with answered() or released().
	// - accept(): an incoming leg's call is answered by the other side.
	// - release(): hang up; must stop everything of the leg. Called once.
	virtual void start() = 0;
	virtual void accept() {}
	virtual void release(CallEndReason reason) = 0;

	virtual MediaStreamPtr open_media_stream(const MediaFormat &format, bool source) = 0;
	// Volume of the microphone (source) or loudspeaker side, in percent.
	virtual bool set_audio_volume(bool source, unsigned percent);

	bool is_answered() const { return answered_; }

protected:
	// The leg is up (the far end answered, or the local side accepted).
	void answered();
	// The leg went down by itself. detail: what the far end gave as its
	// reason, when the report of the call's end should name it ("488 Not
	// Acceptable Here").
	void released(CallEndReason reason, std::string detail = {});

private:
	Call &call_;
	Endpoint &endpoint_;
	std::string party_;
	std::atomic<bool> answered_{ false };
};

using ConnectionPtr = std::shared_ptr<Connection>;

} // namespace callfw
