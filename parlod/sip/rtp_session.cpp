#include "rtp_session.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <fcntl.h>
#include <random>
#include <sys/socket.h>
#include <unistd.h>

namespace sipep {

// Frames of the peer for a patch thread. Fed under the session's lock.
class RtpSourceStream : public callfw::MediaStream {
public:
	RtpSourceStream(callfw::Connection &owner, const callfw::MediaFormat &format)
		: MediaStream(owner, format, true)
	{
	}

	void push(const uint8_t *payload, size_t size, uint32_t timestamp)
	{
		{
			std::lock_guard<std::mutex> hold(mutex_);
			if (closed_)
				return;
			if (queue_.size() >= RtpSession::kQueueFrames)
				queue_.pop_front();
			callfw::MediaFrame frame;
			frame.payload.assign(payload, payload + size);
			frame.timestamp = timestamp;
			queue_.push_back(std::move(frame));
		}
		cv_.notify_one();
	}

	bool read_frame(callfw::MediaFrame &frame) override
	{
		std::unique_lock<std::mutex> hold(mutex_);
		cv_.wait(hold, [this] { return closed_ || !queue_.empty(); });
		if (closed_)
			return false;
		frame = std::move(queue_.front());
		queue_.pop_front();
		return true;
	}

	bool write_frame(const callfw::MediaFrame &) override { return false; }

	void close() override
	{
		{
			std::lock_guard<std::mutex> hold(mutex_);
			closed_ = true;
			queue_.clear();
		}
		cv_.notify_all();
	}

	bool is_closed() const
	{
		std::lock_guard<std::mutex> hold(mutex_);
		return closed_;
	}

private:
	mutable std::mutex mutex_;
	std::condition_variable cv_;
	std::deque<callfw::MediaFrame> queue_;
	bool closed_ = false;
};

namespace {

// Our media towards the peer, one packet per frame.
class RtpSinkStream : public callfw::MediaStream {
public:
	RtpSinkStream(callfw::Connection &owner, const callfw::MediaFormat &format, std::shared_ptr<RtpSession> session)
		: MediaStream(owner, format, false), session_(std::move(session))
	{
	}

	bool read_frame(callfw::MediaFrame &) override { return false; }

	bool write_frame(const callfw::MediaFrame &frame) override
	{
		if (closed_)
			return false;
		const callfw::MediaFormat &f = format();
		// A frame may hold several of the format's frames.
		uint32_t samples = f.frame_bytes ? (uint32_t)(frame.payload.size() * f.frame_samples / f.frame_bytes)
						 : f.frame_samples;
		return session_->send(frame.payload.data(), frame.payload.size(), (uint8_t)f.payload_type, samples);
	}

	void close() override { closed_ = true; }

private:
	std::shared_ptr<RtpSession> session_;
	std::atomic<bool> closed_{ false };
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

void RtpSession::set_peer(const sockaddr_in &address, bool send, std::vector<int> event_pts)
{
	std::lock_guard<std::mutex> hold(mutex_);
	peer_ = address;
	have_peer_ = true;
	send_ = send;
	event_pts_ = std::move(event_pts);
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
	uint8_t buf[2048];
	// A bounded batch, so that a flood cannot hold the thread.
	for (int n = 0; n < 64 && !closed_; n++) {
		sockaddr_in from{};
		socklen_t len = sizeof(from);
		ssize_t got = recvfrom(fd_, buf, sizeof(buf), MSG_DONTWAIT, (sockaddr *)&from, &len);
		if (got < 0) {
			if (errno == EINTR)
				continue;
			break; // EAGAIN, or an error the next packet will not have
		}
		// Media only from where the peer said it is: no latching onto a
		// new source, or any host that guessed the port could take over.
		if (!have_peer_ || len < sizeof(from) || from.sin_family != AF_INET ||
		    from.sin_addr.s_addr != peer_.sin_addr.s_addr || from.sin_port != peer_.sin_port)
			continue;
		auto packet = parse_rtp(buf, (size_t)got);
		if (!packet)
			continue;
		last_rx_ = Clock::now();
		const RtpHeader &h = packet->header;
		if (std::find(event_pts_.begin(), event_pts_.end(), h.pt) != event_pts_.end()) {
			if (auto event = parse_telephone_event(packet->payload, packet->size))
				if (auto key = dtmf_.receive(h, *event))
					keys += *key;
			continue;
		}
		auto source = source_.lock();
		if (source && h.pt == source->format().payload_type && packet->size)
			source->push(packet->payload, packet->size, h.timestamp);
	}
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
	if (!have_peer_ || !send_)
		return true; // on hold: the frame goes nowhere, the call goes on
	tx_.pt = pt;
	packet_.clear();
	build_rtp(packet_, tx_, payload, size);
	// Errors (an ICMP error reported late, a full buffer) are the
	// network's; the next frame tries again.
	(void)sendto(fd_, packet_.data(), packet_.size(), MSG_DONTWAIT | MSG_NOSIGNAL, (const sockaddr *)&peer_,
		     sizeof(peer_));
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
