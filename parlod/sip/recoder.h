// Frames of one codec recoded into another, through raw PCM.
//
// A call's media streams keep the codec they were opened with, while the
// peer may send in any codec of the agreement and a renewed offer may
// change the one we send in. The RTP streams recode where the two differ.
//
// Not thread-safe: one per stream, used by the thread that moves it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "media_format.h"

namespace sipep {

class Recoder {
public:
	// Replaces out with the frames of to that the samples of data (coded
	// in from) make. Samples that do not fill a whole frame of to wait
	// for the next call; the result is how many samples of earlier calls
	// the output starts with (the amount to take off its timestamp).
	size_t recode(const callfw::MediaFormat &from, const uint8_t *data, size_t size, const callfw::MediaFormat &to,
		      std::vector<uint8_t> &out);

private:
	std::string from_name_, to_name_;
	std::unique_ptr<callfw::Codec> decoder_, encoder_;
	std::vector<int16_t> pcm_; // decoded, not yet coded
};

} // namespace sipep
