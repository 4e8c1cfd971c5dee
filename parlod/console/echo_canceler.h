// The speech path of the half-duplex sound hardware: while the far end is
// heard the microphone is muted, and a GPIO line switches the hardware
// between listening and speaking with configurable delays. Two filters on
// the raw PCM of the local call leg do the work: SentPacket sees what goes
// to the loudspeaker (far-end speech, and the test tone), ReceivedPacket
// what comes from the microphone (time is counted in its samples).
//
// The state is published in the speaker state file, one byte: "1" while the
// path is switched for far-end speech, else "0"; the daemon waits for the
// file to go when a call ends.
//
// Threads: the filters run on the media threads of the two patches, the
// setters on the command and call threads. m_stateMutex guards the state,
// the line and the state file; m_testMutex the tone and the frame size it
// fills, which the loudspeaker filter never waits for. The two are never
// held together.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "media_frame.h"
#include "media_patch.h"
#include "paths.h"


class KelEchoCanceler {
public:
	KelEchoCanceler();
	~KelEchoCanceler();
	KelEchoCanceler(const KelEchoCanceler &) = delete;
	KelEchoCanceler &operator=(const KelEchoCanceler &) = delete;

	// The line: opened, made an output and driven to the idle level; a
	// negative number means none.
	int SetGPIONum(int gpio);
	// The idle level of the line (the active level is its complement).
	int SetDefState(int level);
	// Closes and removes the state file and returns the line to idle.
	int ResetGPIO();

	void SetClockRate(int rate);
	void SetTXDelay(int ms);
	void SetRXDelay(int ms);
	void SetMicDelay(int ms);
	void SetDataSize(unsigned samples);
	void SetDuplexMode(int mode);
	// 0 automatic, 1 forced to level 1, 2 forced to level 0, 3 held at idle.
	void SetTransistorMode(int mode, bool open_state_file);
	// Replaces loudspeaker frames by a tone; frequency 0 ends it.
	void SetTestSignal(unsigned frequency, unsigned level);

	void ReceivedPacket(callfw::MediaFrame &frame, long unused = 0);
	void SentPacket(callfw::MediaFrame &frame, long unused = 0);

	// The filters, as the patches take them.
	callfw::MediaFilter ReceivedPacketFilter() { return [this](callfw::MediaFrame &f) { ReceivedPacket(f); }; }
	callfw::MediaFilter SentPacketFilter() { return [this](callfw::MediaFrame &f) { SentPacket(f); }; }

	// The idle level, for all instances.
	static int PinDefState;

private:
	int ActiveLevel() const { return !PinDefState; }
	void DriveLine(int level);
	void WriteState(bool speaking);
	int Samples(int ms) const;

	std::mutex m_stateMutex;
	uint32_t m_clockRate = 8000;
	int32_t m_transistorMode = 0;
	int32_t m_duplexMode = 0;
	int32_t m_micMute = 0; // -1 during far-end speech, > 0 while the hold runs
	int32_t m_micDelaySamples = 0;
	int32_t m_rxCountdown = 0;
	int32_t m_rxDelaySamples = 0;
	int32_t m_txCountdown = 0;
	int32_t m_txDelaySamples = 160;

	std::timed_mutex m_testMutex;
	uint32_t m_dataSize = 0;
	uint32_t m_testLength = 0;
	uint32_t m_testPosition = 0;
	std::unique_ptr<int16_t[]> m_testTable;

	int m_gpioFd = -1; // set up before the filters run
	int m_spkFd = -1;  // m_stateMutex
};
