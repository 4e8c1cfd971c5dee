// The call framework with endpoints of the test's own: a local one whose
// streams play and record frames, and a "network" one that speaks G.711 or
// GSM, as a SIP leg would.
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <gtest/gtest.h>
#include <cstring>
#include <mutex>
#include <thread>

#include "call_manager.h"

using namespace callfw;
using namespace std::chrono_literals;

namespace {

std::atomic<int> live_streams{ 0 };

// A stream that plays a fixed frame a number of times, then waits for its
// close; or that keeps what it is given.
class TestStream : public MediaStream {
public:
	TestStream(Connection &c, const MediaFormat &f, bool source, MediaFrame frame, int count)
		: MediaStream(c, f, source), frame_(std::move(frame)), left_(count)
	{
		live_streams++;
	}
	~TestStream() override { live_streams--; }

	bool read_frame(MediaFrame &frame) override
	{
		std::unique_lock<std::mutex> hold(mutex_);
		if (left_ == 0 && fail_at_end)
			return false; // a device that breaks down
		if (left_ == 0)
			cv_.wait(hold, [this] { return closed_; });
		if (closed_)
			return false;
		left_--;
		frame = frame_;
		return true;
	}
	bool write_frame(const MediaFrame &frame) override
	{
		std::lock_guard<std::mutex> hold(mutex_);
		if (closed_)
			return false;
		got.push_back(frame);
		cv_.notify_all();
		return true;
	}
	void close() override
	{
		std::lock_guard<std::mutex> hold(mutex_);
		closed_ = true;
		cv_.notify_all();
	}
	bool wait_frames(size_t n)
	{
		std::unique_lock<std::mutex> hold(mutex_);
		return cv_.wait_for(hold, 5s, [&] { return got.size() >= n; });
	}
	std::vector<MediaFrame> got;
	static inline std::atomic<bool> fail_at_end{ false };

private:
	MediaFrame frame_;
	int left_;
	bool closed_ = false;
	std::mutex mutex_;
	std::condition_variable cv_;
};

// What a test double keeps of the objects the framework has it make: its
// threads hand them over while the test is already looking for them.
// Weak: a test double must not keep a cleared call's parts alive.
template <class T> class Handover {
public:
	void set(const std::shared_ptr<T> &object)
	{
		std::lock_guard<std::mutex> hold(mutex_);
		object_ = object;
	}
	std::shared_ptr<T> lock() const
	{
		std::lock_guard<std::mutex> hold(mutex_);
		return object_.lock();
	}

private:
	mutable std::mutex mutex_;
	std::weak_ptr<T> object_;
};

MediaFrame sine_frame(double hz, double amplitude = 8000)
{
	MediaFrame f;
	f.set_payload_size(320);
	for (int k = 0; k < 160; k++)
		f.samples()[k] = (int16_t)(amplitude * sin(2 * M_PI * hz * k / 8000));
	return f;
}

// The terminal's side: raw PCM.
class ToneEndpoint : public LocalEndpoint {
public:
	ToneEndpoint(CallManager &m, const char *prefix = "tone") : LocalEndpoint(m, prefix) {}
	MediaFormatList local_formats() const override { return { pcm16() }; }
	MediaStreamPtr create_stream(Connection &c, const MediaFormat &f, bool source) override
	{
		auto s = std::make_shared<TestStream>(c, f, source, sine_frame(1000), 50);
		(source ? mic : speaker).set(s);
		return s;
	}
	Handover<TestStream> mic, speaker;
};

// A network leg: coded audio, answers at once, releases when told.
class NetConnection : public Connection {
public:
	NetConnection(Call &c, Endpoint &e, std::string party, MediaFormatList formats)
		: Connection(c, e, std::move(party)), formats_(std::move(formats))
	{
	}
	bool is_network() const override { return true; }
	MediaFormatList media_formats() const override { return formats_; }
	void start() override { answered(); }
	void accept() override { answered(); }
	void release(CallEndReason reason) override { released_with = reason; }
	MediaStreamPtr open_media_stream(const MediaFormat &f, bool source) override;
	void hang_up_remote() { released(CallEndReason::RemoteUser); }
	void user_input(const std::string &text) { endpoint().manager().on_user_input_string(*this, text); }

	std::atomic<CallEndReason> released_with{ CallEndReason::Shutdown };
	Handover<TestStream> in, out;

private:
	MediaFormatList formats_;
};

class NetEndpoint : public Endpoint {
public:
	NetEndpoint(CallManager &m, MediaFormatList formats) : Endpoint(m, "net"), formats_(std::move(formats)) {}
	ConnectionPtr make_connection(Call &call, const std::string &party) override
	{
		auto c = std::make_shared<NetConnection>(call, *this, "net:" + party, formats_);
		last.set(c);
		return c;
	}
	Handover<NetConnection> last;

private:
	MediaFormatList formats_;
};

MediaStreamPtr NetConnection::open_media_stream(const MediaFormat &f, bool source)
{
	// What the far end sends: the coding of a 500 Hz tone.
	MediaFrame coded;
	make_codec(f)->encode(sine_frame(500).samples(), 160, coded.payload);
	auto s = std::make_shared<TestStream>(*this, f, source, coded, 50);
	(source ? in : out).set(s);
	return s;
}

// A bus-like party whose media goes through the endpoint's callbacks: its
// reads give a frame of a 300 Hz tone, then nothing (an empty frame), in
// turn; its writes keep what arrives.
class CallbackEndpoint : public LocalEndpoint {
public:
	CallbackEndpoint(CallManager &m, MediaFormatList formats) : LocalEndpoint(m, "bus"), formats_(std::move(formats)) {}
	MediaFormatList local_formats() const override { return formats_; }
	bool on_read_media_data(LocalConnection &, MediaStream &stream, void *data, size_t size, size_t &length) override
	{
		std::this_thread::sleep_for(5ms);
		length = 0;
		if (reads++ % 2 == 0) {
			MediaFrame coded;
			make_codec(stream.format())->encode(sine_frame(300).samples(), 160, coded.payload);
			length = std::min(size, coded.payload.size());
			memcpy(data, coded.payload.data(), length);
		}
		return true;
	}
	bool on_write_media_data(const LocalConnection &, const MediaStream &, const void *data, size_t length,
				 size_t &written) override
	{
		std::lock_guard<std::mutex> hold(mutex);
		writes.emplace_back((const uint8_t *)data, (const uint8_t *)data + length);
		written = length;
		return true;
	}
	std::atomic<int> reads{ 0 };
	std::mutex mutex;
	std::vector<std::vector<uint8_t>> writes;

private:
	MediaFormatList formats_;
};

// Counts what the hooks see.
class TestManager : public CallManager {
public:
	~TestManager() override { shutdown(); }
	bool on_local_incoming_call(Connection &) override { return accept_incoming; }
	void on_cleared_call(Call &) override
	{
		std::lock_guard<std::mutex> hold(m);
		cleared++;
		cv.notify_all();
	}
	void on_start_media_patch(Connection &c, MediaPatch &p) override
	{
		patch_starts++;
		// A filter on the raw side of the local leg, like the echo canceller.
		if (!c.is_network())
			p.add_filter([this](MediaFrame &) { raw_frames++; }, pcm16());
	}
	void on_stop_media_patch(Connection &, MediaPatch &) override { patch_stops++; }
	void on_user_input_string(Connection &, const std::string &text) override { input = text; }

	bool wait_cleared(int n)
	{
		std::unique_lock<std::mutex> hold(m);
		return cv.wait_for(hold, 5s, [&] { return cleared >= n; });
	}

	bool accept_incoming = true;
	std::atomic<int> patch_starts{ 0 }, patch_stops{ 0 }, raw_frames{ 0 };
	std::string input;
	int cleared = 0;
	std::mutex m;
	std::condition_variable cv;
};

template <typename F> bool eventually(F cond)
{
	for (int i = 0; i < 500; i++) {
		if (cond())
			return true;
		std::this_thread::sleep_for(10ms);
	}
	return false;
}

// Zero crossings per second of 16-bit samples.
double frequency(const std::vector<int16_t> &s)
{
	int crossings = 0;
	for (size_t i = 1; i < s.size(); i++)
		crossings += (s[i - 1] < 0) != (s[i] < 0);
	return crossings / 2.0 / (s.size() / 8000.0);
}

std::vector<int16_t> pcm_of(const std::vector<MediaFrame> &frames)
{
	std::vector<int16_t> out;
	for (const auto &f : frames)
		out.insert(out.end(), (const int16_t *)f.payload.data(), (const int16_t *)f.payload.data() + f.sample_count());
	return out;
}

TEST(Routes, MatchWholeSubjectAndRewrite)
{
	RouteTable r;
	EXPECT_TRUE(r.add(".*\trs[0-9]+", "rs485:<du>"));
	EXPECT_FALSE(r.add("([", "x:"));
	EXPECT_EQ(r.route("pc:*", "rs3"), "rs485:rs3");
	EXPECT_EQ(r.route("sip:alice@host", "rs12"), "rs485:rs12");
	EXPECT_EQ(r.route("pc:*", "rs3x"), "");
	EXPECT_EQ(r.route("pc:*", "xrs3"), "");
	EXPECT_EQ(RouteTable::user_part("sip:rs3@10.0.0.1:5060"), "rs3");
	EXPECT_EQ(RouteTable::user_part("rs3"), "rs3");
	EXPECT_EQ(RouteTable::user_part("pc:*"), "*");
}

TEST(Routes, AnEntryPutFirstWinsOverTheRest)
{
	RouteTable r;
	EXPECT_TRUE(r.add(".*\t.*", "pc:"));
	EXPECT_TRUE(r.insert(0, ".*\trs[0-9]+", "rs485:<du>"));
	EXPECT_TRUE(r.insert(99, ".*\tlast", "x:"));
	EXPECT_EQ(r.route("sip:a@b", "rs12"), "rs485:rs12");
	EXPECT_EQ(r.route("sip:a@b", "parlod"), "pc:");
}

TEST(Codecs, RoundTrips)
{
	std::vector<int16_t> in;
	for (int k = 0; k < 1600; k++)
		in.push_back((int16_t)(10000 * sin(2 * M_PI * 1000 * k / 8000)));
	for (const MediaFormat *f : { &g711_ulaw(), &g711_alaw(), &gsm0610() }) {
		auto codec = make_codec(*f);
		ASSERT_TRUE(codec);
		std::vector<uint8_t> coded;
		codec->encode(in.data(), in.size(), coded);
		EXPECT_EQ(coded.size(), 10 * f->frame_bytes) << f->name;
		std::vector<int16_t> out;
		codec->decode(coded.data(), coded.size(), out);
		ASSERT_EQ(out.size(), in.size()) << f->name;
		EXPECT_NEAR(frequency(std::vector<int16_t>(out.begin() + 320, out.end())), 1000, 30) << f->name;
	}
	// G.711 keeps every sample close; the two laws code it differently.
	std::vector<uint8_t> coded, alaw;
	std::vector<int16_t> out;
	make_codec(g711_alaw())->encode(in.data(), in.size(), alaw);
	auto ulaw = make_codec(g711_ulaw());
	ulaw->encode(in.data(), in.size(), coded);
	EXPECT_NE(coded, alaw);
	ulaw->decode(coded.data(), coded.size(), out);
	for (size_t i = 0; i < in.size(); i++)
		ASSERT_NEAR(out[i], in[i], 400);
	out.clear();
	make_codec(g711_alaw())->decode(alaw.data(), alaw.size(), out);
	for (size_t i = 0; i < in.size(); i++)
		ASSERT_NEAR(out[i], in[i], 400);
	// A partial GSM frame is not decoded into noise.
	out.clear();
	make_codec(gsm0610())->decode(coded.data(), 20, out);
	EXPECT_TRUE(out.empty());
	EXPECT_FALSE(make_codec(pcm16()));
	EXPECT_EQ(find_encoding("pcmu"), &g711_ulaw());
	EXPECT_EQ(find_encoding("PCMA"), &g711_alaw());
	EXPECT_EQ(g711_alaw().payload_type, 8);
	EXPECT_EQ(find_encoding("L16"), nullptr);
}

TEST(Codecs, ListsOfEncodingNames)
{
	auto names = [](const MediaFormatList &list) {
		std::string out;
		for (const MediaFormat &f : list)
			out += f.encoding + " ";
		return out;
	};
	EXPECT_EQ(names(transportable_formats()), "PCMU PCMA GSM ");
	std::vector<std::string> unknown;
	EXPECT_EQ(names(parse_encodings("pcma, PCMU", unknown)), "PCMA PCMU ");
	EXPECT_TRUE(unknown.empty());
	EXPECT_EQ(names(parse_encodings(" gsm,,G722\tPCMA gsm opus ", unknown)), "GSM PCMA ");
	EXPECT_EQ(unknown, (std::vector<std::string>{ "G722", "opus" }));
	unknown.clear();
	EXPECT_EQ(names(parse_encodings("", unknown)), "");
	EXPECT_TRUE(unknown.empty());
}

TEST(Calls, OutgoingCallCarriesMediaBothWaysAndClears)
{
	TestManager m;
	auto tone = std::make_unique<ToneEndpoint>(m);
	auto net = std::make_unique<NetEndpoint>(m, MediaFormatList{ g711_ulaw(), gsm0610() });
	ToneEndpoint *local = tone.get();
	NetEndpoint *remote = net.get();
	m.add_endpoint(std::move(tone));
	m.add_endpoint(std::move(net));

	CallPtr call = m.setup_call("tone:*", "net:peer");
	ASSERT_TRUE(call);
	EXPECT_EQ(call->party_a(), "tone:*");
	EXPECT_EQ(call->party_b(), "net:peer");
	ASSERT_TRUE(eventually([&] { return call->is_established(); }));
	EXPECT_EQ(m.patch_starts, 4); // two patches, both legs

	// The terminal's 1 kHz reaches the far end as G.711, its 500 Hz comes back raw.
	auto leg = remote->last.lock();
	ASSERT_TRUE(eventually([&] { return leg->out.lock() && leg->out.lock()->wait_frames(40); }));
	auto speaker = local->speaker.lock();
	ASSERT_TRUE(speaker && speaker->wait_frames(40));
	std::vector<int16_t> sent;
	auto ulaw = make_codec(g711_ulaw());
	for (auto &f : leg->out.lock()->got) {
		EXPECT_EQ(f.payload.size(), 160u);
		ulaw->decode(f.payload.data(), f.payload.size(), sent);
	}
	EXPECT_NEAR(frequency(sent), 1000, 20);
	EXPECT_NEAR(frequency(pcm_of(speaker->got)), 500, 20);
	EXPECT_GE(m.raw_frames, 80);

	leg->user_input("vol_spk 120");
	EXPECT_EQ(m.input, "vol_spk 120");

	call->clear();
	ASSERT_TRUE(m.wait_cleared(1));
	EXPECT_EQ(leg->released_with, CallEndReason::LocalUser);
	EXPECT_EQ(m.patch_stops, 4);
	EXPECT_TRUE(m.calls().empty());
	EXPECT_FALSE(m.find_call(call->token()));
	call.reset();
	leg.reset();
	speaker.reset();
	EXPECT_EQ(live_streams, 0);
}

TEST(Calls, IncomingCallsFollowTheRoutesAndTheApplication)
{
	TestManager m;
	m.add_endpoint(std::make_unique<ToneEndpoint>(m));
	m.add_endpoint(std::make_unique<ToneEndpoint>(m, "bus"));
	auto net = std::make_unique<NetEndpoint>(m, MediaFormatList{ gsm0610() });
	NetEndpoint *remote = net.get();
	m.add_endpoint(std::move(net));
	m.set_default_route("tone:");
	m.routes().add(".*\tbus[0-9]+", "bus:<du>");

	auto incoming = [&](const std::string &to) {
		return m.incoming_call("net:alice@host", to,
				       [&](Call &c) { return remote->make_connection(c, "alice@host"); });
	};
	CallPtr call = incoming("parlod");
	ASSERT_TRUE(call);
	EXPECT_EQ(call->party_b(), "tone:");
	ASSERT_TRUE(eventually([&] { return call->is_established(); }));

	CallPtr bus = incoming("bus7");
	ASSERT_TRUE(bus);
	EXPECT_EQ(bus->party_b(), "bus:bus7");
	ASSERT_TRUE(eventually([&] { return bus->is_established(); }));

	// Refused by the application: the network leg is released as busy.
	m.accept_incoming = false;
	CallPtr busy = incoming("parlod");
	ASSERT_TRUE(busy);
	auto leg = std::dynamic_pointer_cast<NetConnection>(busy->connections().front());
	ASSERT_TRUE(m.wait_cleared(1));
	EXPECT_EQ(busy->end_reason(), CallEndReason::Busy);
	EXPECT_EQ(leg->released_with, CallEndReason::Busy);
	EXPECT_TRUE(call->is_established());

	// The far end hangs up.
	std::dynamic_pointer_cast<NetConnection>(call->connections().front())->hang_up_remote();
	ASSERT_TRUE(m.wait_cleared(2));
	EXPECT_EQ(call->end_reason(), CallEndReason::RemoteUser);
}

TEST(Calls, UnreachablePartiesAndShutdownWithCallsUp)
{
	TestManager m;
	m.add_endpoint(std::make_unique<ToneEndpoint>(m));
	m.add_endpoint(std::make_unique<NetEndpoint>(m, MediaFormatList{ g711_ulaw() }));
	EXPECT_FALSE(m.setup_call("tone:*", "h323:somebody"));
	EXPECT_FALSE(m.setup_call("tone:*", "rs3")); // no route
	EXPECT_FALSE(m.setup_call("nothing:*", "net:x"));

	std::vector<CallPtr> calls;
	for (int i = 0; i < 20; i++)
		calls.push_back(m.setup_call("tone:*", "net:peer" + std::to_string(i)));
	for (auto &c : calls)
		ASSERT_TRUE(c);
	ASSERT_TRUE(eventually([&] {
		for (auto &c : calls)
			if (!c->is_established())
				return false;
		return true;
	}));
	m.shutdown(); // clears all, joins every patch
	EXPECT_EQ(m.cleared, 20);
	EXPECT_TRUE(m.calls().empty());
	EXPECT_FALSE(m.setup_call("tone:*", "net:late"));
}

// A source that breaks down ends the call; it does not stay up silent.
TEST(Calls, MediaThatFailsEndsTheCall)
{
	TestManager m;
	m.add_endpoint(std::make_unique<ToneEndpoint>(m));
	m.add_endpoint(std::make_unique<NetEndpoint>(m, MediaFormatList{ g711_ulaw() }));
	TestStream::fail_at_end = true;
	CallPtr c = m.setup_call("tone:*", "net:peer");
	ASSERT_TRUE(c);
	ASSERT_TRUE(m.wait_cleared(1));
	TestStream::fail_at_end = false;
	EXPECT_EQ(c->end_reason(), CallEndReason::MediaFailed);
	EXPECT_EQ(m.patch_stops, 4);
}

TEST(Calls, SetUpAndClearedInQuickSuccession)
{
	TestManager m;
	m.add_endpoint(std::make_unique<ToneEndpoint>(m));
	m.add_endpoint(std::make_unique<NetEndpoint>(m, MediaFormatList{ gsm0610() }));
	for (int i = 0; i < 100; i++) {
		CallPtr c = m.setup_call("tone:*", "net:peer");
		ASSERT_TRUE(c);
		if (i % 2)
			std::this_thread::sleep_for(1ms);
		c->clear();
	}
	ASSERT_TRUE(m.wait_cleared(100)) << m.cleared;
	ASSERT_TRUE(eventually([] { return live_streams == 0; }));
}

// Between a bus offering G.711 and GSM and a network leg that has only
// GSM, both sides carry GSM: no transcoding, and the callbacks see whole
// 33-byte frames. An empty read travels on as an empty frame.
TEST(Calls, CallbackStreamsCarryTheCommonFormatWhole)
{
	TestManager m;
	auto bus = std::make_unique<CallbackEndpoint>(m, MediaFormatList{ g711_ulaw(), gsm0610() });
	auto net = std::make_unique<NetEndpoint>(m, MediaFormatList{ gsm0610() });
	CallbackEndpoint *b = bus.get();
	NetEndpoint *remote = net.get();
	m.add_endpoint(std::move(bus));
	m.add_endpoint(std::move(net));

	CallPtr call = m.setup_call("bus:rs3", "net:peer");
	ASSERT_TRUE(call);
	ASSERT_TRUE(eventually([&] { return call->is_established(); }));
	auto leg = remote->last.lock();
	ASSERT_TRUE(eventually([&] { return leg->out.lock() && leg->out.lock()->wait_frames(20); }));
	ASSERT_TRUE(eventually([&] {
		std::lock_guard<std::mutex> hold(b->mutex);
		return b->writes.size() >= 20;
	}));
	auto sink = leg->out.lock();
	call->clear();
	ASSERT_TRUE(m.wait_cleared(1));

	MediaFrame coded;
	make_codec(gsm0610())->encode(sine_frame(500).samples(), 160, coded.payload);
	for (auto &w : b->writes)
		EXPECT_EQ(w, coded.payload); // the network's frames, untouched
	size_t empty = 0, full = 0;
	for (auto &f : sink->got)
		(f.payload.empty() ? empty : full)++;
	EXPECT_GE(empty, 5u);
	EXPECT_GE(full, 5u);
	EXPECT_EQ(m.raw_frames, 0); // nothing went through raw PCM
}

// Two local parties: the terminal's sound and a bus, transcoded between
// raw PCM and the bus's first format.
TEST(Calls, LocalToLocalCallTranscodes)
{
	TestManager m;
	auto tone = std::make_unique<ToneEndpoint>(m);
	auto bus = std::make_unique<CallbackEndpoint>(m, MediaFormatList{ g711_ulaw(), gsm0610() });
	CallbackEndpoint *b = bus.get();
	m.add_endpoint(std::move(tone));
	m.add_endpoint(std::move(bus));
	m.routes().add(".*\trs[0-9]+", "bus:<du>");

	CallPtr call = m.setup_call("tone:*", "rs3");
	ASSERT_TRUE(call);
	EXPECT_EQ(call->party_b(), "bus:rs3");
	ASSERT_TRUE(eventually([&] {
		std::lock_guard<std::mutex> hold(b->mutex);
		return b->writes.size() >= 40;
	}));
	call->clear();
	ASSERT_TRUE(m.wait_cleared(1));
	std::vector<int16_t> heard;
	auto ulaw = make_codec(g711_ulaw());
	for (auto &w : b->writes) {
		EXPECT_EQ(w.size(), 160u);
		ulaw->decode(w.data(), w.size(), heard);
	}
	EXPECT_NEAR(frequency(heard), 1000, 20);
}

} // namespace
