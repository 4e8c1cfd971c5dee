#include "pc_sound_stream.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "call.h"
#include "call_manager.h"
#include "endpoint.h"

namespace pcsound {

void apply_gain(int16_t *samples, size_t count, unsigned percent)
{
	if (percent == 100)
		return;
	constexpr int64_t lo = std::numeric_limits<int16_t>::min(), hi = std::numeric_limits<int16_t>::max();
	for (size_t i = 0; i < count; i++)
		samples[i] = (int16_t)std::clamp((int64_t)samples[i] * percent / 100, lo, hi);
}

namespace {

// The backlog of a record stream is judged over this much audio read, and
// no more than this much is kept for a reader that does not read.
constexpr size_t record_window_seconds = 4;

// A recorded frame read later than this for its time starts the pace anew.
constexpr std::chrono::milliseconds max_late{ 60 };

// How much the server moves at a time. Each move wakes the session's
// thread and costs it a handful of system calls, so a frame at a time
// would be dear. The microphone's side moves two frames (20 ms more on the
// mouth's path, which has them to spare). On the loudspeaker's side the
// server keeps up to the target, and gives the device half of what is
// left after two moves: a frame and a quarter a move, with a target of at
// least two moves and 20 ms, keeps the device's share at 10 ms.
uint32_t record_move_bytes(const callfw::MediaFormat &format)
{
	return 2 * format.frame_bytes;
}

uint32_t playback_move_bytes(const callfw::MediaFormat &format)
{
	return (5 * format.frame_bytes / 4) & ~1u;
}

uint32_t playback_target_bytes(const callfw::MediaFormat &format, uint32_t latency_bytes)
{
	return std::max(latency_bytes, 2 * playback_move_bytes(format) + format.clock_rate * 2 / 50);
}

// Bytes of the latency target, in whole frames and at least one.
uint32_t latency_bytes(const callfw::MediaFormat &format, std::chrono::milliseconds latency)
{
	uint64_t bytes_per_second = (uint64_t)format.clock_rate * 2;
	uint64_t bytes = bytes_per_second * (uint64_t)std::max<int64_t>(latency.count(), 0) / 1000;
	uint64_t frames = std::max<uint64_t>((bytes + format.frame_bytes - 1) / format.frame_bytes, 1);
	return (uint32_t)(frames * format.frame_bytes);
}

} // namespace

std::shared_ptr<PcSoundStream> PcSoundStream::open(callfw::Connection &owner, const callfw::MediaFormat &format,
						   bool source, std::shared_ptr<PulseSession> session,
						   const StreamSetup &setup, SharedGain gain, std::string &error)
{
	auto stream = std::make_shared<PcSoundStream>(Token{}, owner, format, source, std::move(session), setup.name,
						      std::move(gain));
	bool ok;
	{
		PulseSession::Lock hold(*stream->session_);
		ok = stream->connect_locked(setup, error);
	}
	return ok ? stream : nullptr;
}

PcSoundStream::PcSoundStream(Token, callfw::Connection &owner, const callfw::MediaFormat &format, bool source,
			     std::shared_ptr<PulseSession> session, std::string name, SharedGain gain)
	: MediaStream(owner, format, source), session_(std::move(session)), manager_(owner.endpoint().manager()),
	  name_(std::move(name)), gain_(std::move(gain)), pacer_(format.clock_rate, max_late)
{
	if (!source)
		playout_.emplace(format.clock_rate, format.frame_samples);
}

PcSoundStream::~PcSoundStream()
{
	close();
}

bool PcSoundStream::connect_locked(const StreamSetup &setup, std::string &error)
{
	const callfw::MediaFormat &fmt = format();
	pa_sample_spec spec{ PA_SAMPLE_S16NE, fmt.clock_rate, 1 };
	pa_proplist *props = pa_proplist_new();
	// The call bell mutes the streams of this role while it rings: both
	// directions must carry it.
	pa_proplist_sets(props, PA_PROP_MEDIA_ROLE, "phone");
	stream_ = pa_stream_new_with_proplist(session_->context(), name_.c_str(), &spec, nullptr, props);
	pa_proplist_free(props);
	if (!stream_) {
		error = session_->error_locked();
		return false;
	}
	pa_stream_set_state_callback(stream_, state_cb, this);

	// The latency target bounds the whole path, the device's buffer
	// included (ADJUST_LATENCY), so that speech is never seconds behind.
	const uint32_t any = (uint32_t)-1;
	pa_buffer_attr attr{ any, any, any, any, any };
	auto flags = (pa_stream_flags_t)(PA_STREAM_ADJUST_LATENCY);
	const char *device = setup.device.empty() ? nullptr : setup.device.c_str();
	int rc;
	if (is_source()) {
		attr.fragsize = record_move_bytes(fmt);
		pa_stream_set_read_callback(stream_, read_cb, this);
		rc = pa_stream_connect_record(stream_, device, &attr, flags);
	} else {
		attr.tlength = playback_target_bytes(fmt, latency_bytes(fmt, setup.latency));
		attr.minreq = playback_move_bytes(fmt);
		pa_stream_set_write_callback(stream_, write_cb, this);
		rc = pa_stream_connect_playback(stream_, device, &attr, flags, nullptr, nullptr);
	}

	auto deadline = PulseSession::Clock::now() + setup.open_timeout;
	while (rc == 0 && pa_stream_get_state(stream_) != PA_STREAM_READY) {
		if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream_))) {
			rc = -1;
		} else if (!session_->wait_until_locked(deadline)) {
			detach_locked();
			error = session_->stopped_locked() ? "shut down" : "no answer";
			return false;
		}
	}
	if (rc < 0) {
		error = session_->error_locked();
		detach_locked();
		return false;
	}

	if (is_source()) {
		// A reader keeping pace has at most a fragment or two waiting; the
		// window must span the longest burst of a source that cannot adjust
		// its latency (seconds) so that such bursts are not taken for lag.
		const pa_buffer_attr *got = pa_stream_get_buffer_attr(stream_);
		const size_t fragment = std::max<size_t>(got ? got->fragsize : 0, fmt.frame_bytes);
		const size_t second_bytes = (size_t)fmt.clock_rate * 2;
		const size_t window = std::max(record_window_seconds * second_bytes, 8 * fragment);
		{
			std::lock_guard<std::mutex> hold(mutex_);
			recorded_.emplace(fmt.frame_bytes, 2 * fragment + fmt.frame_bytes, window, window);
		}
		collect_locked(pa_stream_readable_size(stream_)); // what came with the stream's start
	}
	return true;
}

void PcSoundStream::detach_locked()
{
	if (!stream_)
		return;
	pa_stream_set_state_callback(stream_, nullptr, nullptr);
	pa_stream_set_read_callback(stream_, nullptr, nullptr);
	pa_stream_set_write_callback(stream_, nullptr, nullptr);
	if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream_)))
		pa_stream_disconnect(stream_);
	pa_stream_unref(stream_);
	stream_ = nullptr;
}

void PcSoundStream::close()
{
	{
		std::lock_guard<std::mutex> hold(mutex_);
		if (down_ == Down::No)
			down_ = Down::Closed;
	}
	wakeup_.ring();
	if (playout_)
		playout_->close();
	PulseSession::Lock hold(*session_);
	detach_locked();
}

bool PcSoundStream::read_frame(callfw::MediaFrame &frame)
{
	if (!is_source())
		return false;
	const size_t bytes = data_size();
	Down down = Down::No;
	std::string why;
	frame.set_payload_size(bytes);
	for (;;) {
		uint32_t ticket = wakeup_.ticket();
		Clock::time_point due{};
		{
			std::lock_guard<std::mutex> hold(mutex_);
			if (down_ != Down::No) {
				down = down_;
				why = why_;
				break;
			}
			if (recorded_ && recorded_->size() >= bytes) {
				// A block handed over at once goes at the pace it was
				// recorded at.
				auto now = Clock::now();
				due = pacer_.due(timestamp_, now);
				if (due <= now) {
					recorded_->take(frame.payload.data());
					break;
				}
			}
		}
		if (due == Clock::time_point{})
			wakeup_.wait(ticket);
		else
			wakeup_.wait_until(ticket, due);
	}
	if (down != Down::No) {
		report(down, why);
		return false;
	}
	apply_gain(frame.samples(), frame.sample_count(), gain_->load());
	frame.timestamp = timestamp_;
	timestamp_ += (uint32_t)(bytes / 2);
	return true;
}

bool PcSoundStream::write_frame(const callfw::MediaFrame &frame)
{
	if (is_source())
		return false;
	out_.resize(frame.payload_size() / 2);
	if (!out_.empty()) // an empty frame has no buffer to copy from
		std::memcpy(out_.data(), frame.payload.data(), out_.size() * 2);
	apply_gain(out_.data(), out_.size(), gain_->load());

	// The put fails once the stream is closed or went down. The delay is
	// counted from the frame's arrival: one that waited before it came
	// here (a reader that fell behind) is no fresher for it.
	auto now = callfw::MediaFrame::Clock::now();
	auto arrival = frame.arrival == callfw::MediaFrame::Clock::time_point{} ? now : frame.arrival;
	if (playout_->put(out_.data(), out_.size(), frame.timestamp, arrival, now))
		return true;
	Down down;
	std::string why;
	{
		std::lock_guard<std::mutex> hold(mutex_);
		down = down_;
		why = why_;
	}
	report(down, why);
	return false;
}

void PcSoundStream::report(Down down, const std::string &why)
{
	if (down != Down::ServerLost && down != Down::StreamFailed)
		return;
	if (reported_.exchange(true))
		return;
	if (down == Down::ServerLost) {
		if (session_->first_to_report_loss())
			manager_.broadcast("\nSound server connection lost");
	} else
		manager_.broadcast("\nSound stream " + name_ + " failed: " + why);
	// A call whose sound is gone cannot go on; the patch ending is not
	// enough for the call to end.
	connection().call().clear(callfw::CallEndReason::MediaFailed);
}

void PcSoundStream::state_cb(pa_stream *stream, void *userdata)
{
	auto *self = static_cast<PcSoundStream *>(userdata);
	if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) {
		{
			std::lock_guard<std::mutex> hold(self->mutex_);
			if (self->down_ == Down::No) {
				self->down_ = self->session_->lost_locked() ? Down::ServerLost : Down::StreamFailed;
				self->why_ = self->session_->error_locked();
			}
		}
		self->wakeup_.ring();
		if (self->playout_)
			self->playout_->close();
	}
	// Whoever opens a stream waits on the main loop for its state.
	self->session_->signal_locked();
}

void PcSoundStream::write_cb(pa_stream *stream, size_t bytes, void *userdata)
{
	(void)stream;
	static_cast<PcSoundStream *>(userdata)->fill_locked(bytes);
}

void PcSoundStream::fill_locked(size_t bytes)
{
	// What the server asks for now, from the jitter buffer. Every call
	// into the library costs a system call of its own: one write.
	fill_.resize(bytes / 2);
	if (fill_.empty())
		return;
	playout_->take(fill_.data(), fill_.size());
	(void)pa_stream_write(stream_, fill_.data(), fill_.size() * 2, nullptr, 0, PA_SEEK_RELATIVE);
}

void PcSoundStream::read_cb(pa_stream *stream, size_t bytes, void *userdata)
{
	(void)stream;
	static_cast<PcSoundStream *>(userdata)->collect_locked(bytes);
}

void PcSoundStream::collect_locked(size_t readable)
{
	const void *data;
	size_t size;
	bool frame_ready = false;
	{
		// Still opening: what came stays queued in the library until the
		// opener collects it. It is not even peeked at: a peeked block
		// stays pinned until it is dropped, and when the connection fails
		// meanwhile, the main loop's thread waits, with its lock held, for
		// that block before it lets the server's memory go: for ever.
		std::lock_guard<std::mutex> hold(mutex_);
		if (!recorded_)
			return;
	}
	while (readable > 0) {
		if (pa_stream_peek(stream_, &data, &size) < 0 || size == 0)
			break;
		readable -= std::min(readable, size);
		{
			std::lock_guard<std::mutex> hold(mutex_);
			recorded_->append(data, size); // a hole (no data) as silence keeps the pace
			frame_ready = recorded_->size() >= data_size();
		}
		pa_stream_drop(stream_);
	}
	// The reader is woken once a whole frame is there, not for every
	// fragment.
	if (frame_ready)
		wakeup_.ring();
}

} // namespace pcsound
