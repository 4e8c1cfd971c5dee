// One frame of media on its way through a patch.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstring>
#include <vector>

namespace callfw {

struct MediaFrame {
	using Clock = std::chrono::steady_clock;

	std::vector<uint8_t> payload;
	uint32_t timestamp = 0; // in samples of the format's clock
	// When it came from outside (a network's packet); none for a frame a
	// device made. A jitter buffer measures the delay from there.
	Clock::time_point arrival{};

	size_t payload_size() const { return payload.size(); }
	void set_payload_size(size_t bytes) { payload.resize(bytes); }

	// The payload as 16-bit samples (raw PCM frames only; a trailing odd
	// byte is not a sample).
	int16_t *samples() { return reinterpret_cast<int16_t *>(payload.data()); }
	size_t sample_count() const { return payload.size() / 2; }
};

} // namespace callfw
