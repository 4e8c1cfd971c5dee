#include "endpoint.h"

#include "call.h"
#include "call_manager.h"

namespace callfw {

Endpoint::Endpoint(CallManager &manager, std::string prefix) : manager_(manager), prefix_(std::move(prefix)) {}

Endpoint::~Endpoint() = default;

ConnectionPtr LocalEndpoint::make_connection(Call &call, const std::string &party)
{
	return std::make_shared<LocalConnection>(call, *this, prefix() + ":" + party);
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

} // namespace callfw
