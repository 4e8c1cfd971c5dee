// An endpoint reaches parties of one kind, named by its prefix ("pc",
// "sip", "rs485"), and makes their connections.
#pragma once

#include <atomic>
#include <cstdint>
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

class LocalConnection;

// The local kind: the terminal's own sound, an intercom bus. Media flows
// through streams whose reads and writes block; an offered call is put to
// the manager's on_local_incoming_call().
class LocalEndpoint : public Endpoint {
public:
	using Endpoint::Endpoint;

	ConnectionPtr make_connection(Call &call, const std::string &party) override;

	virtual MediaFormatList local_formats() const = 0;
	// The streams of a connection of this endpoint. By default a
	// LocalMediaStream, which moves each frame through the two media
	// callbacks below.
	virtual MediaStreamPtr create_stream(Connection &connection, const MediaFormat &format, bool source);
	// The media callbacks of the default streams, called on the patches'
	// threads once per frame of the stream's format; each may block to
	// keep real time, and false ends the stream.
	// - read: up to size bytes into data; length 0 is a frame's time with
	//   nothing to carry (the patch passes it on as an empty frame).
	// - write: takes what it can of data, reporting it in written; the
	//   stream calls again with the rest.
	virtual bool on_read_media_data(LocalConnection &connection, MediaStream &stream, void *data, size_t size,
					size_t &length);
	virtual bool on_write_media_data(const LocalConnection &connection, const MediaStream &stream,
					 const void *data, size_t length, size_t &written);
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

protected:
	LocalEndpoint &local_;
};

// A stream of a local connection that moves its media through the
// endpoint's callbacks, one frame of its format at a time.
class LocalMediaStream : public MediaStream {
public:
	LocalMediaStream(LocalConnection &owner, LocalEndpoint &endpoint, const MediaFormat &format, bool source);

	bool read_frame(MediaFrame &frame) override;
	bool write_frame(const MediaFrame &frame) override;
	// The callback running now finishes; the next call of the patch fails.
	void close() override { closed_ = true; }

private:
	LocalConnection &local_;
	LocalEndpoint &endpoint_;
	std::atomic<bool> closed_{ false };
	uint32_t timestamp_ = 0; // the reading thread's
};

} // namespace callfw
