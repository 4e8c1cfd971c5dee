#include "tx_queue.h"

RS485TxQueue::Result RS485TxQueue::Push(const RS485Frame &frame)
{
	std::lock_guard<std::mutex> hold(m_mutex);

	if (m_count * kFrameBytes >= kBytes)
		return Result::Full;
	if (frame.command == CMD_AUDIO_IN) {
		// One request per intercom is enough: the reply brings whatever
		// audio the intercom has by then.
		for (const RS485Frame &f : m_frames) {
			if (f.priority > frame.priority)
				break;
			if (f.address == frame.address && f.length && f.command == CMD_AUDIO_IN)
				return Result::Merged;
		}
	}
	auto at = m_frames.end();
	while (at != m_frames.begin() && std::prev(at)->priority > frame.priority)
		--at;
	m_frames.insert(at, frame);
	m_count++;
	return Result::Queued;
}

bool RS485TxQueue::Pop(RS485Frame &frame)
{
	std::lock_guard<std::mutex> hold(m_mutex);

	if (m_frames.empty())
		return false;
	frame = m_frames.front();
	m_frames.pop_front();
	m_count--;
	return true;
}

unsigned RS485TxQueue::Size() const
{
	std::lock_guard<std::mutex> hold(m_mutex);
	return m_count;
}

void RS485TxQueue::Clear()
{
	std::lock_guard<std::mutex> hold(m_mutex);
	m_frames.clear();
	m_count = 0;
}
