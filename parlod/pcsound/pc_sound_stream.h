// One direction of a call on the PC's sound: a record stream from the
// microphone (a source of the call's media) or a playback stream to the
// loudspeaker (a sink), on a shared PulseSession.
//
// Threads: read_frame() and write_frame() run on the media patch's thread
// and wait on the session's main loop; close() may come from any thread
// and wakes them. The members marked as under the session's lock are
// touched only with that lock held, by the callers and by libpulse's
// callbacks on the main loop thread. The session's lock is the only lock
// taken here; a loss is reported (broadcast, call cleared) after it is
// released.
#pragma once

#include <pulse/pulseaudio.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "media_stream.h"
#include "pulse_session.h"
#include "record_buffer.h"

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
	// recorded that much.
	bool read_frame(callfw::MediaFrame &frame) override;
	// Queues the frame; waits while the server's buffer is full.
	bool write_frame(const callfw::MediaFrame &frame) override;
	void close() override;

	PulseSession &session() const { return *session_; }

private:
	enum class Down { No, Closed, Stopped, ServerLost, StreamFailed };

	static void state_cb(pa_stream *stream, void *userdata);
	static void read_cb(pa_stream *stream, size_t bytes, void *userdata);
	static void write_cb(pa_stream *stream, size_t bytes, void *userdata);

	bool connect_locked(const StreamSetup &setup, std::string &error);
	void detach_locked();
	Down down_locked(std::string &why) const;
	void collect_locked();
	// Reports a stream that ended by itself; a close or a shutdown is no news.
	void report(Down down, const std::string &why);

	const std::shared_ptr<PulseSession> session_;
	callfw::CallManager &manager_;
	const std::string name_;
	const SharedGain gain_;

	// Under the session's lock.
	pa_stream *stream_ = nullptr;
	bool closed_ = false;
	std::optional<RecordBuffer> recorded_; // sources: recorded and not yet read

	// The reading or the writing thread's own.
	uint32_t timestamp_ = 0;
	std::vector<int16_t> out_;

	std::atomic<bool> reported_{ false };
};

} // namespace pcsound
