// An endpoint reaches parties of one kind, named by its prefix ("pc",
// "sip", "rs485"), and makes their connections.
#pragma once

#include <string>

#include "connection.h"

namespace callfw {

class CallManager;

class Endpoint {
public:
	Endpoint(CallManager &manager, std::string prefix);
	virtual ~Endpoint();
	Endpoint(const Endpoint &) = delete;
	Endpoint &operator=(const Endpoint &) = delete;

	CallManager &manager() const { return manager_; }
	const std::string &prefix() const { return prefix_; }

	// The connection that reaches party (the name after "prefix:") in the
	// call, not yet started; none when it cannot be reached at all.
	virtual ConnectionPtr make_connection(Call &call, const std::string &party) = 0;

	// Stops the endpoint's threads; the manager has released every call.
	virtual void shutdown() {}

private:
	CallManager &manager_;
	std::string prefix_;
};

// The local kind: the terminal's own sound, an intercom bus. Media flows
// through streams whose reads and writes block; an offered call is put to
// the manager's on_local_incoming_call().
class LocalEndpoint : public Endpoint {
public:
	using Endpoint::Endpoint;

	ConnectionPtr make_connection(Call &call, const std::string &party) override;

	virtual MediaFormatList local_formats() const = 0;
	// The streams of a connection of this endpoint.
	virtual MediaStreamPtr create_stream(Connection &connection, const MediaFormat &format, bool source) = 0;
	virtual bool set_volume(Connection &connection, bool source, unsigned percent);
	// The party a call was placed from here is about to be called.
	virtual bool on_outgoing(Connection &connection);
	// The leg ends.
	virtual void on_release(Connection &connection);
};

// A connection of a local endpoint.
class LocalConnection : public Connection {
public:
	LocalConnection(Call &call, LocalEndpoint &endpoint, std::string party);

	bool is_network() const override { return false; }
	MediaFormatList media_formats() const override;
	void start() override;
	void release(CallEndReason reason) override;
	MediaStreamPtr open_media_stream(const MediaFormat &format, bool source) override;
	bool set_audio_volume(bool source, unsigned percent) override;

private:
	LocalEndpoint &local_;
};

} // namespace callfw
