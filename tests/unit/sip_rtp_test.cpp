#include <arpa/inet.h>
#include <chrono>
#include <cmath>
#include <future>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "call.h"
#include "call_manager.h"
#include "rtp_packet.h"
#include "recoder.h"
#include "rtp_session.h"
#include "source_latch.h"
#include "srtp_context.h"

using namespace sipep;

namespace {

// A frame's worth of a 1 kHz tone, in µ-law.
std::vector<uint8_t> ulaw_tone(size_t samples = 160)
{
	std::vector<int16_t> pcm(samples);
	for (size_t k = 0; k < samples; k++)
		pcm[k] = (int16_t)(8000 * std::sin(2 * M_PI * 1000 * (double)k / 8000));
	std::vector<uint8_t> out;
	callfw::make_codec(callfw::g711_ulaw())->encode(pcm.data(), pcm.size(), out);
	return out;
}

std::vector<uint8_t> packet(uint8_t pt, uint16_t seq, uint32_t ts, std::vector<uint8_t> payload, bool marker = false,
			    uint32_t ssrc = 0x11223344)
{
	std::vector<uint8_t> out;
	RtpHeader h;
	h.marker = marker;
	h.pt = pt;
	h.seq = seq;
	h.timestamp = ts;
	h.ssrc = ssrc;
	build_rtp(out, h, payload.data(), payload.size());
	return out;
}

TEST(RtpPacket, RoundTrip)
{
	auto p = packet(3, 0xfffe, 0xdeadbeef, { 1, 2, 3 }, true, 0xcafe0001);
	ASSERT_EQ(p.size(), 15u);
	auto r = parse_rtp(p.data(), p.size());
	ASSERT_TRUE(r);
	EXPECT_TRUE(r->header.marker);
	EXPECT_EQ(r->header.pt, 3);
	EXPECT_EQ(r->header.seq, 0xfffe);
	EXPECT_EQ(r->header.timestamp, 0xdeadbeefu);
	EXPECT_EQ(r->header.ssrc, 0xcafe0001u);
	ASSERT_EQ(r->size, 3u);
	EXPECT_EQ(r->payload[2], 3);
}

TEST(RtpPacket, SkipsCsrcExtensionAndPadding)
{
	// Two CSRCs, an extension of one word, two bytes of padding.
	std::vector<uint8_t> p = { 0xb2, 0x00, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3 };
	p.insert(p.end(), 8, 0xcc);                      // CSRC list
	p.insert(p.end(), { 0xbe, 0xde, 0x00, 0x01 });   // extension header
	p.insert(p.end(), 4, 0xee);                      // extension data
	p.insert(p.end(), { 0x42, 0x43 });               // payload
	p.insert(p.end(), { 0x00, 0x02 });               // padding
	auto r = parse_rtp(p.data(), p.size());
	ASSERT_TRUE(r);
	ASSERT_EQ(r->size, 2u);
	EXPECT_EQ(r->payload[0], 0x42);
	EXPECT_EQ(r->payload[1], 0x43);
}

TEST(RtpPacket, RefusesWhatRunsPastTheEnd)
{
	std::vector<std::vector<uint8_t>> bad = {
		{},
		{ 0x80, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0 },                  // short header
		{ 0x40, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3 },               // version 1
		{ 0x8f, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 1, 2, 3, 4 },   // 15 CSRCs announced
		{ 0x90, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0xbe, 0xde },   // cut extension header
		{ 0x90, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0xbe, 0xde, 0, 9 }, // extension too long
		{ 0xa0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 1, 2, 9 },      // more padding than payload
		{ 0xa0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 1, 2, 0 },      // padding length 0
	};
	for (auto &p : bad)
		EXPECT_FALSE(parse_rtp(p.data(), p.size())) << p.size();
}

TEST(TelephoneEvents, EachKeyOnceAtItsEnd)
{
	DtmfReceiver rx;
	auto feed = [&rx](uint32_t ts, uint8_t event, bool end, uint32_t ssrc = 1) {
		RtpHeader h;
		h.timestamp = ts;
		h.ssrc = ssrc;
		uint8_t payload[4] = { event, (uint8_t)(end ? 0x8a : 0x0a), 0x03, 0x20 };
		auto e = parse_telephone_event(payload, 4);
		EXPECT_TRUE(e);
		EXPECT_EQ(e->volume, 10);
		EXPECT_EQ(e->duration, 800);
		return rx.receive(h, *e);
	};
	EXPECT_FALSE(feed(100, 5, false));
	EXPECT_FALSE(feed(100, 5, false));
	EXPECT_EQ(feed(100, 5, true), '5');
	EXPECT_FALSE(feed(100, 5, true)); // the end comes three times
	EXPECT_FALSE(feed(100, 5, true));
	EXPECT_EQ(feed(900, 5, true), '5'); // the same key again is a new event
	EXPECT_EQ(feed(900, 11, true, 2), '#'); // another source, same timestamp
	EXPECT_EQ(feed(1700, 10, true, 2), '*');
	EXPECT_EQ(feed(2500, 15, true, 2), 'D');
	EXPECT_FALSE(feed(3300, 16, true, 2)); // a flash is no key
	uint8_t short_payload[3] = { 1, 0x80, 0 };
	EXPECT_FALSE(parse_telephone_event(short_payload, 3));
}

sockaddr_in address(const char *ip, uint16_t port)
{
	sockaddr_in a{};
	a.sin_family = AF_INET;
	inet_pton(AF_INET, ip, &a.sin_addr);
	a.sin_port = htons(port);
	return a;
}

RtpHeader header(uint16_t seq, uint32_t ssrc = 7)
{
	RtpHeader h;
	h.seq = seq;
	h.timestamp = seq * 160u;
	h.ssrc = ssrc;
	return h;
}

TEST(SourceLatch, PeerBehindNatIsTakenOnceItsStreamHasProvedItself)
{
	using namespace std::chrono_literals;
	SourceLatch latch;
	const auto announced = address("127.0.0.1", 4000), nat = address("192.0.2.10", 4000),
		   stray = address("192.0.2.99", 5000);
	latch.expect(announced);
	auto t = SourceLatch::Clock::now();
	EXPECT_TRUE(latch.accept(announced, header(1), true, t));

	// A stray packet, and a burst faster than any media, take nothing.
	EXPECT_FALSE(latch.accept(stray, header(100), true, t));
	for (uint16_t seq = 200; seq < 220; seq++)
		EXPECT_FALSE(latch.accept(stray, header(seq), true, t + 1ms));

	// The peer's own stream from its other address: five in a row, 20 ms
	// apart, while the announced address is silent.
	for (uint16_t seq = 10; seq < 14; seq++)
		EXPECT_FALSE(latch.accept(nat, header(seq), true, t + (seq - 10) * 20ms));
	EXPECT_TRUE(latch.accept(nat, header(14), true, t + 80ms));
	EXPECT_TRUE(latch.latched());
	EXPECT_EQ(latch.source().sin_addr.s_addr, nat.sin_addr.s_addr); // ours go there too
	// Now the announced address is a stranger like any other.
	EXPECT_FALSE(latch.accept(announced, header(2), true, t + 90ms));
	EXPECT_TRUE(latch.accept(nat, header(15, 99), false, t + 100ms)); // its events, any SSRC
}

TEST(SourceLatch, NobodyTakesOverWhileThePeerSpeaks)
{
	using namespace std::chrono_literals;
	SourceLatch latch;
	const auto peer = address("192.0.2.10", 4000), sprayer = address("192.0.2.10", 4002);
	latch.expect(peer);
	auto t = SourceLatch::Clock::now();
	// A well-formed stream from another port, interleaved with the
	// peer's, for a second.
	for (int i = 0; i < 50; i++) {
		auto at = t + i * 20ms;
		EXPECT_TRUE(latch.accept(peer, header((uint16_t)i), true, at));
		EXPECT_FALSE(latch.accept(sprayer, header((uint16_t)(500 + 2 * i)), true, at + 5ms));
		EXPECT_FALSE(latch.accept(sprayer, header((uint16_t)(501 + 2 * i)), true, at + 15ms));
	}
	// Gaps in the sequence, a change of SSRC or payload type start the
	// proof again; events never make one.
	for (int i = 0; i < 20; i++)
		EXPECT_FALSE(latch.accept(sprayer, header((uint16_t)(900 + 2 * i)), true, t + 2s + i * 20ms));
	for (int i = 0; i < 20; i++)
		EXPECT_FALSE(latch.accept(sprayer, header((uint16_t)(990 + i), (uint32_t)i), true, t + 3s + i * 20ms));
	for (int i = 0; i < 20; i++)
		EXPECT_FALSE(latch.accept(sprayer, header((uint16_t)(2000 + i)), false, t + 4s + i * 20ms));
	EXPECT_FALSE(latch.latched());

	// The peer falls silent for good (its NAT binding changed): the new
	// source wins the same way, and a renewed offer for the same address
	// keeps it; one for a new address starts over.
	for (int i = 0; i < 5; i++)
		latch.accept(sprayer, header((uint16_t)(3000 + i)), true, t + 5s + i * 20ms);
	EXPECT_TRUE(latch.latched());
	latch.expect(peer);
	EXPECT_TRUE(latch.latched());
	latch.expect(address("192.0.2.20", 6000));
	EXPECT_FALSE(latch.latched());
	EXPECT_FALSE(latch.accept(sprayer, header(3005), true, t + 6s));
}

// The media side of a session needs a connection to belong to.
class NullLeg : public callfw::Connection {
public:
	NullLeg(callfw::Call &call, callfw::Endpoint &ep) : Connection(call, ep, "null:") {}
	bool is_network() const override { return true; }
	callfw::MediaFormatList media_formats() const override { return {}; }
	void start() override {}
	void release(callfw::CallEndReason) override {}
	callfw::MediaStreamPtr open_media_stream(const callfw::MediaFormat &, bool) override { return nullptr; }
};

class NullEndpoint : public callfw::Endpoint {
public:
	using Endpoint::Endpoint;
	callfw::ConnectionPtr make_connection(callfw::Call &, const std::string &) override { return nullptr; }
};

class RtpSessionTest : public ::testing::Test {
protected:
	void SetUp() override
	{
		in_addr lo;
		inet_pton(AF_INET, "127.0.0.1", &lo);
		session = RtpSession::open(lo, 30000, 30998);
		ASSERT_TRUE(session);
		EXPECT_EQ(session->port() % 2, 0);
		to_session.sin_family = AF_INET;
		to_session.sin_addr = lo;
		to_session.sin_port = htons(session->port());
		peer = bound_socket(peer_addr);
		stranger = bound_socket(stranger_addr);
		session->set_peer(peer_addr, true, { 101 });
	}

	void TearDown() override
	{
		close(peer);
		close(stranger);
		manager.shutdown();
	}

	int bound_socket(sockaddr_in &addr)
	{
		int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
		addr = {};
		addr.sin_family = AF_INET;
		inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
		bind(fd, (const sockaddr *)&addr, sizeof(addr));
		socklen_t len = sizeof(addr);
		getsockname(fd, (sockaddr *)&addr, &len);
		return fd;
	}

	void send_from(int fd, const std::vector<uint8_t> &p)
	{
		sendto(fd, p.data(), p.size(), 0, (const sockaddr *)&to_session, sizeof(to_session));
	}

	// The next of our packets at the peer; empty when none comes.
	std::vector<uint8_t> at_peer()
	{
		std::vector<uint8_t> data(2048);
		pollfd pfd = { peer, POLLIN, 0 };
		ssize_t n = poll(&pfd, 1, 2000) == 1 ? recv(peer, data.data(), data.size(), 0) : -1;
		data.resize(n > 0 ? (size_t)n : 0);
		return data;
	}

	// The next frame of the peer's media, past the empty ones of a silent
	// peer; false when none comes within a second.
	static bool read_media(callfw::MediaStream &source, callfw::MediaFrame &frame)
	{
		auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
		while (source.read_frame(frame))
			if (!frame.payload.empty() || std::chrono::steady_clock::now() > deadline)
				return !frame.payload.empty();
		return false;
	}

	// What the libre thread does while the socket is readable.
	std::string deliver()
	{
		pollfd pfd = { session->fd(), POLLIN, 0 };
		std::string keys;
		for (int timeout = 2000; poll(&pfd, 1, timeout) == 1; timeout = 0)
			session->receive(keys);
		return keys;
	}

	callfw::CallManager manager;
	NullEndpoint endpoint{ manager, "null" };
	callfw::Call call{ manager, "1", "a", "b" };
	NullLeg leg{ call, endpoint };
	std::shared_ptr<RtpSession> session;
	sockaddr_in to_session{}, peer_addr{}, stranger_addr{};
	int peer = -1, stranger = -1;
};

TEST_F(RtpSessionTest, TakesThePeersFramesOfTheStreamsCodecOnly)
{
	auto source = session->open_stream(leg, callfw::g711_ulaw(), true);
	ASSERT_TRUE(source);
	send_from(stranger, packet(0, 1, 160, std::vector<uint8_t>(160, 0x11))); // wrong source
	send_from(peer, packet(3, 2, 320, std::vector<uint8_t>(33, 0x22)));      // other codec
	send_from(peer, { 0x80, 0 });                                           // no RTP
	send_from(peer, packet(101, 3, 480, { 4, 0x80, 0, 160 }));               // an event
	send_from(peer, packet(0, 4, 640, std::vector<uint8_t>(160, 0x44)));
	// Datagrams over loopback are queued by the time sendto() returns.
	EXPECT_EQ(deliver(), "4");
	callfw::MediaFrame frame;
	ASSERT_TRUE(source->read_frame(frame));
	EXPECT_EQ(frame.payload, std::vector<uint8_t>(160, 0x44));
	EXPECT_EQ(frame.timestamp, 640u);
}

TEST_F(RtpSessionTest, LaggingReaderLosesTheOldestFrames)
{
	auto source = session->open_stream(leg, callfw::g711_ulaw(), true);
	size_t total = RtpSession::kQueueFrames + 3;
	for (size_t i = 0; i < total; i++)
		send_from(peer, packet(0, (uint16_t)i, (uint32_t)(i * 160), std::vector<uint8_t>(160, (uint8_t)i)));
	deliver();
	callfw::MediaFrame frame;
	for (size_t i = total - RtpSession::kQueueFrames; i < total; i++) {
		ASSERT_TRUE(source->read_frame(frame));
		EXPECT_EQ(frame.payload[0], (uint8_t)i);
	}
}

TEST_F(RtpSessionTest, CloseEndsAWaitingRead)
{
	auto source = session->open_stream(leg, callfw::g711_ulaw(), true);
	auto reader = std::async(std::launch::async, [&] {
		callfw::MediaFrame frame;
		while (source->read_frame(frame))
			if (!frame.payload.empty())
				return true;
		return false;
	});
	EXPECT_EQ(reader.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
	source->close();
	ASSERT_EQ(reader.wait_for(std::chrono::seconds(10)), std::future_status::ready);
	EXPECT_FALSE(reader.get());

	// The session's close ends the streams too, and opens no more.
	auto second = session->open_stream(leg, callfw::g711_ulaw(), true);
	auto sink = session->open_stream(leg, callfw::g711_ulaw(), false);
	session->close();
	callfw::MediaFrame frame;
	EXPECT_FALSE(second->read_frame(frame));
	frame.payload.assign(160, 0);
	EXPECT_FALSE(sink->write_frame(frame));
	EXPECT_FALSE(session->open_stream(leg, callfw::g711_ulaw(), true));
}

TEST_F(RtpSessionTest, SinkNumbersItsPackets)
{
	auto sink = session->open_stream(leg, callfw::gsm0610(), false);
	callfw::MediaFrame frame;
	frame.payload.assign(33, 0xaa);
	ASSERT_TRUE(sink->write_frame(frame));
	frame.payload.assign(66, 0xbb); // two GSM frames at once
	ASSERT_TRUE(sink->write_frame(frame));
	frame.payload.assign(33, 0xcc);
	ASSERT_TRUE(sink->write_frame(frame));

	std::vector<RtpHeader> got;
	for (int i = 0; i < 3; i++) {
		auto data = at_peer();
		auto p = parse_rtp(data.data(), data.size());
		ASSERT_TRUE(p);
		EXPECT_EQ(p->header.pt, 3);
		got.push_back(p->header);
	}
	EXPECT_TRUE(got[0].marker);
	EXPECT_FALSE(got[1].marker);
	EXPECT_EQ(got[0].ssrc, got[2].ssrc);
	EXPECT_EQ((uint16_t)(got[1].seq - got[0].seq), 1);
	EXPECT_EQ((uint16_t)(got[2].seq - got[1].seq), 1);
	EXPECT_EQ(got[1].timestamp - got[0].timestamp, 160u);
	EXPECT_EQ(got[2].timestamp - got[1].timestamp, 320u);

	// A peer on hold gets nothing, and the call goes on.
	session->set_peer(peer_addr, false, {});
	EXPECT_TRUE(sink->write_frame(frame));
	pollfd pfd = { peer, POLLIN, 0 };
	EXPECT_EQ(poll(&pfd, 1, 200), 0);
	sink->close();
	EXPECT_FALSE(sink->write_frame(frame));
}

TEST_F(RtpSessionTest, PeerThatNamedAHostIsAnsweredOnceItsAddressIsKnown)
{
	auto sink = session->open_stream(leg, callfw::g711_ulaw(), false);
	callfw::MediaFrame frame;
	frame.payload.assign(160, 0x55);
	auto nothing_at = [](int fd) {
		pollfd pfd = { fd, POLLIN, 0 };
		return poll(&pfd, 1, 200) == 0;
	};
	// While the name is looked up nothing goes out (a datagram to 0.0.0.0
	// would reach this very host).
	sockaddr_in unknown = peer_addr;
	unknown.sin_addr.s_addr = htonl(INADDR_ANY);
	session->set_peer(unknown, true, { 101 });
	ASSERT_TRUE(sink->write_frame(frame));
	EXPECT_TRUE(nothing_at(peer));
	session->set_peer_address(peer_addr);
	ASSERT_TRUE(sink->write_frame(frame));
	EXPECT_EQ(at_peer().size(), 172u);

	// The peer's media came first, from elsewhere: it is answered there,
	// and neither the address found afterwards nor a renewed offer naming
	// the same host changes that.
	session->set_peer(unknown, true, { 101 });
	for (uint16_t seq = 1; seq <= 6; seq++) {
		send_from(stranger, packet(0, seq, seq * 160u, std::vector<uint8_t>(160, 0)));
		deliver();
		std::this_thread::sleep_for(std::chrono::milliseconds(20));
	}
	session->set_peer_address(peer_addr);
	session->set_peer(peer_addr, true, { 101 });
	ASSERT_TRUE(sink->write_frame(frame));
	EXPECT_TRUE(nothing_at(peer));
	EXPECT_EQ(session->media_source().sin_port, stranger_addr.sin_port);
	uint8_t buf[512];
	pollfd pfd = { stranger, POLLIN, 0 };
	ASSERT_EQ(poll(&pfd, 1, 2000), 1);
	EXPECT_EQ(recv(stranger, buf, sizeof(buf), 0), 172);
}

TEST_F(RtpSessionTest, TimeoutClockCountsFromTheLastPacket)
{
	session->start_timeout_clock();
	auto started = session->last_received();
	std::this_thread::sleep_for(std::chrono::milliseconds(20));
	send_from(stranger, packet(0, 1, 160, std::vector<uint8_t>(160, 0)));
	deliver();
	EXPECT_EQ(session->last_received(), started); // a stranger keeps nothing alive
	send_from(peer, packet(13, 1, 160, { 0 })); // comfort noise counts
	deliver();
	EXPECT_GT(session->last_received(), started);
}

TEST_F(RtpSessionTest, MediaFromAnotherAddressIsLatchedAndAnswered)
{
	auto source = session->open_stream(leg, callfw::g711_ulaw(), true);
	auto sink = session->open_stream(leg, callfw::g711_ulaw(), false);
	// The peer announced one address and sends from another.
	for (uint16_t seq = 1; seq <= 6; seq++) {
		send_from(stranger, packet(0, seq, seq * 160u, std::vector<uint8_t>(160, (uint8_t)seq)));
		deliver();
		std::this_thread::sleep_for(std::chrono::milliseconds(20));
	}
	callfw::MediaFrame frame;
	ASSERT_TRUE(source->read_frame(frame));
	EXPECT_EQ(frame.payload[0], 5); // the packet that completed the proof
	EXPECT_EQ(session->media_source().sin_port, stranger_addr.sin_port);

	frame.payload.assign(160, 0x55);
	ASSERT_TRUE(sink->write_frame(frame));
	uint8_t buf[512];
	pollfd pfd = { stranger, POLLIN, 0 };
	ASSERT_EQ(poll(&pfd, 1, 2000), 1); // symmetric: ours go where its come from
	EXPECT_EQ(recv(stranger, buf, sizeof(buf), 0), 172);
}

TEST_F(RtpSessionTest, FramesComeInSequenceWithoutDuplicatesOrLateOnes)
{
	auto source = session->open_stream(leg, callfw::g711_ulaw(), true);
	auto send = [&](uint16_t seq) {
		send_from(peer, packet(0, seq, seq * 160u, std::vector<uint8_t>(160, (uint8_t)seq)));
	};
	// 2 overtakes 1, 3 comes twice, 5 never comes, 4 after 6 is too late.
	for (uint16_t seq : { 2, 1, 3, 3, 6 })
		send(seq);
	deliver();
	std::vector<int> got;
	callfw::MediaFrame frame;
	for (int i = 0; i < 4; i++) {
		ASSERT_TRUE(source->read_frame(frame));
		got.push_back(frame.payload[0]);
	}
	send(4);
	send(7);
	deliver();
	ASSERT_TRUE(source->read_frame(frame));
	got.push_back(frame.payload[0]);
	EXPECT_EQ(got, (std::vector<int>{ 1, 2, 3, 6, 7 }));
	EXPECT_EQ(frame.timestamp, 7 * 160u);

	// A sender that starts its clock over, keeping its SSRC and numbers
	// (a media server behind a border controller), is followed at once.
	const uint32_t restart = 7 * 160u - 80000; // ten seconds back
	send_from(peer, packet(0, 8, restart, std::vector<uint8_t>(160, 0x88)));
	deliver();
	ASSERT_TRUE(read_media(*source, frame));
	EXPECT_EQ(frame.payload[0], 0x88);
	EXPECT_EQ(frame.timestamp, restart);

	// A sender that starts over with a new SSRC is followed at once.
	send_from(peer, packet(0, 40000, 5, std::vector<uint8_t>(160, 0xee), false, 0x55));
	deliver();
	ASSERT_TRUE(read_media(*source, frame));
	EXPECT_EQ(frame.payload[0], 0xee);
}

// A peer configured unlike us: it answers with GSM first and sends µ-law
// at 30 ms a packet, and a renewed offer leaves out the codec we send in.
TEST_F(RtpSessionTest, EveryCodecOfTheAgreementIsTakenAndSentInTheOnesItKeeps)
{
	callfw::MediaFormat gsm = callfw::gsm0610(), ulaw = callfw::g711_ulaw();
	session->set_peer(peer_addr, true, { 101 }, { gsm, ulaw });
	auto source = session->open_stream(leg, gsm, true);
	send_from(peer, packet(8, 1, 0, std::vector<uint8_t>(160, 0xd5))); // not agreed
	for (uint16_t seq = 2; seq <= 5; seq++)
		send_from(peer, packet(0, seq, seq * 240u, ulaw_tone(240)));
	deliver();
	// 960 samples in: the GSM frames they fill, each stamped with the time
	// of its first sample.
	callfw::MediaFrame frame;
	std::vector<uint32_t> stamps;
	size_t bytes = 0;
	while (bytes < 6 * gsm.frame_bytes) {
		ASSERT_TRUE(source->read_frame(frame));
		ASSERT_FALSE(frame.payload.empty());
		EXPECT_EQ(frame.payload.size() % gsm.frame_bytes, 0u);
		bytes += frame.payload.size();
		stamps.push_back(frame.timestamp);
	}
	EXPECT_EQ(bytes, 6 * gsm.frame_bytes);
	EXPECT_EQ(stamps, (std::vector<uint32_t>{ 480, 640, 960, 1120 }));

	auto sink = session->open_stream(leg, gsm, false);
	session->set_peer(peer_addr, true, { 101 }, { ulaw });
	frame.payload.assign(gsm.frame_bytes, 0);
	frame.timestamp = 0;
	ASSERT_TRUE(sink->write_frame(frame));
	auto data = at_peer();
	auto p = parse_rtp(data.data(), data.size());
	ASSERT_TRUE(p);
	EXPECT_EQ(p->header.pt, 0);
	EXPECT_EQ(p->size, ulaw.frame_bytes);
}

// A peer that sends nothing while it is quiet, or that holds the call, is
// heard falling silent: empty frames at the pace of its codec.
TEST_F(RtpSessionTest, SilentPeerGivesEmptyFramesAtTheFramePace)
{
	auto source = session->open_stream(leg, callfw::g711_ulaw(), true);
	send_from(peer, packet(0, 1, 1000, ulaw_tone()));
	deliver();
	callfw::MediaFrame frame;
	ASSERT_TRUE(source->read_frame(frame));
	auto spoke = std::chrono::steady_clock::now();
	for (uint32_t k = 1; k <= 3; k++) {
		ASSERT_TRUE(source->read_frame(frame));
		EXPECT_TRUE(frame.payload.empty());
		EXPECT_EQ(frame.timestamp, 1000 + k * 160);
	}
	EXPECT_GE(std::chrono::steady_clock::now() - spoke, RtpSession::kQuietAfter + std::chrono::milliseconds(40));
	send_from(peer, packet(0, 2, 1800, ulaw_tone()));
	deliver();
	do
		ASSERT_TRUE(source->read_frame(frame));
	while (frame.payload.empty());
	EXPECT_EQ(frame.timestamp, 1800u);
}

TEST(Recoder, CarriesWhatDoesNotFillAFrameToTheNextCall)
{
	Recoder recoder;
	std::vector<uint8_t> out;
	const auto &gsm = callfw::gsm0610(), &ulaw = callfw::g711_ulaw();
	EXPECT_EQ(recoder.recode(ulaw, ulaw_tone(100).data(), 100, gsm, out), 0u);
	EXPECT_TRUE(out.empty());
	EXPECT_EQ(recoder.recode(ulaw, ulaw_tone(100).data(), 100, gsm, out), 100u);
	EXPECT_EQ(out.size(), gsm.frame_bytes); // 40 samples wait
	EXPECT_EQ(recoder.recode(ulaw, ulaw_tone(280).data(), 280, gsm, out), 40u);
	EXPECT_EQ(out.size(), 2 * gsm.frame_bytes);

	// Into raw PCM and back, what went in comes out.
	Recoder to_raw, from_raw;
	std::vector<uint8_t> raw, back;
	auto tone = ulaw_tone();
	to_raw.recode(ulaw, tone.data(), tone.size(), callfw::pcm16(), raw);
	EXPECT_EQ(raw.size(), 2 * tone.size());
	from_raw.recode(callfw::pcm16(), raw.data(), raw.size(), ulaw, back);
	EXPECT_EQ(back, tone);
}

TEST_F(RtpSessionTest, SinkPacesABurstByItsTimestamps)
{
	auto sink = session->open_stream(leg, callfw::g711_ulaw(), false);
	callfw::MediaFrame frame;
	frame.payload.assign(160, 0x11);
	auto start = std::chrono::steady_clock::now();
	for (uint32_t k = 0; k < 6; k++) {
		frame.timestamp = 1000 + k * 160;
		ASSERT_TRUE(sink->write_frame(frame));
	}
	// Handed over at once, five frame times go by before the last leaves.
	EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(95));

	// A close ends a frame's wait for its time.
	frame.timestamp += 8000 * 5;
	auto writer = std::async(std::launch::async, [&] {
		callfw::MediaFrame early = frame;
		early.timestamp = 1000 + 30 * 160;
		return sink->write_frame(early);
	});
	EXPECT_EQ(writer.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
	sink->close();
	ASSERT_EQ(writer.wait_for(std::chrono::seconds(10)), std::future_status::ready);
	EXPECT_FALSE(writer.get());
}

} // namespace

std::vector<uint8_t> key_material(uint8_t seed)
{
	std::vector<uint8_t> m(kSrtpKeyBytes);
	for (size_t i = 0; i < m.size(); i++)
		m[i] = (uint8_t)(seed * 31 + i);
	return m;
}

TEST_F(RtpSessionTest, SrtpBothWaysAndNothingUncheckedIsTaken)
{
	const SrtpKey ours{ kSrtpSuite, key_material(1) }, theirs{ kSrtpSuite, key_material(2) };
	ASSERT_TRUE(session->set_srtp(ours, theirs));
	auto source = session->open_stream(leg, callfw::g711_ulaw(), true);
	auto sender = SrtpContext::make(theirs), stranger_key = SrtpContext::make({ kSrtpSuite, key_material(3) });
	ASSERT_TRUE(sender && stranger_key);
	const auto tone = ulaw_tone();
	auto protect = [&](SrtpContext &with, std::vector<uint8_t> p) {
		EXPECT_TRUE(with.protect(p));
		return p;
	};

	auto first = protect(*sender, packet(0, 1, 160, tone));
	EXPECT_EQ(first.size(), 12 + tone.size() + 10); // the 80-bit tag
	auto tampered = protect(*sender, packet(0, 3, 480, tone));
	tampered[40] ^= 1;
	send_from(peer, first);
	send_from(peer, packet(0, 2, 320, tone)); // plain
	send_from(peer, tampered);
	send_from(peer, protect(*stranger_key, packet(0, 4, 640, tone)));
	send_from(peer, first); // replayed
	send_from(peer, protect(*sender, packet(0, 5, 800, tone)));
	deliver();
	callfw::MediaFrame frame;
	ASSERT_TRUE(read_media(*source, frame));
	EXPECT_EQ(frame.payload, tone);
	EXPECT_EQ(frame.timestamp, 160u);
	ASSERT_TRUE(read_media(*source, frame));
	EXPECT_EQ(frame.payload, tone);
	EXPECT_EQ(frame.timestamp, 800u);
	EXPECT_EQ(session->srtp_failures(), 4u);

	// Ours go out protected with our key: no G.711 on the wire.
	auto sink = session->open_stream(leg, callfw::g711_ulaw(), false);
	frame.payload = tone;
	ASSERT_TRUE(sink->write_frame(frame));
	auto wire = at_peer();
	ASSERT_EQ(wire.size(), 12 + tone.size() + 10);
	EXPECT_NE(std::vector<uint8_t>(wire.begin() + 12, wire.begin() + 12 + (long)tone.size()), tone);
	auto receiver = SrtpContext::make(ours);
	size_t plain = receiver->unprotect(wire.data(), wire.size());
	ASSERT_EQ(plain, 12 + tone.size());
	EXPECT_EQ(std::vector<uint8_t>(wire.begin() + 12, wire.begin() + (long)plain), tone);

	// A renewed agreement on the same keys keeps what was seen: the
	// replay is still one.
	ASSERT_TRUE(session->set_srtp(ours, theirs));
	send_from(peer, first);
	deliver();
	EXPECT_EQ(session->srtp_failures(), 5u);

	// Back to plain RTP: taken as it is.
	ASSERT_TRUE(session->set_srtp(std::nullopt, std::nullopt));
	send_from(peer, packet(0, 6, 960, tone));
	deliver();
	ASSERT_TRUE(read_media(*source, frame));
	EXPECT_EQ(frame.timestamp, 960u);
	EXPECT_EQ(session->srtp_failures(), 5u);
}

// A peer whose media server changes its source more often than libre keeps
// sources (or made-up sources in forged packets) does not silence the call.
TEST_F(RtpSessionTest, SrtpTakesEveryNewSourceOfThePeer)
{
	const SrtpKey theirs{ kSrtpSuite, key_material(2) };
	ASSERT_TRUE(session->set_srtp(std::nullopt, theirs));
	auto source = session->open_stream(leg, callfw::g711_ulaw(), true);
	const auto tone = ulaw_tone();
	callfw::MediaFrame frame;
	for (uint32_t ssrc = 1; ssrc <= 12; ssrc++) {
		auto p = packet(0, (uint16_t)(ssrc * 100), ssrc * 16000, tone, false, ssrc);
		ASSERT_TRUE(SrtpContext::make(theirs)->protect(p));
		send_from(peer, p);
		deliver();
		ASSERT_TRUE(read_media(*source, frame)) << ssrc;
		EXPECT_EQ(frame.timestamp, ssrc * 16000);
	}
	EXPECT_EQ(session->srtp_failures(), 0u);
}
