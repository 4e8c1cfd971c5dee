#include "media_patch.h"

namespace callfw {

MediaPatch::MediaPatch(MediaStreamPtr source) : source_(std::move(source)) {}

MediaPatch::~MediaPatch()
{
	stop();
}

void MediaPatch::add_sink(MediaStreamPtr sink)
{
	sinks_.push_back(std::move(sink));
}

void MediaPatch::add_filter(MediaFilter filter, const MediaFormat &format)
{
	filters_.emplace_back(std::move(filter), format);
}

void MediaPatch::start()
{
	thread_ = std::thread(&MediaPatch::run, this);
}

void MediaPatch::stop()
{
	stopping_ = true;
	// Closing the streams ends a read or write the thread is waiting in.
	source_->close();
	for (auto &sink : sinks_)
		sink->close();
	if (thread_.joinable())
		thread_.join();
}

unsigned long MediaPatch::frames() const
{
	std::lock_guard<std::mutex> hold(mutex_);
	return frames_;
}

namespace {

// One sink's side of the patch: its format and, when it differs from the
// raw audio, the encoder towards it.
struct SinkPath {
	MediaStream *stream;
	std::unique_ptr<Codec> encoder;
};

} // namespace

void MediaPatch::run()
{
	const MediaFormat &in = source_->format();
	std::unique_ptr<Codec> decoder = make_codec(in);
	std::vector<SinkPath> paths;
	bool any_raw_stage = false;

	for (auto &sink : sinks_) {
		bool same = sink->format() == in;
		paths.push_back({ sink.get(), same ? nullptr : make_codec(sink->format()) });
		any_raw_stage = any_raw_stage || !same;
	}
	auto run_filters = [this](MediaFrame &frame, const MediaFormat &format) {
		for (auto &[filter, fmt] : filters_)
			if (fmt == format)
				filter(frame);
	};

	MediaFrame frame, raw, coded;
	std::vector<int16_t> pcm;
	while (source_->read_frame(frame)) {
		run_filters(frame, in);
		if (any_raw_stage) {
			// Through raw PCM: decode unless the source is raw already.
			if (decoder) {
				pcm.clear();
				decoder->decode(frame.payload.data(), frame.payload.size(), pcm);
				raw.payload.assign((const uint8_t *)pcm.data(), (const uint8_t *)(pcm.data() + pcm.size()));
			} else
				raw.payload = frame.payload;
			raw.timestamp = frame.timestamp;
			raw.arrival = frame.arrival;
			if (!(in == pcm16()))
				run_filters(raw, pcm16());
		}

		bool written = false;
		for (SinkPath &path : paths) {
			const MediaFrame *out = &frame;
			if (!(path.stream->format() == in)) {
				if (path.encoder) {
					coded.payload.clear();
					coded.timestamp = raw.timestamp;
					coded.arrival = raw.arrival;
					path.encoder->encode((const int16_t *)raw.payload.data(), raw.payload.size() / 2,
							     coded.payload);
					run_filters(coded, path.stream->format());
					out = &coded;
				} else
					out = &raw;
			}
			written = path.stream->write_frame(*out) || written;
		}
		{
			std::lock_guard<std::mutex> hold(mutex_);
			frames_++;
		}
		if (!written && !paths.empty())
			break; // every sink is gone
	}
	if (!stopping_ && on_failure_)
		on_failure_();
}

} // namespace callfw
