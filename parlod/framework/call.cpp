#include "call.h"

#include "call_manager.h"

namespace callfw {

Call::Call(CallManager &manager, std::string token, std::string party_a, std::string party_b)
	: manager_(manager), token_(std::move(token)), party_a_(std::move(party_a)), party_b_(std::move(party_b))
{
}

Call::~Call() = default;

std::vector<ConnectionPtr> Call::connections() const
{
	std::lock_guard<std::mutex> hold(mutex_);
	return connections_;
}

bool Call::is_established() const
{
	std::lock_guard<std::mutex> hold(mutex_);
	return established_;
}

bool Call::is_cleared() const
{
	std::lock_guard<std::mutex> hold(mutex_);
	return clearing_;
}

CallEndReason Call::end_reason() const
{
	std::lock_guard<std::mutex> hold(mutex_);
	return reason_;
}

void Call::add_connection(ConnectionPtr connection)
{
	std::lock_guard<std::mutex> hold(mutex_);
	connections_.push_back(std::move(connection));
}

std::string Call::end_detail() const
{
	std::lock_guard<std::mutex> hold(mutex_);
	return detail_;
}

void Call::clear(CallEndReason reason, std::string detail)
{
	{
		std::lock_guard<std::mutex> hold(mutex_);
		if (clearing_)
			return;
		clearing_ = true;
		reason_ = reason;
		detail_ = std::move(detail);
	}
	manager_.post([self = shared_from_this(), reason] { self->do_clear(reason); });
}

// A leg that answered lets the call go on: party A up starts party B; an
// answered B answers an incoming A; both up start the media.
void Call::on_answered(Connection &connection)
{
	manager_.post([self = shared_from_this(), conn = connection.shared_from_this()] {
		auto legs = self->connections();
		if (self->is_cleared() || legs.size() != 2)
			return;
		if (conn == legs[0] && !legs[1]->is_answered())
			legs[1]->start();
		else if (conn == legs[1] && !legs[0]->is_answered())
			legs[0]->accept();
		if (legs[0]->is_answered() && legs[1]->is_answered())
			self->start_media();
	});
}

void Call::on_released(Connection &connection, CallEndReason reason, std::string detail)
{
	(void)connection;
	clear(reason, std::move(detail));
}

void Call::start_media()
{
	std::vector<ConnectionPtr> legs = connections();
	std::vector<std::unique_ptr<MediaPatch>> patches;

	{
		std::lock_guard<std::mutex> hold(mutex_);
		if (established_ || clearing_)
			return;
		established_ = true;
	}
	// Each leg carries its first format that the other leg has too, so
	// that nothing is transcoded where both can agree; else its first.
	auto choose = [](const MediaFormatList &own, const MediaFormatList &other) -> const MediaFormat * {
		for (const MediaFormat &f : own)
			if (find_format(other, f.name))
				return &f;
		return own.empty() ? nullptr : &own.front();
	};
	for (int from = 0; from < 2; from++) {
		Connection &src = *legs[from], &dst = *legs[1 - from];
		MediaFormatList in = src.media_formats(), out = dst.media_formats();
		const MediaFormat *in_format = choose(in, out), *out_format = choose(out, in);
		MediaStreamPtr source = in_format ? src.open_media_stream(*in_format, true) : nullptr;
		MediaStreamPtr sink = out_format ? dst.open_media_stream(*out_format, false) : nullptr;

		if (!source || !sink) {
			manager_.broadcast("\nCannot open media of call " + token_);
			for (auto &p : patches)
				p->stop();
			clear(CallEndReason::MediaFailed);
			return;
		}
		auto patch = std::make_unique<MediaPatch>(source);
		patch->add_sink(sink);
		// Media that ends by itself ends the call.
		patch->on_failure([weak = weak_from_this()] {
			if (auto call = weak.lock())
				call->clear(CallEndReason::MediaFailed);
		});
		patches.push_back(std::move(patch));
	}
	// The hooks attach their filters before any frame moves.
	for (auto &patch : patches)
		for (auto &leg : legs)
			manager_.on_start_media_patch(*leg, *patch);
	for (auto &patch : patches)
		patch->start();
	std::lock_guard<std::mutex> hold(mutex_);
	patches_ = std::move(patches);
}

void Call::stop_media()
{
	std::vector<std::unique_ptr<MediaPatch>> patches;
	{
		std::lock_guard<std::mutex> hold(mutex_);
		patches.swap(patches_);
	}
	auto legs = connections();
	for (auto &patch : patches) {
		patch->stop();
		for (auto &leg : legs)
			manager_.on_stop_media_patch(*leg, *patch);
	}
}

void Call::do_clear(CallEndReason reason)
{
	stop_media();
	for (auto &leg : connections())
		leg->release(reason);
	{
		std::lock_guard<std::mutex> hold(mutex_);
		cleared_ = true;
	}
	manager_.remove_call(*this);
	manager_.on_cleared_call(*this);
}

} // namespace callfw
