#include "rs485_endpoint.h"

#include <pthread.h>
#include <thread>

#include "call.h"
#include "call_manager.h"
#include "console_link.h"

using namespace rs485;

namespace {

bool is_local_party(const std::string &party_a)
{
	return party_a.rfind("pc:", 0) == 0;
}

} // namespace

OpalRS485EndPoint::OpalRS485EndPoint(callfw::CallManager &manager, const std::string &prefix)
	: LocalEndpoint(manager, prefix),
	  m_link(*this, read_rs485_settings([this](const std::string &text) { Broadcast(text); }),
		 [this](const std::string &text) { Broadcast(text); }),
	  m_table(m_link, m_callBusy, [this](const std::string &text) { Broadcast(text); }),
	  m_control(m_link, m_table, [this](const std::string &text) { Broadcast(text); })
{
	// From anywhere, "rs" and a number is an intercom.
	manager.routes().insert(0, ".*\t" CONSOLE_INTERCOM_PARTY "[0-9]+", prefix + ":<du>");
	try {
		m_link.Start();
		m_table.Start();
		m_control.Start();
	} catch (...) {
		shutdown(); // the threads that did start
		throw;
	}
}

OpalRS485EndPoint::~OpalRS485EndPoint()
{
	shutdown();
}

void OpalRS485EndPoint::shutdown()
{
	if (m_shutDown)
		return;
	m_shutDown = true;
	m_table.RequestStop();
	m_link.RequestStop();
	m_control.RequestStop();
	m_table.Stop();
	m_link.Stop();
	m_control.Stop();
}

void OpalRS485EndPoint::Broadcast(const std::string &text)
{
	manager().broadcast(text);
}

std::shared_ptr<IntercomCall> OpalRS485EndPoint::CurrentCall() const
{
	std::lock_guard<std::mutex> hold(m_callMutex);
	return m_call;
}

bool OpalRS485EndPoint::ProcessIncoming(uint8_t address, const uint8_t *frame)
{
	const RS485Reply reply(frame);
	const bool matches = reply.BusAddress() == rs485_bus_address(address);
	// The bus comes from the request, the address on it from the reply.
	const uint8_t from = rs485_full_address(address, reply.BusAddress());

	switch (reply.Code()) {
	case CMD_AUDIO_OUT:
		if (auto call = matches ? CurrentCall() : nullptr)
			call->ProcessPacing(reply);
		break;
	case CMD_STATUS:
		// Usually from the poll slot's intercom, not the addressed one.
		m_table.ProcessStatus(from, reply);
		break;
	case CMD_AUDIO_IN:
		if (auto call = matches ? CurrentCall() : nullptr)
			call->ProcessAudio(reply);
		break;
	case CMD_TEST_RESULT:
		m_table.ProcessTestResult(from, reply);
		break;
	default:
		break;
	}
	return true;
}

void OpalRS485EndPoint::FrameCorrupted()
{
	if (auto call = CurrentCall())
		call->FrameCorrupted();
}

RS485Connection::RS485Connection(callfw::Call &call, OpalRS485EndPoint &endpoint, std::string party)
	: LocalConnection(call, endpoint, std::move(party)), m_endpoint(endpoint)
{
}

// The waiter holds no reference to the connection, so this never runs on
// the waiter's own thread; the waiter's own destruction stops and joins it.
RS485Connection::~RS485Connection() = default;

void RS485Connection::start()
{
	m_endpoint.StartCall(*this);
}

void RS485Connection::release(callfw::CallEndReason reason)
{
	if (m_waiter.joinable()) {
		m_waiter.request_stop();
		m_waiter.join();
	}
	LocalConnection::release(reason);
}

callfw::ConnectionPtr OpalRS485EndPoint::make_connection(callfw::Call &call, const std::string &party)
{
	return std::make_shared<RS485Connection>(call, *this, prefix() + ":" + party);
}

// On the manager's worker thread, like every start of a leg. The slot is
// either free, and the call is set up at once, or the wait for it runs on
// the connection's own thread.
void OpalRS485EndPoint::StartCall(RS485Connection &connection)
{
	callfw::Call &call = connection.call();
	const bool local = is_local_party(call.party_a());

	if (m_callBusy.try_acquire()) {
		SetUpCall(connection, local);
		return;
	}
	// A local call gives way to any other; its release frees the slot.
	auto holder = CurrentCall();
	if (holder && holder->Local()) {
		for (auto &other : manager().calls())
			if (other.get() != &call)
				other->clear(callfw::CallEndReason::Preempted);
	}
	WaitForSlot(connection, local);
}

void OpalRS485EndPoint::WaitForSlot(RS485Connection &connection, bool local)
{
	std::weak_ptr<callfw::Connection> weak = connection.weak_from_this();
	connection.m_waiter = std::jthread([this, weak, local](std::stop_token stop) {
		pthread_setname_np(pthread_self(), "rs485-call-wait");
		bool got = acquire_until(m_callBusy, Clock::now() + kSlotWait, stop);
		// The rest happens on the worker, in order with the release of the
		// call that held the slot (and with the manager's clearing of it).
		manager().post([this, weak, got, local] {
			auto held = weak.lock();
			auto *c = static_cast<RS485Connection *>(held.get());
			if (!c || c->Cancelled()) {
				if (got)
					m_callBusy.release(); // the call went while it waited
				return;
			}
			if (!got) {
				Broadcast("\nRS485EP busy, connection refused: " + c->party());
				c->Refuse(callfw::CallEndReason::Busy);
				return;
			}
			SetUpCall(*c, local);
		});
	});
}

// The slot is this connection's from here until OnReleased().
void OpalRS485EndPoint::SetUpCall(RS485Connection &connection, bool local)
{
	auto call = std::make_shared<IntercomCall>(m_link, m_table, [this](const std::string &text) { Broadcast(text); },
						   parse_party(connection.party()), local);
	connection.m_intercom = call;
	m_table.SetCall(call->Address(), local ? IC_CALL_LOCAL : IC_CALL_OTHER);
	m_link.SetCallMode(local ? RS485Link::CallMode::Local : RS485Link::CallMode::Network);
	{
		std::lock_guard<std::mutex> hold(m_callMutex);
		m_call = std::move(call);
	}
	// The framework's own set-up of the leg: offered to the application
	// (or, for a call placed from here, up at once). A refusal releases
	// the leg, and with it the slot.
	connection.Proceed();
}

void OpalRS485EndPoint::on_release(callfw::Connection &connection)
{
	auto &c = static_cast<RS485Connection &>(connection);
	if (c.m_intercom) // else it never had the slot: nothing of it to undo
		OnReleased(c);
}

void OpalRS485EndPoint::OnReleased(RS485Connection &connection)
{
	std::shared_ptr<IntercomCall> call = std::move(connection.m_intercom);

	m_table.SetCall(call->Address(), IC_CALL_NONE);
	m_link.SetCallMode(RS485Link::CallMode::None);
	call->ResetIntercom();
	m_table.SetCall(RS485_NO_INTERCOM, IC_CALL_NONE);
	{
		std::lock_guard<std::mutex> hold(m_callMutex);
		m_call.reset();
	}
	const std::string statistics = call->Finish();
	m_callBusy.release();
	Broadcast(statistics);
}

callfw::MediaFormatList OpalRS485EndPoint::GetMediaFormats() const
{
	auto call = CurrentCall();
	if (!call || !m_link.Enabled(call->Address()))
		return {};
	callfw::MediaFormatList formats;
	// 64 kbit/s of G.711 needs the faster lines.
	if (m_link.PortBaud(rs485_port_of(call->Address())) >= 115200)
		formats.push_back(callfw::g711_ulaw());
	formats.push_back(callfw::gsm0610());
	return formats;
}

bool OpalRS485EndPoint::OnWriteMediaData(const callfw::LocalConnection &connection, const callfw::MediaStream &stream,
					 const void *data, size_t length, size_t &written)
{
	(void)stream;
	// Media runs only between the set-up and the release.
	IntercomCall *call = static_cast<const RS485Connection &>(connection).Intercom();
	written = 0;
	return call && call->OnWriteMediaData(data, length, written);
}

bool OpalRS485EndPoint::OnReadMediaData(callfw::LocalConnection &connection, callfw::MediaStream &stream, void *data,
					size_t size, size_t &length)
{
	(void)stream;
	IntercomCall *call = static_cast<RS485Connection &>(connection).Intercom();
	length = 0;
	return call && call->OnReadMediaData(data, size, length);
}
