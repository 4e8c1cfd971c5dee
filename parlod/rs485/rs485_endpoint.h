// The intercom units on the RS-485 buses as call parties: "rs485:rs<n>".
//
// Up to 128 intercoms on two buses (addresses 0-63 on port 0, 64-127 on
// port 1). The endpoint is what the call framework sees; it reads the
// configuration and wires together the parts, each of which owns its
// state (README.md):
//   RS485Link      rs485_link.*      the ports, the transmit queue, the transceiver
//   IntercomTable  intercom_table.*  states, self-tests, the states file
//   ControlFifo    control_fifo.*    the control FIFO
//   IntercomCall   intercom_call.*   one call's audio, owned by its connection
// The link hands every frame it receives up to the endpoint, which passes
// it on to the table or to the call; the parts above it queue frames. One
// intercom call exists at a time, and the call slot says who has it: the
// call, or a running self-test.
#pragma once

#include <memory>
#include <mutex>
#include <semaphore>
#include <string>
#include <thread>

#include "control_fifo.h"
#include "endpoint.h"
#include "intercom_call.h"
#include "intercom_table.h"
#include "rs485_link.h"

class OpalRS485EndPoint;

// The leg of a call that reaches an intercom. Starting it takes the
// endpoint's call slot; when the slot is held by another call, a thread of
// the connection's own waits for it (asked to stop and joined by release()
// or destruction). Once it holds the slot it owns the intercom call.
class RS485Connection : public callfw::LocalConnection {
public:
	RS485Connection(callfw::Call &call, OpalRS485EndPoint &endpoint, std::string party);
	~RS485Connection() override;

	void start() override;
	void release(callfw::CallEndReason reason) override;

	// From the set-up until the end of the leg; none before.
	IntercomCall *Intercom() const { return m_intercom.get(); }

private:
	friend class OpalRS485EndPoint;

	// The framework's set-up of a local leg, once the slot is ours.
	void Proceed() { LocalConnection::start(); }
	void Refuse(callfw::CallEndReason reason) { released(reason); }
	bool Cancelled() const { return m_waiter.get_stop_token().stop_requested(); }

	OpalRS485EndPoint &m_endpoint;
	// The worker thread's; the media threads read it once media has started.
	std::shared_ptr<IntercomCall> m_intercom;
	std::jthread m_waiter;
};

class OpalRS485EndPoint : public callfw::LocalEndpoint, private RS485Link::Listener {
public:
	OpalRS485EndPoint(callfw::CallManager &manager, const std::string &prefix);
	~OpalRS485EndPoint() override;

	// The framework's operations.
	callfw::ConnectionPtr make_connection(callfw::Call &call, const std::string &party) override;
	callfw::MediaFormatList local_formats() const override { return GetMediaFormats(); }
	bool on_read_media_data(callfw::LocalConnection &connection, callfw::MediaStream &stream, void *data,
				size_t size, size_t &length) override
	{
		return OnReadMediaData(connection, stream, data, size, length);
	}
	bool on_write_media_data(const callfw::LocalConnection &connection, const callfw::MediaStream &stream,
				 const void *data, size_t length, size_t &written) override
	{
		return OnWriteMediaData(connection, stream, data, length, written);
	}
	void on_release(callfw::Connection &connection) override;
	// Stops and joins the threads (the transceiver first sends the
	// commands still queued, such as the reset of a call just released),
	// closes the ports, empties the queues. Idempotent.
	void shutdown() override;

	// Calls.
	void StartCall(RS485Connection &connection);
	void OnReleased(RS485Connection &connection);
	callfw::MediaFormatList GetMediaFormats() const;
	bool OnWriteMediaData(const callfw::LocalConnection &connection, const callfw::MediaStream &stream,
			      const void *data, size_t length, size_t &written);
	bool OnReadMediaData(callfw::LocalConnection &connection, callfw::MediaStream &stream, void *data, size_t size,
			     size_t &length);

	// A valid frame from the port of address, on the transceiver's thread:
	// to the table or to the call.
	bool ProcessIncoming(uint8_t address, const uint8_t *frame);

	void Broadcast(const std::string &text);

private:
	static constexpr auto kSlotWait = std::chrono::milliseconds(4000);

	// What the link reports.
	void FrameReceived(uint8_t address, const uint8_t *frame) override { ProcessIncoming(address, frame); }
	void IntercomSilent(uint8_t address) override { m_table.MarkAbsent(address); }
	void PollCycleDone() override { m_table.PollCycleDone(); }
	void FrameCorrupted() override;

	void WaitForSlot(RS485Connection &connection, bool local);
	void SetUpCall(RS485Connection &connection, bool local);
	std::shared_ptr<IntercomCall> CurrentCall() const;

	// Held by a call from its set-up to its release, or by a running
	// self-test.
	std::binary_semaphore m_callBusy{ 1 };
	// The call that holds the slot, for the frames of the transceiver.
	mutable std::mutex m_callMutex; // m_call
	std::shared_ptr<IntercomCall> m_call;

	RS485Link m_link;
	IntercomTable m_table;
	ControlFifo m_control;
	bool m_shutDown = false;
};
