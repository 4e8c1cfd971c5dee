#include "endpoint.h"

#include <algorithm>

#include "call.h"
#include "call_manager.h"

namespace callfw {

Endpoint::Endpoint(CallManager &manager, std::string prefix) : manager_(manager), prefix_(std::move(prefix)) {}

Endpoint::~Endpoint() = default;

ConnectionPtr LocalEndpoint::make_connection(Call &call, const std::string &party)
{
	return std::make_shared<LocalConnection>(call, *this, prefix() + ":" + party);
}

MediaStreamPtr LocalEndpoint::create_stream(Connection &connection, const MediaFormat &format, bool source)
{
	auto *local = dynamic_cast<LocalConnection *>(&connection);
	if (!local)
		return nullptr;
	return std::make_shared<LocalMediaStream>(*local, *this, format, source);
}

bool LocalEndpoint::on_read_media_data(LocalConnection &connection, MediaStream &stream, void *data, size_t size,
				       size_t &length)
{
	(void)connection;
	(void)stream;
	(void)data;
	(void)size;
	length = 0;
	return false;
}

bool LocalEndpoint::on_write_media_data(const LocalConnection &connection, const MediaStream &stream,
					const void *data, size_t length, size_t &written)
{
	(void)connection;
	(void)stream;
	(void)data;
	(void)length;
	written = 0;
	return false;
}

bool LocalEndpoint::set_volume(Connection &connection, bool source, unsigned percent)
{
	(void)connection;
	(void)source;
	(void)percent;
	return false;
}

bool LocalEndpoint::on_outgoing(Connection &connection)
{
	(void)connection;
	return true;
}

void LocalEndpoint::on_release(Connection &connection)
{
	(void)connection;
}

LocalConnection::LocalConnection(Call &call, LocalEndpoint &endpoint, std::string party)
	: Connection(call, endpoint, std::move(party)), local_(endpoint)
{
}

MediaFormatList LocalConnection::media_formats() const
{
	return local_.local_formats();
}

// Party A of a call placed from here is up at once; as party B, the call
// is offered to the application, which accepts or refuses it.
void LocalConnection::start()
{
	auto connections = call().connections();
	bool placed_here = !connections.empty() && connections.front().get() == this;

	if (placed_here) {
		if (local_.on_outgoing(*this))
			answered();
		else
			released(CallEndReason::Refused);
		return;
	}
	if (endpoint().manager().on_local_incoming_call(*this))
		answered();
	else
		released(CallEndReason::Busy);
}

void LocalConnection::release(CallEndReason reason)
{
	(void)reason;
	local_.on_release(*this);
}

MediaStreamPtr LocalConnection::open_media_stream(const MediaFormat &format, bool source)
{
	return local_.create_stream(*this, format, source);
}

bool LocalConnection::set_audio_volume(bool source, unsigned percent)
{
	return local_.set_volume(*this, source, percent);
}

LocalMediaStream::LocalMediaStream(LocalConnection &owner, LocalEndpoint &endpoint, const MediaFormat &format,
				   bool source)
	: MediaStream(owner, format, source), local_(owner), endpoint_(endpoint)
{
}

bool LocalMediaStream::read_frame(MediaFrame &frame)
{
	const size_t size = data_size();
	size_t length = 0;

	if (!is_source() || closed_)
		return false;
	frame.set_payload_size(size);
	if (!endpoint_.on_read_media_data(local_, *this, frame.payload.data(), size, length) || closed_)
		return false;
	frame.set_payload_size(std::min(length, size));
	frame.timestamp = timestamp_;
	if (length && size)
		timestamp_ += (uint32_t)(format().frame_samples * length / size);
	return true;
}

// Frame by frame of the format, so that a callback never sees part of one
// coded frame: a patch may hand over several at once. An empty frame is
// passed on as such: the endpoint learns that nothing came this time.
bool LocalMediaStream::write_frame(const MediaFrame &frame)
{
	const uint8_t *data = frame.payload.data();
	size_t left = frame.payload.size();
	const size_t piece = data_size() ? data_size() : left;
	bool first = true;

	if (is_source())
		return false;
	while (left > 0 || first) {
		first = false;
		size_t chunk = std::min(left, piece), written = 0;
		if (closed_ || !endpoint_.on_write_media_data(local_, *this, data, chunk, written))
			return false;
		if (written == 0 || written > chunk)
			written = chunk; // taken, or dropped: either way it is gone
		data += written;
		left -= written;
	}
	return !closed_;
}

} // namespace callfw
