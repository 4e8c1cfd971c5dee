#include "tx_queue.h"

RS485TxQueue::Result RS485TxQueue::push(const RS485Frame &frame)
{
	std::lock_guard<std::mutex> hold(mutex_);

	if (count_ * kFrameBytes >= kBytes)
		return Result::Full;
	if (frame.command == CMD_AUDIO_IN) {
		// One request per intercom is enough: the reply brings whatever
		// audio the intercom has by then.
		for (const RS485Frame &f : frames_) {
			if (f.priority > frame.priority)
				break;
			if (f.address == frame.address && f.length && f.command == CMD_AUDIO_IN)
				return Result::Merged;
		}
	}
	auto at = frames_.end();
	while (at != frames_.begin() && std::prev(at)->priority > frame.priority)
		--at;
	frames_.insert(at, frame);
	count_++;
	return Result::Queued;
}

bool RS485TxQueue::pop(RS485Frame &frame)
{
	std::lock_guard<std::mutex> hold(mutex_);

	if (frames_.empty())
		return false;
	frame = frames_.front();
	frames_.pop_front();
	count_--;
	return true;
}

unsigned RS485TxQueue::size() const
{
	std::lock_guard<std::mutex> hold(mutex_);
	return count_;
}

void RS485TxQueue::clear()
{
	std::lock_guard<std::mutex> hold(mutex_);
	frames_.clear();
	count_ = 0;
}
