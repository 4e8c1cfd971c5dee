// The RTP side of one SIP call: a UDP socket, what arrives on it and what
// the call sends.
//
// Threads: receive() runs on the thread that watches the socket (the SIP
// endpoint's libre thread); streams are read and written by media patch
// threads; the rest comes from the connection on libre's thread or the call
// manager's worker. The session knows nothing of libre, so it stands alone.
//
// Media: the peer's packets are taken from where the SourceLatch says, and
// ours go to the same place. The source stream hands the peer's frames to
// its reader in sequence, as they come: late and duplicate packets are
// dropped, and one that comes out of order is waited for a moment. The
// sink sends a frame at a time, paced by the frames' timestamps. Both
// recode where the codec on the wire is not the stream's own.
//
// SRTP: with keys set, what we send is protected with ours and what comes
// is checked with the peer's; a packet that fails the check is dropped and
// counted before anything else looks at it (the latch included), so that
// nothing unauthenticated is ever played.
//
// Lock order: mutex_ before a source stream's own lock. A sink takes the
// session's lock only to send, never while it waits for a frame's time.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <optional>
#include <string>
#include <vector>

#include "media_stream.h"
#include "rtp_packet.h"
#include "source_latch.h"
#include "srtp_context.h"

namespace sipep {

class RtpSourceStream;

class RtpSession : public std::enable_shared_from_this<RtpSession> {
public:
	using Clock = std::chrono::steady_clock;

	// A session on a socket bound to bind_address and an even port of the
	// range (tried from a random point on); none when every port is taken,
	// with errno set.
	static std::shared_ptr<RtpSession> open(const in_addr &bind_address, uint16_t port_min, uint16_t port_max);
	~RtpSession();
	RtpSession(const RtpSession &) = delete;
	RtpSession &operator=(const RtpSession &) = delete;

	// The socket, for the thread that watches it; gone after close().
	int fd() const { return fd_; }
	uint16_t port() const { return port_; }

	// Where the peer says it is: its packets are taken from there, or from
	// the source latched instead, and ours go to the same place when it
	// receives (send). An address of 0.0.0.0 is not known (yet): nothing is
	// sent until a source is latched. event_pts: the payload types that
	// carry telephone events; formats: the codecs of the agreement with
	// their payload types, the first preferred. The peer may send in any of
	// them (a stream recodes what is not its own), and ours go in the
	// stream's codec while it is one of them, else in the first. Without
	// formats a stream takes its own codec only, and any other payload type
	// counts as media for the latch.
	void set_peer(const sockaddr_in &address, bool send, std::vector<int> event_pts,
		      callfw::MediaFormatList formats = {});
	// SRTP: send, the key that protects our packets; receive, the key the
	// peer protects its own with; none for plain RTP that way. A key that
	// is in use already keeps its state (a renewed offer that changes
	// nothing). Set before set_peer(), so that no packet of the peer is
	// taken unchecked. False (errno) when a key cannot be used: that way
	// nothing goes, or is taken, until a usable one is set.
	bool set_srtp(const std::optional<SrtpKey> &send, const std::optional<SrtpKey> &receive);
	// Packets that failed the SRTP check, since the session began.
	uint64_t srtp_failures() const;

	// The peer's address, found later than set_peer() was told (it named a
	// host, given as 0.0.0.0 until now): a source latched meanwhile stays.
	void set_peer_address(const sockaddr_in &address);
	// Where the peer's media comes from, and ours goes; 0.0.0.0 while that
	// is not known.
	sockaddr_in media_source() const;

	// The call is up: the media timeout counts from now.
	void start_timeout_clock();
	Clock::time_point last_received() const;

	// Reads a waiting datagram, if any; the key of a telephone event that
	// ended is appended to keys. Packets from another source, or of a
	// payload type that no open source stream and no event carries, are
	// dropped.
	void receive(std::string &keys);

	// A stream of the format (its payload type is the negotiated one).
	callfw::MediaStreamPtr open_stream(callfw::Connection &owner, const callfw::MediaFormat &format, bool source);

	// The codec, with its payload type, that a sink of the stream's codec
	// sends in now.
	callfw::MediaFormat send_format(const callfw::MediaFormat &stream) const;

	// One packet of payload, covering samples of the clock. False once
	// the session is closed; a failed send is no reason to stop.
	bool send(const uint8_t *payload, size_t size, uint8_t pt, uint32_t samples);

	// Ends the streams and closes the socket. Idempotent.
	void close();

	// Frames a source stream keeps for a reader that lags; the oldest go.
	static constexpr size_t kQueueFrames = 8;
	// How long a frame waits for one before it that has not come yet.
	static constexpr std::chrono::milliseconds kReorderWait{ 10 };
	// A frame later than this for its time goes at once, and the pace
	// starts anew from it.
	static constexpr std::chrono::milliseconds kMaxLate{ 60 };
	// A source stream that has had nothing to hand out for this long hands
	// out an empty frame, and one a frame's time after that while nothing
	// comes: the peer is silent. Longer than the longest packet time in use
	// (60 ms) with its jitter, so that no gap between packets of speech
	// counts as silence and switches the speech path back and forth.
	static constexpr std::chrono::milliseconds kQuietAfter{ 150 };

private:
	RtpSession(int fd, uint16_t port);

	const int fd_;
	const uint16_t port_;
	mutable std::mutex mutex_; // everything below
	bool closed_ = false;
	SourceLatch latch_;
	bool have_peer_ = false;
	bool send_ = false;
	std::vector<int> event_pts_;
	callfw::MediaFormatList formats_;
	std::weak_ptr<RtpSourceStream> source_;
	DtmfReceiver dtmf_;
	Clock::time_point last_rx_ = Clock::now();
	RtpHeader tx_;
	std::vector<uint8_t> packet_;
	// SRTP, each way: whether packets are protected, and the context (none
	// when the key was unusable: then nothing passes).
	bool protect_send_ = false, protect_receive_ = false;
	std::unique_ptr<SrtpContext> srtp_send_, srtp_receive_;
	uint64_t srtp_failures_ = 0;
};

} // namespace sipep
