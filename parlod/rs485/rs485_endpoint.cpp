#include "rs485_endpoint.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "call_manager.h"
#include "cfg.h"
#include "paths.h"
#include "rootpath.h"

using namespace rs485;

namespace rs485 {

uint64_t monotonic_seconds()
{
	timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return (uint64_t)ts.tv_sec;
}

uint64_t parse_number(std::string_view text)
{
	unsigned base = 10;
	size_t i = 0;
	uint64_t value = 0;

	if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
		base = 16;
		i = 2;
	} else if (!text.empty() && text[0] == '0')
		base = 8;
	for (; i < text.size(); i++) {
		char c = text[i];
		unsigned d = c >= '0' && c <= '9'   ? (unsigned)(c - '0')
			     : c >= 'a' && c <= 'f' ? (unsigned)(c - 'a' + 10)
			     : c >= 'A' && c <= 'F' ? (unsigned)(c - 'A' + 10)
						    : 16;
		if (d >= base)
			break;
		if (value > (UINT64_MAX - d) / base)
			return UINT64_MAX;
		value = value * base + d;
	}
	return value;
}

} // namespace rs485

namespace {

constexpr uint32_t kDefaultBaud = 115200;

// A setting of a key=value file, read as the console reads numbers.
uint64_t read_number(const char *path, const char *key, uint64_t def)
{
	const char *value = cfg_read_str(path, key, nullptr);
	return value ? parse_number(value) : def;
}

} // namespace

SndFrame::SndFrame(uint8_t length_, const uint8_t *data_) : length(std::min<uint8_t>(length_, sizeof(data)))
{
	std::copy(data_, data_ + length, data);
}

OpalRS485EndPoint::OpalRS485EndPoint(callfw::CallManager &manager, const std::string &prefix)
	: LocalEndpoint(manager, prefix)
{
	const char *device = kel_path(DEVICE_CONF);
	m_cioBoard = read_number(device, "cio", 0) != 0;
	m_boardRevision = (int32_t)read_number(device, "revision", 0);

	for (unsigned i = 0; i < 2; i++) {
		m_portFd[i] = -1;
		m_portBaud[i] = kDefaultBaud;
		m_testRequest[i] = 0;
	}
	for (unsigned a = 0; a < RS485_INTERCOMS; a++) {
		m_icState[a] = 0;
		m_testResult[a] = 0;
		m_testTime[a] = 0;
	}

	// From anywhere, "rs" and a number is an intercom.
	manager.routes().insert(0, ".*\trs[0-9]+", prefix + ":<du>");
	m_currentIc = RS485_NO_INTERCOM;

	const char *conf = kel_path(PARLOD_IC_CONF);
	m_buttonLed = read_number(conf, "button_led", 1) != 0;
	m_portsMask = (uint32_t)read_number(conf, "ports_mask", 0);
	ReadPortBauds(cfg_read_str(conf, "ports_baud", ""));

	RS485Open(); // a port that fails stays closed; the rest works without it

	try {
		m_transceiverThread = std::make_unique<WorkerThread>(
			"RS485 Tranceiver", "rs485-txrx", ThreadPriority::Highest, [this] { RS485Tranceiver(); });
		m_monitorThread = std::make_unique<WorkerThread>("RS485 Intercoms Monitor", "rs485-monitor",
								 ThreadPriority::Normal, [this] { MonitorIntercoms(); });
		m_controlThread = std::make_unique<WorkerThread>("RS485 Intercoms Control", "rs485-control",
								 ThreadPriority::Normal, [this] { ControlIntercoms(); });
		m_testThread = std::make_unique<WorkerThread>("RS485 Intercoms Self-Test", "rs485-selftest",
							      ThreadPriority::Normal, [this] { TestIntercoms(); });
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
	m_stopMonitor.signal();
	m_stopTransceiver.signal();
	m_stopControl.signal();
	m_stopTest.signal();
	for (auto *thread : { &m_monitorThread, &m_transceiverThread, &m_controlThread, &m_testThread }) {
		if (!*thread)
			continue;
		if (!(*thread)->join_for(kJoinLimit)) {
			fprintf(stderr, "%s did not stop within %lld ms\n", (*thread)->name().c_str(),
				(long long)kJoinLimit.count());
			abort(); // it would go on using what is freed next
		}
		thread->reset();
	}
	RS485Close();
	m_txQueue.clear();
	std::lock_guard<std::mutex> hold(m_rxSoundMutex);
	m_rxSound.clear();
}

void OpalRS485EndPoint::Broadcast(const std::string &text)
{
	manager().broadcast(text);
}
