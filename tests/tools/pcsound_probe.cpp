// Drives the PC sound endpoint for the system tests.
//
//   pcsound_probe [--server S] [--sink DEVICE] [--source DEVICE] [--latency MS]
//
// Commands come on standard input, one a line; each answer is key=value
// lines closed by "end". Broadcasts and cleared calls are written as
// "broadcast=TEXT" (newlines as \n) and "cleared=TOKEN REASON" lines
// whenever they happen, between answers or within them.
//
//   open ID CONN in|out        a stream of connection CONN (made on first use)
//   volume CONN in|out PERCENT
//   record ID SECONDS FILE     reads for SECONDS, the samples go to FILE
//   play ID FRAMES FREQ AMP [burst]  writes FRAMES frames of a sine, in
//                              real time, or (burst) as fast as it can
//   pump ID [FREQ AMP]         a thread reads (or writes a sine) until it fails
//   close ID                   closes the stream from this thread
//   wait ID TIMEOUT            waits for the pump to end
//   drop ID                    lets the stream go (after its pump)
//   release CONN               the connection's leg ends
//   call                       a call pc:* to pc:* through the call manager
//   callvolume TOKEN LEG in|out PERCENT   volume of leg 0 or 1 of a call
//   hangup TOKEN
//   calls                      how many calls the manager has
//   threads                    the threads of this process
//   shutdown                   shuts the call manager and the endpoint down
//   quit
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "call.h"
#include "call_manager.h"
#include "pc_sound_endpoint.h"

namespace {

using Clock = std::chrono::steady_clock;

std::mutex out_mutex;

void emit(const std::string &lines)
{
	std::lock_guard<std::mutex> hold(out_mutex);
	std::cout << lines << std::flush;
}

double seconds_between(Clock::time_point from, Clock::time_point to)
{
	return std::chrono::duration<double>(to - from).count();
}

class ProbeManager : public callfw::CallManager {
public:
	void broadcast(const std::string &text) override
	{
		std::string escaped;
		for (char c : text)
			escaped += c == '\n' ? std::string("\\n") : std::string(1, c);
		emit("broadcast=" + escaped + "\n");
	}
	void on_cleared_call(callfw::Call &call) override
	{
		emit("cleared=" + call.token() + " " + callfw::to_string(call.end_reason()) + "\n");
	}
};

// A sine of continuous phase over the frames written.
class Tone {
public:
	Tone(double frequency, double amplitude) : step_(2 * M_PI * frequency / 8000), amplitude_(amplitude) {}
	void fill(callfw::MediaFrame &frame)
	{
		frame.set_payload_size(callfw::pcm16().frame_bytes);
		int16_t *s = frame.samples();
		for (size_t i = 0; i < frame.sample_count(); i++, phase_ += step_)
			s[i] = (int16_t)std::lround(amplitude_ * std::sin(phase_));
		frame.timestamp = timestamp_;
		timestamp_ += (uint32_t)frame.sample_count();
	}

private:
	double step_, amplitude_, phase_ = 0;
	uint32_t timestamp_ = 0;
};

struct Leg {
	callfw::CallPtr call;
	callfw::ConnectionPtr connection;
};

struct Stream {
	callfw::MediaStreamPtr stream;
	std::thread pump;
	std::mutex mutex;
	std::condition_variable ended_cv;
	bool ended = false;
	unsigned long frames = 0;
	Clock::time_point ended_at, closed_at;
};

class Probe {
public:
	Probe(ProbeManager &manager, pcsound::PcSoundEndpoint &endpoint) : manager_(manager), endpoint_(endpoint) {}

	~Probe()
	{
		for (auto &[id, s] : streams_)
			s->stream->close();
		for (auto &[id, s] : streams_)
			if (s->pump.joinable())
				s->pump.join();
	}

	// The answer to one command line; false for quit.
	bool run(const std::string &line, std::ostringstream &out);

private:
	Leg &leg(const std::string &name)
	{
		auto &l = legs_[name];
		if (!l.call) {
			l.call = std::make_shared<callfw::Call>(manager_, name, "pc:*", "pc:*");
			l.connection = std::make_shared<callfw::LocalConnection>(*l.call, endpoint_, "pc:*");
			l.call->add_connection(l.connection);
		}
		return l;
	}
	Stream &stream(const std::string &id)
	{
		auto it = streams_.find(id);
		if (it == streams_.end())
			throw std::runtime_error("no stream " + id);
		return *it->second;
	}
	static void pump(Stream &s, double frequency, double amplitude);

	ProbeManager &manager_;
	pcsound::PcSoundEndpoint &endpoint_;
	std::map<std::string, Leg> legs_;
	std::map<std::string, std::unique_ptr<Stream>> streams_;
};

void Probe::pump(Stream &s, double frequency, double amplitude)
{
	callfw::MediaFrame frame;
	Tone tone(frequency, amplitude);
	for (;;) {
		bool ok;
		if (s.stream->is_source())
			ok = s.stream->read_frame(frame);
		else {
			tone.fill(frame);
			ok = s.stream->write_frame(frame);
		}
		std::lock_guard<std::mutex> hold(s.mutex);
		if (!ok) {
			s.ended = true;
			s.ended_at = Clock::now();
			s.ended_cv.notify_all();
			return;
		}
		s.frames++;
	}
}

bool Probe::run(const std::string &line, std::ostringstream &out)
{
	std::istringstream in(line);
	std::string cmd;
	in >> cmd;
	if (cmd == "open") {
		std::string id, conn, dir;
		in >> id >> conn >> dir;
		auto s = std::make_unique<Stream>();
		s->stream = endpoint_.create_stream(*leg(conn).connection, callfw::pcm16(), dir == "in");
		out << "stream=" << (s->stream ? 1 : 0) << "\n";
		if (s->stream)
			streams_[id] = std::move(s);
	} else if (cmd == "volume") {
		std::string conn, dir;
		unsigned percent = 0;
		in >> conn >> dir >> percent;
		out << "result=" << leg(conn).connection->set_audio_volume(dir == "in", percent) << "\n";
	} else if (cmd == "record") {
		std::string id, file;
		double seconds = 0;
		in >> id >> seconds >> file;
		Stream &s = stream(id);
		std::ofstream f(file, std::ios::binary);
		callfw::MediaFrame frame;
		unsigned long frames = 0, wrong_size = 0, wrong_time = 0;
		uint32_t next = 0;
		bool ended = false;
		auto start = Clock::now();
		while (seconds_between(start, Clock::now()) < seconds) {
			if (!s.stream->read_frame(frame)) {
				ended = true;
				break;
			}
			if (frame.payload_size() != callfw::pcm16().frame_bytes)
				wrong_size++;
			if (frames > 0 && frame.timestamp != next)
				wrong_time++;
			next = frame.timestamp + (uint32_t)frame.sample_count();
			frames++;
			f.write((const char *)frame.payload.data(), (std::streamsize)frame.payload_size());
		}
		out << "frames=" << frames << "\nwrong_size=" << wrong_size << "\nwrong_time=" << wrong_time
		    << "\nended=" << ended << "\nseconds=" << seconds_between(start, Clock::now()) << "\n";
	} else if (cmd == "play") {
		std::string id, how;
		unsigned long count = 0;
		double frequency = 0, amplitude = 0;
		in >> id >> count >> frequency >> amplitude >> how;
		Stream &s = stream(id);
		Tone tone(frequency, amplitude);
		callfw::MediaFrame frame;
		unsigned long frames = 0;
		bool ended = false;
		auto start = Clock::now();
		for (; frames < count; frames++) {
			// As a call's source gives them: one every 20 ms.
			if (how != "burst")
				std::this_thread::sleep_until(start + frames * std::chrono::milliseconds(20));
			tone.fill(frame);
			if (!s.stream->write_frame(frame)) {
				ended = true;
				break;
			}
		}
		out << "frames=" << frames << "\nended=" << ended << "\nseconds=" << seconds_between(start, Clock::now())
		    << "\n";
	} else if (cmd == "pump") {
		std::string id;
		double frequency = 1000, amplitude = 8000;
		in >> id >> frequency >> amplitude;
		Stream &s = stream(id);
		s.pump = std::thread(pump, std::ref(s), frequency, amplitude);
		out << "started=1\n";
	} else if (cmd == "close") {
		std::string id;
		in >> id;
		Stream &s = stream(id);
		{
			std::lock_guard<std::mutex> hold(s.mutex);
			s.closed_at = Clock::now();
		}
		s.stream->close();
		out << "result=1\n";
	} else if (cmd == "wait") {
		std::string id;
		double timeout = 0;
		in >> id >> timeout;
		Stream &s = stream(id);
		auto start = Clock::now();
		std::unique_lock<std::mutex> hold(s.mutex);
		s.ended_cv.wait_for(hold, std::chrono::duration<double>(timeout), [&] { return s.ended; });
		out << "ended=" << s.ended << "\nframes=" << s.frames << "\n";
		if (s.ended) {
			out << "seconds=" << seconds_between(start, s.ended_at) << "\n";
			if (s.closed_at != Clock::time_point())
				out << "after_close=" << seconds_between(s.closed_at, s.ended_at) << "\n";
		}
	} else if (cmd == "drop") {
		std::string id;
		in >> id;
		auto it = streams_.find(id);
		if (it != streams_.end()) {
			if (it->second->pump.joinable())
				it->second->pump.join();
			streams_.erase(it);
		}
		out << "result=1\n";
	} else if (cmd == "release") {
		std::string conn;
		in >> conn;
		leg(conn).connection->release(callfw::CallEndReason::LocalUser);
		out << "result=1\n";
	} else if (cmd == "call") {
		auto call = manager_.setup_call("pc:*", "pc:*");
		out << "token=" << (call ? call->token() : "") << "\n";
	} else if (cmd == "callvolume") {
		std::string token, dir;
		size_t index = 0;
		unsigned percent = 0;
		in >> token >> index >> dir >> percent;
		auto call = manager_.find_call(token);
		auto legs = call ? call->connections() : std::vector<callfw::ConnectionPtr>();
		out << "result=" << (index < legs.size() && legs[index]->set_audio_volume(dir == "in", percent)) << "\n";
	} else if (cmd == "hangup") {
		std::string token;
		in >> token;
		auto call = manager_.find_call(token);
		if (call)
			call->clear(callfw::CallEndReason::LocalUser);
		out << "result=" << (call != nullptr) << "\n";
	} else if (cmd == "calls") {
		out << "count=" << manager_.calls().size() << "\n";
	} else if (cmd == "threads") {
		auto tasks = std::filesystem::directory_iterator("/proc/self/task");
		out << "threads=" << std::distance(begin(tasks), end(tasks)) << "\n";
	} else if (cmd == "shutdown") {
		manager_.shutdown();
		out << "result=1\n";
	} else if (cmd == "quit") {
		return false;
	} else if (!cmd.empty()) {
		out << "error=unknown command " << cmd << "\n";
	}
	return true;
}

} // namespace

int main(int argc, char **argv)
{
	pcsound::PcSoundSettings settings;
	for (int i = 1; i + 1 < argc; i += 2) {
		std::string opt = argv[i], value = argv[i + 1];
		if (opt == "--server")
			settings.server = value;
		else if (opt == "--sink")
			settings.playback_device = value;
		else if (opt == "--source")
			settings.record_device = value;
		else if (opt == "--latency")
			settings.latency = std::chrono::milliseconds(std::stoi(value));
		else {
			std::cerr << "unknown option " << opt << "\n";
			return 2;
		}
	}

	ProbeManager manager;
	auto owned = std::make_unique<pcsound::PcSoundEndpoint>(manager, settings);
	pcsound::PcSoundEndpoint &endpoint = *owned;
	manager.add_endpoint(std::move(owned));
	{
		Probe probe(manager, endpoint);
		std::string line;
		bool more = true;
		while (more && std::getline(std::cin, line)) {
			std::ostringstream out;
			try {
				more = probe.run(line, out);
			} catch (const std::exception &e) {
				out << "error=" << e.what() << "\n";
			}
			emit(out.str() + "end\n");
		}
	}
	manager.shutdown();
	return 0;
}
