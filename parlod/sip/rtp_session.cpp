#include "rtp_session.h"

#include <algorithm>
#include <cerrno>
#include <deque>
#include <fcntl.h>
#include <random>
#include <sys/socket.h>
#include <unistd.h>

#include "pacer.h"
#include "recoder.h"
#include "wakeup.h"

namespace sipep {

// Frames of the peer for a patch thread, in sequence. Fed under the
// session's lock.
class RtpSourceStream : public callfw::MediaStream {
public:
	using Clock = RtpSession::Clock;

	RtpSourceStream(callfw::Connection &owner, const callfw::MediaFormat &format)
		: MediaStream(owner, format, true),
		  clock_restart_(format.clock_rate ? format.clock_rate : 8000), // a second
		  frame_time_(std::chrono::microseconds(format.clock_rate ? 1000000LL * format.frame_samples /
										  format.clock_rate
									: 20000))
	{
	}

	// codec: what the payload is coded in; the reader gets it recoded
	// into the stream's own when it differs.
	void push(const RtpHeader &h, const uint8_t *payload, size_t size, const callfw::MediaFormat &codec,
		  Clock::time_point now)
	{
		{
			std::lock_guard<std::mutex> hold(mutex_);
			if (closed_)
				return;
			int16_t ahead = (int16_t)(h.seq - next_seq_);
			// A new source, or a sender that started over: a new sequence.
			if (!started_ || h.ssrc != ssrc_ || ahead > 1000 || ahead < -1000) {
				queue_.clear();
				started_ = true;
				ssrc_ = h.ssrc;
				next_seq_ = h.seq;
				have_delivered_ = false;
				ahead = 0;
			}
			// Before anything was read, one that overtook the first is
			// still in time.
			if (ahead < 0 && !have_delivered_ && ahead > -(int)RtpSession::kQueueFrames) {
				next_seq_ = h.seq;
				ahead = 0;
			}
			// Late (its time has been played, or skipped) or a duplicate.
			// One in sequence whose time is far behind is not late: the
			// sender started its clock over, keeping its SSRC and numbers
			// (a media server switched behind a border controller).
			const int32_t behind = (int32_t)(last_timestamp_ - h.timestamp);
			if (ahead < 0 || (have_delivered_ && behind >= 0 && (uint32_t)behind < clock_restart_))
				return;
			auto at = std::find_if(queue_.begin(), queue_.end(),
					       [&](const Pending &p) { return (int16_t)(p.seq - h.seq) >= 0; });
			if (at != queue_.end() && at->seq == h.seq)
				return;
			Pending p{ h.seq, h.timestamp, now, &codec, std::vector<uint8_t>(payload, payload + size) };
			queue_.insert(at, std::move(p));
			if (queue_.size() > RtpSession::kQueueFrames) {
				next_seq_ = (uint16_t)(queue_.front().seq + 1);
				queue_.pop_front();
			}
		}
		wakeup_.ring();
	}

	bool read_frame(callfw::MediaFrame &frame) override
	{
		for (;;) {
			uint32_t ticket = wakeup_.ticket();
			Clock::time_point skip_at{}, quiet_at{};
			const callfw::MediaFormat *codec = nullptr;
			{
				std::lock_guard<std::mutex> hold(mutex_);
				if (closed_)
					return false;
				const auto now = Clock::now();
				if (!queue_.empty()) {
					// One that is missing is waited for a moment, then
					// skipped.
					Pending &head = queue_.front();
					skip_at = head.arrived + RtpSession::kReorderWait;
					if (head.seq == next_seq_ || now >= skip_at) {
						frame.payload.swap(head.payload);
						frame.timestamp = head.timestamp;
						frame.arrival = head.arrived;
						codec = head.codec;
						next_seq_ = (uint16_t)(head.seq + 1);
						last_timestamp_ = head.timestamp;
						have_delivered_ = true;
						queue_.pop_front();
						last_out_ = now;
						quiet_ = false;
						quiet_timestamp_ = frame.timestamp;
					}
				}
				// While nothing comes, each frame's time goes by as an
				// empty frame, so that the filters hear the peer fall
				// silent (a peer that sends nothing while it is quiet,
				// or that holds the call) and a test tone still plays.
				if (!codec) {
					quiet_at = last_out_ + (quiet_ ? frame_time_ : RtpSession::kQuietAfter);
					if (now >= quiet_at) {
						frame.payload.clear();
						frame.arrival = {};
						quiet_timestamp_ += format().frame_samples;
						frame.timestamp = quiet_timestamp_;
						last_out_ = now;
						quiet_ = true;
						return true;
					}
				}
			}
			if (codec) {
				if (codec->name == format().name)
					return true;
				// Outside the lock: the peer's next packet need not wait.
				frame.timestamp -= (uint32_t)recoder_.recode(*codec, frame.payload.data(),
									    frame.payload.size(), format(), recoded_);
				frame.payload.swap(recoded_);
				if (!frame.payload.empty())
					return true;
				continue; // not a whole frame of ours yet
			}
			wakeup_.wait_until(ticket, skip_at == Clock::time_point{} ? quiet_at : std::min(skip_at, quiet_at));
		}
	}

	bool write_frame(const callfw::MediaFrame &) override { return false; }

	void close() override
	{
		{
			std::lock_guard<std::mutex> hold(mutex_);
			closed_ = true;
			queue_.clear();
		}
		wakeup_.ring();
	}

private:
	struct Pending {
		uint16_t seq;
		uint32_t timestamp;
		Clock::time_point arrived;
		const callfw::MediaFormat *codec; // one of the framework's, never freed
		std::vector<uint8_t> payload;
	};

	callfw::Wakeup wakeup_; // the reader, for a frame or the close
	std::mutex mutex_;      // what follows
	std::deque<Pending> queue_; // in sequence
	bool closed_ = false;
	bool started_ = false;
	uint32_t ssrc_ = 0;
	uint16_t next_seq_ = 0;
	bool have_delivered_ = false;
	uint32_t last_timestamp_ = 0;
	const uint32_t clock_restart_; // samples behind that tell a clock started over
	const Clock::duration frame_time_;
	Clock::time_point last_out_ = Clock::now(); // the last frame handed out
	bool quiet_ = false;                        // the last one was empty
	uint32_t quiet_timestamp_ = 0;              // that of the last frame handed out

	// The reading thread's own.
	Recoder recoder_;
	std::vector<uint8_t> recoded_;
};

namespace {

// Our media towards the peer, one packet per frame, each at its time.
class RtpSinkStream : public callfw::MediaStream {
public:
	RtpSinkStream(callfw::Connection &owner, const callfw::MediaFormat &format, std::shared_ptr<RtpSession> session)
		: MediaStream(owner, format, false), session_(std::move(session)),
		  pacer_(format.clock_rate, RtpSession::kMaxLate)
	{
	}

	bool read_frame(callfw::MediaFrame &) override { return false; }

	bool write_frame(const callfw::MediaFrame &frame) override
	{
		// A frame that comes early (a source that hands over blocks)
		// waits for its time.
		auto due = pacer_.due(frame.timestamp, RtpSession::Clock::now());
		for (;;) {
			uint32_t ticket = wakeup_.ticket();
			if (closed_)
				return false;
			if (RtpSession::Clock::now() >= due || !wakeup_.wait_until(ticket, due))
				break;
		}
		if (closed_)
			return false;
		if (frame.payload.empty())
			return true; // nothing to carry this time: no packet
		// A renewed offer may have changed the codec the peer takes.
		const callfw::MediaFormat f = session_->send_format(format());
		const std::vector<uint8_t> *payload = &frame.payload;
		if (f.name != format().name) {
			recoder_.recode(format(), frame.payload.data(), frame.payload.size(), f, recoded_);
			if (recoded_.empty())
				return true; // not a whole frame of the peer's codec yet
			payload = &recoded_;
		}
		// A frame may hold several of the format's frames.
		uint32_t samples = f.frame_bytes ? (uint32_t)(payload->size() * f.frame_samples / f.frame_bytes)
						 : f.frame_samples;
		return session_->send(payload->data(), payload->size(), (uint8_t)f.payload_type, samples);
	}

	void close() override
	{
		closed_ = true;
		wakeup_.ring();
	}

private:
	std::shared_ptr<RtpSession> session_;
	callfw::Wakeup wakeup_; // a writer waiting for its frame's time, for the close
	std::atomic<bool> closed_{ false };
	// The writing thread's own.
	callfw::Pacer pacer_;
	Recoder recoder_;
	std::vector<uint8_t> recoded_;
};

} // namespace

std::shared_ptr<RtpSession> RtpSession::open(const in_addr &bind_address, uint16_t port_min, uint16_t port_max)
{
	int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
	if (fd < 0)
		return nullptr;
	port_min = (uint16_t)((port_min + 1) & ~1);
	if (port_max < port_min)
		port_max = port_min;
	unsigned count = (unsigned)(port_max - port_min) / 2 + 1;
	std::random_device rd;
	unsigned first = rd() % count;
	for (unsigned i = 0; i < count; i++) {
		uint16_t port = (uint16_t)(port_min + 2 * ((first + i) % count));
		sockaddr_in sa{};
		sa.sin_family = AF_INET;
		sa.sin_addr = bind_address;
		sa.sin_port = htons(port);
		if (bind(fd, (const sockaddr *)&sa, sizeof(sa)) == 0)
			return std::shared_ptr<RtpSession>(new RtpSession(fd, port));
		if (errno != EADDRINUSE && errno != EACCES)
			break;
	}
	int err = errno;
	::close(fd);
	errno = err;
	return nullptr;
}

RtpSession::RtpSession(int fd, uint16_t port) : fd_(fd), port_(port)
{
	std::random_device rd;
	tx_.ssrc = rd();
	tx_.seq = (uint16_t)rd();
	tx_.timestamp = rd();
	tx_.marker = true;
}

RtpSession::~RtpSession()
{
	close();
}

void RtpSession::set_peer(const sockaddr_in &address, bool send, std::vector<int> event_pts,
			  callfw::MediaFormatList formats)
{
	std::lock_guard<std::mutex> hold(mutex_);
	latch_.expect(address);
	have_peer_ = true;
	send_ = send;
	event_pts_ = std::move(event_pts);
	formats_ = std::move(formats);
}

callfw::MediaFormat RtpSession::send_format(const callfw::MediaFormat &stream) const
{
	std::lock_guard<std::mutex> hold(mutex_);
	if (formats_.empty())
		return stream;
	const callfw::MediaFormat *same = callfw::find_format(formats_, stream.name);
	return same ? *same : formats_.front();
}

// A context for the key: the one in use while the key is the same.
static bool renew_context(std::unique_ptr<SrtpContext> &context, bool &protect, const std::optional<SrtpKey> &key)
{
	protect = key.has_value();
	if (!key) {
		context.reset();
		return true;
	}
	if (context && context->key() == *key)
		return true;
	context = SrtpContext::make(*key);
	return context != nullptr;
}

bool RtpSession::set_srtp(const std::optional<SrtpKey> &send, const std::optional<SrtpKey> &receive)
{
	std::lock_guard<std::mutex> hold(mutex_);
	bool sending = renew_context(srtp_send_, protect_send_, send);
	int err = errno;
	bool receiving = renew_context(srtp_receive_, protect_receive_, receive);
	if (!sending)
		errno = err;
	return sending && receiving;
}

uint64_t RtpSession::srtp_failures() const
{
	std::lock_guard<std::mutex> hold(mutex_);
	return srtp_failures_;
}

void RtpSession::set_peer_address(const sockaddr_in &address)
{
	std::lock_guard<std::mutex> hold(mutex_);
	latch_.resolve(address);
}

sockaddr_in RtpSession::media_source() const
{
	std::lock_guard<std::mutex> hold(mutex_);
	return latch_.source();
}

void RtpSession::start_timeout_clock()
{
	std::lock_guard<std::mutex> hold(mutex_);
	last_rx_ = Clock::now();
}

RtpSession::Clock::time_point RtpSession::last_received() const
{
	std::lock_guard<std::mutex> hold(mutex_);
	return last_rx_;
}

void RtpSession::receive(std::string &keys)
{
	std::lock_guard<std::mutex> hold(mutex_);
	if (closed_)
		return;
	// One datagram a call: the thread that watches the socket comes back
	// while there are more, and the read that would find none is saved.
	uint8_t buf[2048];
	sockaddr_in from{};
	socklen_t len = sizeof(from);
	ssize_t got = recvfrom(fd_, buf, sizeof(buf), MSG_DONTWAIT, (sockaddr *)&from, &len);
	if (got < 0)
		return; // EAGAIN, EINTR, or an error the next packet will not have
	size_t size = (size_t)got;
	if (protect_receive_ && have_peer_) {
		size = srtp_receive_ ? srtp_receive_->unprotect(buf, size) : 0;
		if (!size) {
			srtp_failures_++;
			return;
		}
	}
	auto packet = parse_rtp(buf, size);
	if (!have_peer_ || len < sizeof(from) || !packet)
		return;
	const RtpHeader &h = packet->header;
	bool event = std::find(event_pts_.begin(), event_pts_.end(), h.pt) != event_pts_.end();
	// The codec of the agreement the packet is in, if any.
	const callfw::MediaFormat *codec = nullptr;
	for (const callfw::MediaFormat &f : formats_)
		if (!event && f.payload_type == h.pt) {
			codec = callfw::find_encoding(f.encoding);
			break;
		}
	bool media = !event && (formats_.empty() || codec);
	auto now = Clock::now();
	if (!latch_.accept(from, h, media, now))
		return;
	last_rx_ = now;
	if (event) {
		if (auto e = parse_telephone_event(packet->payload, packet->size))
			if (auto key = dtmf_.receive(h, *e))
				keys += *key;
		return;
	}
	auto source = source_.lock();
	if (!source || !packet->size)
		return;
	if (!codec && formats_.empty() && h.pt == source->format().payload_type)
		codec = callfw::find_encoding(source->format().encoding);
	if (codec)
		source->push(h, packet->payload, packet->size, *codec, now);
}

callfw::MediaStreamPtr RtpSession::open_stream(callfw::Connection &owner, const callfw::MediaFormat &format,
					       bool source)
{
	std::lock_guard<std::mutex> hold(mutex_);
	if (closed_)
		return nullptr;
	if (!source)
		return std::make_shared<RtpSinkStream>(owner, format, shared_from_this());
	auto stream = std::make_shared<RtpSourceStream>(owner, format);
	if (auto old = source_.lock())
		old->close(); // one reader of the peer's media at a time
	source_ = stream;
	return stream;
}

bool RtpSession::send(const uint8_t *payload, size_t size, uint8_t pt, uint32_t samples)
{
	std::lock_guard<std::mutex> hold(mutex_);
	if (closed_)
		return false;
	const sockaddr_in &to = latch_.source();
	// On hold, or the peer's address is not known yet: the frame goes
	// nowhere, the call goes on.
	if (!have_peer_ || !send_ || to.sin_addr.s_addr == htonl(INADDR_ANY))
		return true;
	tx_.pt = pt;
	packet_.clear();
	build_rtp(packet_, tx_, payload, size);
	// Errors (an ICMP error reported late, a full buffer) are the
	// network's; the next frame tries again. A packet that cannot be
	// protected is lost, never sent plain.
	if (!protect_send_ || (srtp_send_ && srtp_send_->protect(packet_)))
		(void)sendto(fd_, packet_.data(), packet_.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
			     (const sockaddr *)&to, sizeof(to));
	tx_.marker = false;
	tx_.seq++;
	tx_.timestamp += samples;
	return true;
}

void RtpSession::close()
{
	std::shared_ptr<RtpSourceStream> source;
	{
		std::lock_guard<std::mutex> hold(mutex_);
		if (closed_)
			return;
		closed_ = true;
		source = source_.lock();
		source_.reset();
		::close(fd_);
	}
	if (source)
		source->close();
}

} // namespace sipep
