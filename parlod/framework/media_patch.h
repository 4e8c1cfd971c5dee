// A media patch moves one direction of a call's media: a thread reads
// frames from the source stream, transcodes them where source and sinks
// differ, runs the filters attached to each stage and writes the sinks.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "media_stream.h"

namespace callfw {

// Sees (and may change) every frame that passes in its format.
using MediaFilter = std::function<void(MediaFrame &)>;

class MediaPatch {
public:
	explicit MediaPatch(MediaStreamPtr source);
	~MediaPatch(); // stops the thread
	MediaPatch(const MediaPatch &) = delete;
	MediaPatch &operator=(const MediaPatch &) = delete;

	MediaStream &source() const { return *source_; }
	const std::vector<MediaStreamPtr> &sinks() const { return sinks_; }

	// Before start() only.
	void add_sink(MediaStreamPtr sink);
	// The filter runs on frames while they are in this format: on the raw
	// PCM between decoding and encoding, or on the coded frames.
	void add_filter(MediaFilter filter, const MediaFormat &format);

	// Called on the patch's thread when the media ends by itself (the
	// source failed, or every sink), not when stop() ends it.
	void on_failure(std::function<void()> handler) { on_failure_ = std::move(handler); }

	void start();
	// Closes the source and the sinks and joins the thread. Idempotent.
	void stop();

	// Frames moved so far (for tests and diagnostics).
	unsigned long frames() const;

private:
	void run();

	MediaStreamPtr source_;
	std::vector<MediaStreamPtr> sinks_;
	std::vector<std::pair<MediaFilter, MediaFormat>> filters_;
	std::function<void()> on_failure_;
	std::atomic<bool> stopping_{ false };
	std::thread thread_; // owned: started by start(), joined by stop()
	mutable std::mutex mutex_;
	unsigned long frames_ = 0;
};

} // namespace callfw
