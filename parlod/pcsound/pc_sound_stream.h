// One direction of a call on the PC's sound: a record stream from the
// microphone (a source of the call's media) or a playback stream to the
// loudspeaker (a sink), on a shared PulseSession.
//
// The microphone: the server hands over what it recorded, two frames at a
// time (or, from a source that cannot do better, in blocks of seconds);
// the main loop's callback keeps it in the stream's buffer and wakes the
// reader once a whole frame is there. The reader gets the frames at the
// pace they were recorded at, never a block at once.
//
// The loudspeaker: writes go into the stream's jitter buffer (a
// PlayoutBuffer) and return; the server asks for audio a frame and a
// quarter at a time, and the main loop's callback hands it over from the
// buffer, with silence where there is none. So the sound card's clock sets
// the pace, and the buffer holds only what the arrival of the frames needs.
//
// Threads: read_frame() and write_frame() run on the media patch's
// thread, the callbacks on the session's main loop thread, close() on any
// thread. Each direction wakes only its own patch thread, once per frame;
// the main loop's thread wakes once per move of the server's.
//
// Locks: the stream's mutex_ (and the playout buffer's own) is taken by
// the callbacks inside the session's lock, and by the patch thread
// without it; nothing here takes the session's lock while holding one of
// ours. A loss is reported (broadcast, call cleared) with no lock held.
#pragma once

#include <pulse/pulseaudio.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "media_stream.h"
#include "pacer.h"
#include "playout_buffer.h"
#include "pulse_session.h"
#include "record_buffer.h"
#include "wakeup.h"

namespace callfw {
class CallManager;
}

namespace pcsound {

// Scales 16-bit samples by percent/100, saturating instead of wrapping.
void apply_gain(int16_t *samples, size_t count, unsigned percent);

// A volume in percent that the endpoint changes and the stream reads per
// frame, so that a change applies to a stream already running.
using SharedGain = std::shared_ptr<const std::atomic<unsigned>>;

struct StreamSetup {
	std::string name;           // the stream's name on the server
	std::string device;         // "" for the server's default
	std::chrono::milliseconds latency;
	std::chrono::milliseconds open_timeout;
};

class PcSoundStream final : public callfw::MediaStream {
	struct Token {};

public:
	// A stream connected and running on session; none, with the reason in
	// error, when the server refused it or did not answer in time.
	static std::shared_ptr<PcSoundStream> open(callfw::Connection &owner, const callfw::MediaFormat &format,
						   bool source, std::shared_ptr<PulseSession> session,
						   const StreamSetup &setup, SharedGain gain, std::string &error);

	PcSoundStream(Token, callfw::Connection &owner, const callfw::MediaFormat &format, bool source,
		      std::shared_ptr<PulseSession> session, std::string name, SharedGain gain);
	~PcSoundStream() override;

	// One frame of exactly data_size() bytes, waiting until the server has
	// recorded that much and the frame's time has come.
	bool read_frame(callfw::MediaFrame &frame) override;
	// Hands the frame to the jitter buffer; waits only while it is full.
	bool write_frame(const callfw::MediaFrame &frame) override;
	void close() override;

	PulseSession &session() const { return *session_; }

private:
	using Clock = callfw::Pacer::Clock;
	enum class Down { No, Closed, ServerLost, StreamFailed };

	static void state_cb(pa_stream *stream, void *userdata);
	static void read_cb(pa_stream *stream, size_t bytes, void *userdata);
	static void write_cb(pa_stream *stream, size_t bytes, void *userdata);

	bool connect_locked(const StreamSetup &setup, std::string &error);
	void detach_locked();
	void collect_locked(size_t readable);
	void fill_locked(size_t bytes);
	// Reports a stream that ended by itself; a close or a shutdown is no news.
	void report(Down down, const std::string &why);

	const std::shared_ptr<PulseSession> session_;
	callfw::CallManager &manager_;
	const std::string name_;
	const SharedGain gain_;

	// Under the session's lock.
	pa_stream *stream_ = nullptr;
	std::vector<int16_t> fill_; // what goes to the server

	callfw::Wakeup wakeup_; // the reader: a whole frame came, the stream went down
	std::mutex mutex_;      // what follows, up to the reading thread's own
	Down down_ = Down::No;
	std::string why_;
	std::optional<RecordBuffer> recorded_; // sources: recorded and not yet read

	// Sinks: between the patch and the server.
	std::optional<callfw::PlayoutBuffer> playout_;

	// The reading or the writing thread's own.
	uint32_t timestamp_ = 0;
	callfw::Pacer pacer_;
	std::vector<int16_t> out_;

	std::atomic<bool> reported_{ false };
};

} // namespace pcsound
