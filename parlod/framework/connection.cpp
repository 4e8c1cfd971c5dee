#include "connection.h"

#include "call.h"
#include "endpoint.h"

namespace callfw {

Connection::Connection(Call &call, Endpoint &endpoint, std::string party)
	: call_(call), endpoint_(endpoint), party_(std::move(party))
{
}

Connection::~Connection() = default;

ConnectionPtr Connection::other_party() const
{
	for (auto &c : call_.connections())
		if (c.get() != this)
			return c;
	return nullptr;
}

bool Connection::set_audio_volume(bool source, unsigned percent)
{
	(void)source;
	(void)percent;
	return false;
}

void Connection::answered()
{
	if (!answered_.exchange(true))
		call_.on_answered(*this);
}

void Connection::released(CallEndReason reason, std::string detail)
{
	call_.on_released(*this, reason, std::move(detail));
}

} // namespace callfw
