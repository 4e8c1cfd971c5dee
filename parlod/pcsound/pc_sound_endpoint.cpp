#include "pc_sound_endpoint.h"

#include "call_manager.h"
#include "pc_sound_stream.h"
#include "pulse_session.h"

namespace pcsound {

namespace {

const char *const client_name = "parlod";
const char *const record_name = "parlod-call-in";
const char *const playback_name = "parlod-call-out";

} // namespace

PcSoundEndpoint::PcSoundEndpoint(callfw::CallManager &manager, PcSoundSettings settings)
	: LocalEndpoint(manager, "pc"), settings_(std::move(settings))
{
}

PcSoundEndpoint::~PcSoundEndpoint()
{
	shutdown();
}

callfw::MediaFormatList PcSoundEndpoint::local_formats() const
{
	return { callfw::pcm16() };
}

callfw::MediaStreamPtr PcSoundEndpoint::create_stream(callfw::Connection &connection,
						      const callfw::MediaFormat &format, bool source)
{
	if (!(format == callfw::pcm16())) {
		manager().broadcast(std::string("\nCannot open the ") + (source ? "microphone" : "loudspeaker") + " in " +
				    format.name);
		return nullptr;
	}
	SharedGain gain;
	{
		std::lock_guard<std::mutex> hold(mutex_);
		if (shut_down_)
			return nullptr;
		gain = sound_of_locked(connection).gain[source];
	}
	std::string error;
	auto stream = open(connection, format, source, gain, error);
	if (!stream) {
		if (!error.empty())
			manager().broadcast(error);
		return nullptr;
	}
	{
		std::lock_guard<std::mutex> hold(mutex_);
		if (!shut_down_) {
			sound_of_locked(connection).streams.push_back(stream);
			return stream;
		}
	}
	stream->close(); // the endpoint shut down meanwhile
	return nullptr;
}

std::shared_ptr<PulseSession> PcSoundEndpoint::session(bool fresh, std::string &error)
{
	std::shared_ptr<PulseSession> current;
	{
		std::lock_guard<std::mutex> hold(mutex_);
		current = session_;
	}
	if (current && !fresh && current->usable())
		return current;
	auto made = PulseSession::connect(settings_.server, client_name, settings_.open_timeout, error);
	std::lock_guard<std::mutex> hold(mutex_);
	if (shut_down_) {
		error.clear();
		return nullptr; // the session goes with this function
	}
	// A dead session goes (and its thread with it) whether or not a new
	// one could be had.
	if (made || session_ == current)
		session_ = made;
	if (!made)
		error = "\nSound server not available: " + error;
	return made;
}

std::shared_ptr<PcSoundStream> PcSoundEndpoint::open(callfw::Connection &connection, const callfw::MediaFormat &format,
						     bool source, const SharedGain &gain, std::string &error)
{
	const StreamSetup setup{ source ? record_name : playback_name,
				 source ? settings_.record_device : settings_.playback_device, settings_.latency,
				 settings_.open_timeout };

	// A session that died while no call used it (the server restarted
	// between calls) is found out here; one that dies while the stream
	// opens gets one more try on a fresh connection. No lock of the
	// endpoint is held while the server is asked.
	for (int attempt = 0; attempt < 2; attempt++) {
		auto current = session(attempt > 0, error);
		if (!current)
			return nullptr;
		auto stream = PcSoundStream::open(connection, format, source, current, setup, gain, error);
		if (stream)
			return stream;
		if (current->usable())
			break; // the server refused the stream itself: a new connection would not help
	}
	error = std::string("\nCannot open the ") + (source ? "microphone" : "loudspeaker") + ": " + error;
	return nullptr;
}

PcSoundEndpoint::ConnectionSound &PcSoundEndpoint::sound_of_locked(callfw::Connection &connection)
{
	auto it = connections_.find(&connection);
	// A connection destroyed without a release leaves its entry behind; a
	// new one at the same address must not inherit its volumes.
	auto stale = [](const auto &entry) { return entry.second.tracked && entry.second.owner.expired(); };
	if (it != connections_.end() && stale(*it)) {
		connections_.erase(it);
		it = connections_.end();
	}
	if (it == connections_.end()) {
		std::erase_if(connections_, stale);
		ConnectionSound sound;
		sound.owner = connection.weak_from_this();
		sound.tracked = !sound.owner.expired();
		for (auto &gain : sound.gain)
			gain = std::make_shared<std::atomic<unsigned>>(100);
		it = connections_.emplace(&connection, std::move(sound)).first;
	}
	std::erase_if(it->second.streams, [](const auto &stream) { return stream.expired(); });
	return it->second;
}

bool PcSoundEndpoint::set_volume(callfw::Connection &connection, bool source, unsigned percent)
{
	std::lock_guard<std::mutex> hold(mutex_);
	sound_of_locked(connection).gain[source]->store(percent);
	return true;
}

void PcSoundEndpoint::on_release(callfw::Connection &connection)
{
	std::vector<std::weak_ptr<PcSoundStream>> streams;
	{
		std::lock_guard<std::mutex> hold(mutex_);
		auto it = connections_.find(&connection);
		if (it == connections_.end())
			return;
		streams = std::move(it->second.streams);
		connections_.erase(it);
	}
	for (auto &weak : streams)
		if (auto stream = weak.lock())
			stream->close();
}

void PcSoundEndpoint::shutdown()
{
	std::vector<std::shared_ptr<PcSoundStream>> streams;
	std::shared_ptr<PulseSession> session;
	{
		std::lock_guard<std::mutex> hold(mutex_);
		if (shut_down_)
			return;
		shut_down_ = true;
		for (auto &[connection, sound] : connections_)
			for (auto &weak : sound.streams)
				if (auto stream = weak.lock())
					streams.push_back(std::move(stream));
		connections_.clear();
		session = std::move(session_);
	}
	// A stream still held somewhere may sit on a retired session: its
	// thread ends here too, not when the stream is let go.
	for (auto &stream : streams) {
		stream->close();
		stream->session().stop();
	}
	if (session)
		session->stop();
}

} // namespace pcsound
