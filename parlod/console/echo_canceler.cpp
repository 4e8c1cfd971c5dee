#include "echo_canceler.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <new>
#include <unistd.h>

#include "console_link.h"
#include "gpio_sysfs.h"

int KelEchoCanceler::PinDefState = 1;

KelEchoCanceler::KelEchoCanceler() = default;

KelEchoCanceler::~KelEchoCanceler()
{
	ResetGPIO();
	if (m_gpioFd >= 0)
		close(m_gpioFd);
}

int KelEchoCanceler::SetGPIONum(int gpio)
{
	int fd;
	int r;

	if (m_gpioFd >= 0) {
		close(m_gpioFd);
		m_gpioFd = -1;
	}
	if (gpio < 0)
		return 0;
	fd = sysfs_gpio::gpio_open(gpio);
	if (fd < 0)
		return fd;
	m_gpioFd = fd;
	if ((r = sysfs_gpio::gpio_mode_set(gpio, 1)) < 0)
		return r;
	return sysfs_gpio::gpio_set(m_gpioFd, PinDefState);
}

int KelEchoCanceler::SetDefState(int level)
{
	std::lock_guard<std::mutex> hold(m_stateMutex);
	PinDefState = level != 0;
	return m_gpioFd >= 0 ? sysfs_gpio::gpio_set(m_gpioFd, PinDefState) : 0;
}

// At the end of a call's media, while the other patch's filter may still run.
int KelEchoCanceler::ResetGPIO()
{
	std::lock_guard<std::mutex> hold(m_stateMutex);
	speaker_state_remove(m_spkFd);
	m_spkFd = -1;
	return m_gpioFd >= 0 ? sysfs_gpio::gpio_set(m_gpioFd, PinDefState) : 0;
}

// The delays come from the configuration as they are written there: a
// negative one is none, and a long one must not wrap round to a few
// minutes (a microphone muted that long after every word of the far end).
int KelEchoCanceler::Samples(int ms) const
{
	if (ms <= 0)
		return 0;
	return (int32_t)std::min<int64_t>((int64_t)m_clockRate * ms / 1000, INT32_MAX);
}

void KelEchoCanceler::SetClockRate(int rate)
{
	std::lock_guard<std::mutex> hold(m_stateMutex);
	m_clockRate = (uint32_t)rate;
	m_micMute = 0;
	m_rxCountdown = 0;
}

void KelEchoCanceler::SetTXDelay(int ms)
{
	std::lock_guard<std::mutex> hold(m_stateMutex);
	m_txDelaySamples = Samples(ms);
}

void KelEchoCanceler::SetRXDelay(int ms)
{
	std::lock_guard<std::mutex> hold(m_stateMutex);
	m_rxDelaySamples = Samples(ms);
}

void KelEchoCanceler::SetMicDelay(int ms)
{
	std::lock_guard<std::mutex> hold(m_stateMutex);
	m_micDelaySamples = Samples(ms);
}

// The frame size goes with the tone, which fills whole frames.
void KelEchoCanceler::SetDataSize(unsigned samples)
{
	std::lock_guard<std::timed_mutex> hold(m_testMutex);
	m_dataSize = samples;
}

void KelEchoCanceler::SetDuplexMode(int mode)
{
	std::lock_guard<std::mutex> hold(m_stateMutex);
	m_duplexMode = mode;
}

void KelEchoCanceler::DriveLine(int level)
{
	if (m_gpioFd >= 0)
		sysfs_gpio::gpio_set(m_gpioFd, level);
}

// A state that cannot be written is simply not published.
void KelEchoCanceler::WriteState(bool speaking)
{
	speaker_state_write(m_spkFd, speaking);
}

void KelEchoCanceler::SetTransistorMode(int mode, bool open_state_file)
{
	std::lock_guard<std::mutex> hold(m_stateMutex);
	int level = PinDefState;
	bool speaking = false;

	if (mode == 1)
		level = 1;
	else if (mode == 2)
		level = 0;
	else if (mode == 0 && m_micMute < 0) {
		level = ActiveLevel();
		speaking = true;
	}
	m_transistorMode = mode;
	DriveLine(level);
	if (open_state_file && m_spkFd < 0) {
		const int fd = speaker_state_create();
		m_spkFd = fd >= 0 ? fd : -1;
	}
	WriteState(speaking);
}

void KelEchoCanceler::SetTestSignal(unsigned frequency, unsigned level)
{
	uint32_t rate;
	{
		std::lock_guard<std::mutex> hold(m_stateMutex);
		rate = m_clockRate;
	}
	std::lock_guard<std::timed_mutex> hold(m_testMutex);

	if (frequency > rate)
		frequency = 0;
	m_testTable.reset();
	if (frequency == 0)
		return;
	m_testPosition = 0;
	m_testLength = rate / frequency;
	m_testTable.reset(new (std::nothrow) int16_t[m_testLength]);
	if (!m_testTable)
		return;
	for (uint32_t i = 0; i < m_testLength; i++)
		m_testTable[i] = (int16_t)(sin(i * 2 * M_PI / m_testLength) * 327.67 * level);
}

void KelEchoCanceler::SentPacket(callfw::MediaFrame &frame, long unused)
{
	size_t n = frame.sample_count();
	bool speech = false;

	(void)unused;
	// Never waits: building a new tone must not hold up the audio.
	if (m_testMutex.try_lock()) {
		if (m_testTable && m_testLength) {
			if (m_dataSize > n) {
				frame.set_payload_size(2 * (size_t)m_dataSize);
				n = m_dataSize;
			}
			int16_t *s = frame.samples();
			for (size_t i = 0; i < n; i++) {
				s[i] = m_testTable[m_testPosition++];
				if (m_testPosition >= m_testLength)
					m_testPosition = 0;
			}
			speech = true;
		}
		m_testMutex.unlock();
	}
	if (!speech) {
		const int16_t *s = frame.samples();
		for (size_t i = 0; i < n && !speech; i++)
			speech = s[i] != 0;
	}

	std::lock_guard<std::mutex> hold(m_stateMutex);
	if (speech && m_micMute >= 0) {
		m_micMute = -1;
		m_rxCountdown = 0;
		m_txCountdown = m_txDelaySamples;
	} else if (!speech && m_micMute < 0 && m_txCountdown == 0) {
		m_micMute = m_micDelaySamples;
		m_rxCountdown = m_rxDelaySamples;
	}
}

void KelEchoCanceler::ReceivedPacket(callfw::MediaFrame &frame, long unused)
{
	const int32_t n = (int32_t)frame.sample_count();

	(void)unused;
	if (frame.payload_size() == 0)
		return;
	{
		std::lock_guard<std::mutex> hold(m_stateMutex);
		if (m_txCountdown != 0) {
			if (m_txCountdown > n)
				m_txCountdown -= n;
			else {
				m_txCountdown = 0;
				if (m_transistorMode == 0)
					DriveLine(ActiveLevel());
				WriteState(true);
			}
		}
		if (m_rxCountdown != 0) {
			if (m_rxCountdown > n)
				m_rxCountdown -= n;
			else {
				m_rxCountdown = 0;
				if (m_transistorMode == 0)
					DriveLine(PinDefState);
				WriteState(false);
			}
		}
		if (m_duplexMode == 1 || m_micMute == 0)
			return;
		if (m_micMute > 0)
			m_micMute = m_micMute > n ? m_micMute - n : 0;
	}
	std::fill(frame.payload.begin(), frame.payload.end(), 0);
}
