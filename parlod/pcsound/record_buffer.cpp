#include "record_buffer.h"

#include <algorithm>
#include <limits>

namespace pcsound {

RecordBuffer::RecordBuffer(size_t frame_bytes, size_t keep, size_t window, size_t hold)
	: frame_bytes_(frame_bytes), keep_(keep), window_(std::max({ window, keep, frame_bytes })),
	  hold_(std::max({ hold, keep, frame_bytes })), low_water_(std::numeric_limits<size_t>::max())
{
}

void RecordBuffer::append(const void *data, size_t size)
{
	if (data) {
		auto *p = static_cast<const uint8_t *>(data);
		bytes_.insert(bytes_.end(), p, p + size);
	} else
		bytes_.insert(bytes_.end(), size, 0);
	if (bytes_.size() > hold_)
		drop_oldest(bytes_.size() - hold_);
}

bool RecordBuffer::take(uint8_t *frame)
{
	if (bytes_.size() < frame_bytes_)
		return false;
	std::copy_n(bytes_.begin(), frame_bytes_, frame);
	bytes_.erase(bytes_.begin(), bytes_.begin() + (std::ptrdiff_t)frame_bytes_);

	low_water_ = std::min(low_water_, bytes_.size());
	read_in_window_ += frame_bytes_;
	if (read_in_window_ >= window_) {
		if (low_water_ > keep_)
			drop_oldest(low_water_ - keep_);
		read_in_window_ = 0;
		low_water_ = std::numeric_limits<size_t>::max();
	}
	return true;
}

void RecordBuffer::drop_oldest(size_t bytes)
{
	bytes = std::min((bytes + 1) & ~(size_t)1, bytes_.size()); // whole 16-bit samples
	bytes_.erase(bytes_.begin(), bytes_.begin() + (std::ptrdiff_t)bytes);
	dropped_ += bytes;
}

} // namespace pcsound
