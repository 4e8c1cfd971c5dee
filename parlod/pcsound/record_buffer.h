// Recorded audio between the sound server and the reader of a record
// stream: whole frames out, whatever fragments came in.
//
// The server may deliver in bursts far longer than a frame (a source
// without adjustable latency sends seconds at a time), so arrival alone
// says nothing about lag. What does is the backlog that never drains: the
// smallest backlog after a read, over a window of reads. When that stays
// above keep, the reader is behind for good and the oldest audio beyond
// keep is dropped, so speech does not drift seconds behind. hold bounds
// the memory of a stream that nobody reads.
//
// Not thread-safe: the record stream guards it with its session's lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>

namespace pcsound {

class RecordBuffer {
public:
	// All sizes in bytes; window and hold are raised to at least keep and
	// a frame.
	RecordBuffer(size_t frame_bytes, size_t keep, size_t window, size_t hold);

	// Appends recorded bytes; none (data null) stands for silence.
	void append(const void *data, size_t size);
	// Moves the oldest whole frame to frame (frame_bytes long); false when
	// there is none yet.
	bool take(uint8_t *frame);

	size_t size() const { return bytes_.size(); }
	// Bytes dropped so far, by either bound.
	uint64_t dropped() const { return dropped_; }

private:
	void drop_oldest(size_t bytes);

	const size_t frame_bytes_, keep_, window_, hold_;
	std::deque<uint8_t> bytes_;
	size_t read_in_window_ = 0;
	size_t low_water_;
	uint64_t dropped_ = 0;
};

} // namespace pcsound
