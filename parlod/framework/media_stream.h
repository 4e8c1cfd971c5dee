// One direction of one connection's media: a source is read, a sink is
// written. Reads block until a frame is there or the stream is closed.
#pragma once

#include <memory>

#include "media_format.h"
#include "media_frame.h"

namespace callfw {

class Connection;

class MediaStream {
public:
	MediaStream(Connection &owner, MediaFormat format, bool source)
		: owner_(owner), format_(std::move(format)), source_(source)
	{
	}
	virtual ~MediaStream() = default;
	MediaStream(const MediaStream &) = delete;
	MediaStream &operator=(const MediaStream &) = delete;

	Connection &connection() const { return owner_; }
	const MediaFormat &format() const { return format_; }
	bool is_source() const { return source_; }

	// Bytes of one read: a frame of the format.
	virtual size_t data_size() const { return format_.frame_bytes; }

	// Sources: the next frame; false once the stream is closed or failed.
	virtual bool read_frame(MediaFrame &frame) = 0;
	// Sinks: false once the stream is closed or failed.
	virtual bool write_frame(const MediaFrame &frame) = 0;
	// Ends the stream; a read waiting in another thread returns false.
	// May be called more than once and from any thread.
	virtual void close() = 0;

private:
	Connection &owner_;
	MediaFormat format_;
	bool source_;
};

using MediaStreamPtr = std::shared_ptr<MediaStream>;

} // namespace callfw
