// A test driver for the SIP endpoint: a call manager with the SIP endpoint
// and a stand-in for the terminal's sound ("pc": a tone generator for the
// microphone, a recorder for the loudspeaker), driven by lines on standard
// input and reporting on standard output.
//
//   sip_probe [--port N] [--listen ADDR] [--user NAME] [--rtp-timeout MS]
//             [--tone HZ] [--record DIR] [--codecs GSM,PCMU]
//             [--route PATTERN=DESTINATION]...
//
// Commands: "call <party>", "hangup", "sockets", "quit" (or end of input).
// Reports, one per line: "ready", "incoming token=T from=A to=B",
// "refused token=T", "call token=T", "call failed", "media token=T
// format=F", "input token=T text=X", "cleared token=T reason=R frames=N",
// "socket local=L peer=P keepalive=K idle=I intvl=V cnt=C". The console
// runs one call at a time, and so does the probe: a second incoming call
// is refused as busy.
#include <arpa/inet.h>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "call.h"
#include "call_manager.h"
#include "endpoint.h"
#include "sip_endpoint.h"

namespace {

struct Options {
	sipep::SipSettings sip;
	double tone_hz = 1000;
	std::string record_dir;
	std::vector<std::string> codecs; // encodings to keep, in order
	std::vector<std::pair<std::string, std::string>> routes;
};

// The microphone: a sine, one frame every 20 ms of the steady clock.
class ToneSource : public callfw::MediaStream {
public:
	ToneSource(callfw::Connection &owner, const callfw::MediaFormat &format, double hz)
		: MediaStream(owner, format, true), step_(2 * M_PI * hz / format.clock_rate)
	{
	}

	bool read_frame(callfw::MediaFrame &frame) override
	{
		std::unique_lock<std::mutex> hold(mutex_);
		if (cv_.wait_until(hold, next_, [this] { return closed_; }))
			return false;
		next_ += std::chrono::milliseconds(20);
		unsigned n = format().frame_samples;
		frame.set_payload_size(n * 2);
		for (unsigned i = 0; i < n; i++)
			frame.samples()[i] = (int16_t)(8000 * std::sin(phase_ += step_));
		frame.timestamp = ts_;
		ts_ += n;
		return true;
	}

	bool write_frame(const callfw::MediaFrame &) override { return false; }

	void close() override
	{
		{
			std::lock_guard<std::mutex> hold(mutex_);
			closed_ = true;
		}
		cv_.notify_all();
	}

private:
	std::mutex mutex_;
	std::condition_variable cv_;
	bool closed_ = false;
	std::chrono::steady_clock::time_point next_ = std::chrono::steady_clock::now();
	double phase_ = 0, step_;
	uint32_t ts_ = 0;
};

// The loudspeaker: keeps what it hears and writes it as a WAV file when
// the stream closes.
class Recorder : public callfw::MediaStream {
public:
	Recorder(callfw::Connection &owner, const callfw::MediaFormat &format, std::string path)
		: MediaStream(owner, format, false), path_(std::move(path))
	{
	}

	bool read_frame(callfw::MediaFrame &) override { return false; }

	bool write_frame(const callfw::MediaFrame &frame) override
	{
		std::lock_guard<std::mutex> hold(mutex_);
		if (closed_)
			return false;
		const int16_t *s = (const int16_t *)frame.payload.data();
		samples_.insert(samples_.end(), s, s + frame.payload.size() / 2);
		if (!frame.payload.empty()) // an empty one is a frame's time without media
			frames_++;
		return true;
	}

	void close() override
	{
		std::lock_guard<std::mutex> hold(mutex_);
		if (closed_)
			return;
		closed_ = true;
		if (!path_.empty())
			write_wav();
	}

	unsigned long frames() const
	{
		std::lock_guard<std::mutex> hold(mutex_);
		return frames_;
	}

private:
	void write_wav()
	{
		std::ofstream out(path_, std::ios::binary);
		auto u32 = [&](uint32_t v) { out.write((const char *)&v, 4); };
		auto u16 = [&](uint16_t v) { out.write((const char *)&v, 2); };
		uint32_t bytes = (uint32_t)(samples_.size() * 2);
		out.write("RIFF", 4);
		u32(36 + bytes);
		out.write("WAVEfmt ", 8);
		u32(16);
		u16(1);
		u16(1);
		u32(format().clock_rate);
		u32(format().clock_rate * 2);
		u16(2);
		u16(16);
		out.write("data", 4);
		u32(bytes);
		out.write((const char *)samples_.data(), bytes);
	}

	mutable std::mutex mutex_;
	std::string path_;
	std::vector<int16_t> samples_;
	unsigned long frames_ = 0;
	bool closed_ = false;
};

class SoundEndpoint : public callfw::LocalEndpoint {
public:
	SoundEndpoint(callfw::CallManager &manager, const Options &options)
		: LocalEndpoint(manager, "pc"), options_(options)
	{
	}

	callfw::MediaFormatList local_formats() const override { return { callfw::pcm16() }; }

	callfw::MediaStreamPtr create_stream(callfw::Connection &connection, const callfw::MediaFormat &format,
					     bool source) override
	{
		if (source)
			return std::make_shared<ToneSource>(connection, format, options_.tone_hz);
		std::string path;
		if (!options_.record_dir.empty())
			path = options_.record_dir + "/call-" + connection.call().token() + ".wav";
		auto recorder = std::make_shared<Recorder>(connection, format, path);
		std::lock_guard<std::mutex> hold(mutex_);
		recorders_[connection.call().token()] = recorder;
		return recorder;
	}

	unsigned long frames(const std::string &token)
	{
		std::lock_guard<std::mutex> hold(mutex_);
		auto it = recorders_.find(token);
		return it == recorders_.end() ? 0 : it->second->frames();
	}

private:
	const Options &options_;
	std::mutex mutex_;
	std::map<std::string, std::shared_ptr<Recorder>> recorders_;
};

class ProbeManager : public callfw::CallManager {
public:
	explicit ProbeManager(const Options &options) : options_(options) {}

	void say(const std::string &line) { broadcast(line + "\n"); }

	void set_sound(SoundEndpoint *sound) { sound_ = sound; }

	bool on_local_incoming_call(callfw::Connection &local) override
	{
		callfw::Call &call = local.call();
		say("incoming token=" + call.token() + " from=" + call.party_a() + " to=" + call.party_b());
		std::lock_guard<std::mutex> hold(mutex_);
		if (!current_.empty() && current_ != call.token()) {
			say("refused token=" + call.token());
			return false;
		}
		current_ = call.token();
		return true;
	}

	void on_cleared_call(callfw::Call &call) override
	{
		{
			std::lock_guard<std::mutex> hold(mutex_);
			if (current_ == call.token())
				current_.clear();
		}
		say("cleared token=" + call.token() + " reason=" + callfw::to_string(call.end_reason()) +
		    " frames=" + std::to_string(sound_ ? sound_->frames(call.token()) : 0));
	}

	void on_start_media_patch(callfw::Connection &connection, callfw::MediaPatch &patch) override
	{
		if (connection.is_network() && &patch.source().connection() == &connection)
			say("media token=" + connection.call().token() + " format=" + patch.source().format().name);
	}

	void adjust_media_formats(bool, const callfw::Connection &connection,
				  callfw::MediaFormatList &formats) const override
	{
		if (!connection.is_network() || options_.codecs.empty())
			return;
		callfw::MediaFormatList kept;
		for (const std::string &enc : options_.codecs)
			for (const callfw::MediaFormat &f : formats)
				if (f.encoding == enc)
					kept.push_back(f);
		formats = kept;
	}

	void on_user_input_string(callfw::Connection &connection, const std::string &text) override
	{
		say("input token=" + connection.call().token() + " text=" + text);
	}

	// The "call" command of the console: one call at a time.
	void call(const std::string &party)
	{
		{
			std::lock_guard<std::mutex> hold(mutex_);
			if (!current_.empty()) {
				say("call failed busy");
				return;
			}
		}
		callfw::CallPtr call = setup_call("pc:*", party);
		if (!call) {
			say("call failed");
			return;
		}
		{
			// A call refused at once (nobody listening) may be cleared
			// before setup_call() returns; it must not stay current.
			std::lock_guard<std::mutex> hold(mutex_);
			if (!call->is_cleared())
				current_ = call->token();
		}
		say("call token=" + call->token());
	}

	void hangup()
	{
		std::string token;
		{
			std::lock_guard<std::mutex> hold(mutex_);
			token = current_;
		}
		if (auto call = find_call(token))
			call->clear(callfw::CallEndReason::LocalUser);
	}

private:
	const Options &options_;
	SoundEndpoint *sound_ = nullptr;
	std::mutex mutex_;
	std::string current_;
};

std::string address_text(const sockaddr_in &a)
{
	char text[INET_ADDRSTRLEN];
	inet_ntop(AF_INET, &a.sin_addr, text, sizeof(text));
	return std::string(text) + ":" + std::to_string(ntohs(a.sin_port));
}

// Every connected TCP socket of this process with its keep-alive settings:
// the endpoint's signalling connections, seen from outside the endpoint.
void report_sockets(ProbeManager &manager)
{
	DIR *dir = opendir("/proc/self/fd");
	if (!dir)
		return;
	while (dirent *e = readdir(dir)) {
		int fd = atoi(e->d_name);
		int type = 0;
		socklen_t len = sizeof(type);
		if (e->d_name[0] == '.' || getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) || type != SOCK_STREAM)
			continue;
		sockaddr_in local{}, peer{};
		socklen_t llen = sizeof(local), plen = sizeof(peer);
		if (getsockname(fd, (sockaddr *)&local, &llen) || getpeername(fd, (sockaddr *)&peer, &plen) ||
		    peer.sin_family != AF_INET)
			continue;
		auto opt = [fd](int level, int name) {
			int v = -1;
			socklen_t l = sizeof(v);
			getsockopt(fd, level, name, &v, &l);
			return std::to_string(v);
		};
		manager.say("socket local=" + address_text(local) + " peer=" + address_text(peer) +
			    " keepalive=" + opt(SOL_SOCKET, SO_KEEPALIVE) + " idle=" + opt(IPPROTO_TCP, TCP_KEEPIDLE) +
			    " intvl=" + opt(IPPROTO_TCP, TCP_KEEPINTVL) + " cnt=" + opt(IPPROTO_TCP, TCP_KEEPCNT));
	}
	closedir(dir);
	manager.say("sockets done");
}

bool parse_options(int argc, char **argv, Options &o)
{
	for (int i = 1; i < argc; i++) {
		std::string arg = argv[i];
		if (i + 1 >= argc)
			return false;
		std::string value = argv[++i];
		if (arg == "--port")
			o.sip.port = (uint16_t)std::stoi(value);
		else if (arg == "--listen")
			o.sip.listen_address = value;
		else if (arg == "--user")
			o.sip.user = value;
		else if (arg == "--rtp-timeout")
			o.sip.rtp_timeout = std::chrono::milliseconds(std::stol(value));
		else if (arg == "--tone")
			o.tone_hz = std::stod(value);
		else if (arg == "--record")
			o.record_dir = value;
		else if (arg == "--route") {
			size_t eq = value.rfind('=');
			if (eq == std::string::npos)
				return false;
			o.routes.emplace_back(value.substr(0, eq), value.substr(eq + 1));
		} else if (arg == "--codecs") {
			std::stringstream list(value);
			for (std::string enc; std::getline(list, enc, ',');)
				o.codecs.push_back(enc);
		} else
			return false;
	}
	return true;
}

} // namespace

int main(int argc, char **argv)
{
	Options options;
	if (!parse_options(argc, argv, options)) {
		fputs("usage: sip_probe [--port N] [--listen ADDR] [--user NAME] [--rtp-timeout MS] [--tone HZ] "
		      "[--record DIR] [--codecs LIST] [--route PATTERN=DEST]\n",
		      stderr);
		return 2;
	}
	signal(SIGPIPE, SIG_IGN);

	ProbeManager manager(options);
	// Routes before the endpoints: calls may come in as soon as SIP listens.
	manager.set_default_route("pc:");
	for (auto &[pattern, destination] : options.routes)
		if (!manager.routes().add(pattern, destination)) {
			fprintf(stderr, "bad route pattern: %s\n", pattern.c_str());
			manager.shutdown();
			return 2;
		}
	auto sound = std::make_unique<SoundEndpoint>(manager, options);
	manager.set_sound(sound.get());
	manager.add_endpoint(std::move(sound));
	try {
		manager.add_endpoint(std::make_unique<sipep::SipEndpoint>(manager, options.sip));
	} catch (const std::exception &e) {
		fprintf(stderr, "%s\n", e.what());
		manager.shutdown();
		return 1;
	}
	manager.say("ready");

	for (std::string line; std::getline(std::cin, line);) {
		std::istringstream words(line);
		std::string command, arg;
		words >> command >> arg;
		if (command == "call")
			manager.call(arg);
		else if (command == "hangup")
			manager.hangup();
		else if (command == "sockets")
			report_sockets(manager);
		else if (command == "quit")
			break;
	}
	manager.shutdown();
	manager.say("bye");
	return 0;
}
