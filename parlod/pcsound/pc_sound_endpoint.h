// The PC's own sound as a call party ("pc:"): the microphone and the
// loudspeaker through a PulseAudio server.
//
// Connection to the server: one PulseSession (a libpulse threaded main
// loop and its context) per endpoint, opened at the first stream and
// shared by all streams after it. When the server goes away the session
// dies with its streams: their reads and writes fail, the loss is
// broadcast once and their calls are cleared. The next stream finds the
// session unusable and opens a fresh one, so a restarted server is picked
// up without restarting the console. A dead session lives on only as long
// as streams that were opened on it.
//
// Threads: each session's main loop thread, owned by the endpoint while
// the session is current and joined by shutdown() (for a retired session:
// by shutdown() or when its last stream is destroyed). The endpoint's
// methods run on the call manager's worker thread; the streams' reads and
// writes on the media patches' threads.
//
// Locks: the endpoint's mutex_ guards its own records only and is never
// held while the server is asked (connecting, opening a stream), nor is
// any other lock of ours (see pc_sound_stream.h). The manager (broadcast,
// calls) is never called with a lock held.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "endpoint.h"
#include "pc_sound_stream.h"

namespace pcsound {


struct PcSoundSettings {
	std::string server;          // "": libpulse's default (PULSE_SERVER, or the user's server)
	std::string playback_device; // "": the server's default sink
	std::string record_device;   // "": the server's default source
	std::chrono::milliseconds latency{ 60 };
	// How long the server may take to accept a connection or a stream.
	std::chrono::milliseconds open_timeout{ 5000 };
};

class PcSoundEndpoint : public callfw::LocalEndpoint {
public:
	explicit PcSoundEndpoint(callfw::CallManager &manager, PcSoundSettings settings = {});
	~PcSoundEndpoint() override;

	const PcSoundSettings &settings() const { return settings_; }

	// 16-bit PCM, 8000 Hz mono, only.
	callfw::MediaFormatList local_formats() const override;
	// The microphone's record stream (source) or the loudspeaker's playback
	// stream; none, with a broadcast, when the server or the device cannot
	// be had.
	callfw::MediaStreamPtr create_stream(callfw::Connection &connection, const callfw::MediaFormat &format,
					     bool source) override;
	// A gain on the samples of the connection's microphone (source) or
	// loudspeaker side, for its streams now and later.
	bool set_volume(callfw::Connection &connection, bool source, unsigned percent) override;
	// Closes the connection's streams and forgets its volumes.
	void on_release(callfw::Connection &connection) override;
	// Closes every stream and stops the server threads. Idempotent.
	void shutdown() override;

private:
	// What the endpoint keeps of one connection.
	struct ConnectionSound {
		std::weak_ptr<callfw::Connection> owner; // tells a new connection at the same address
		bool tracked = false;                    // owner was set (the connection is shared-owned)
		std::array<std::shared_ptr<std::atomic<unsigned>>, 2> gain; // [loudspeaker, microphone]
		std::vector<std::weak_ptr<PcSoundStream>> streams;
	};

	ConnectionSound &sound_of_locked(callfw::Connection &connection);
	// The current session, or a new one (fresh: in any case); none, with
	// the reason in error, when the server cannot be reached.
	std::shared_ptr<PulseSession> session(bool fresh, std::string &error);
	std::shared_ptr<PcSoundStream> open(callfw::Connection &connection, const callfw::MediaFormat &format,
					    bool source, const SharedGain &gain, std::string &error);

	const PcSoundSettings settings_;

	std::mutex mutex_; // everything below
	std::shared_ptr<PulseSession> session_;
	std::map<const callfw::Connection *, ConnectionSound> connections_;
	bool shut_down_ = false;
};

} // namespace pcsound
