// The transmit queue of the buses: frames in ascending priority, first in
// first out within one priority. Any thread may queue; the transceiver is
// the only consumer.
#pragma once

#include <list>
#include <mutex>

#include "rs485_frame.h"

class RS485TxQueue {
public:
	enum class Result {
		Queued,
		Merged, // an audio request for that intercom is already waiting
		Full,
	};

	// At most 128 KiB of frames at 258 bytes each: 508 (and one more,
	// since fullness is judged before a frame is added).
	static constexpr unsigned kBytes = 131072;
	static constexpr unsigned kFrameBytes = RS485_MAX_FRAME;

	Result Push(const RS485Frame &frame);
	// The head frame, removed; false when the queue is empty.
	bool Pop(RS485Frame &frame);
	unsigned Size() const;
	void Clear();

private:
	mutable std::mutex m_mutex; // m_txMutex: everything below
	std::list<RS485Frame> m_frames;
	unsigned m_count = 0;
};
