// Media formats and the codecs between them.
//
// Raw audio is 16-bit linear PCM, which only the local sound side handles;
// the coded formats travel over networks and buses ("transportable").
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace callfw {

enum class MediaType { Audio, Video };

struct MediaFormat {
	std::string name;          // the framework's name, e.g. "G.711-uLaw-64k"
	MediaType type;
	unsigned clock_rate;       // Hz
	unsigned frame_samples;    // samples in one 20 ms frame
	unsigned frame_bytes;      // bytes of one such frame in this format
	bool transportable;        // false for raw PCM
	int payload_type;          // RTP payload type, -1 for raw PCM
	std::string encoding;      // SDP encoding name; empty for raw PCM

	bool is_raw_audio() const { return type == MediaType::Audio && !transportable; }
	bool operator==(const MediaFormat &other) const { return name == other.name; }
};

using MediaFormatList = std::vector<MediaFormat>;

// 16-bit linear PCM, 8000 Hz mono.
const MediaFormat &pcm16();
// G.711 µ-law, RTP payload type 0.
const MediaFormat &g711_ulaw();
// G.711 A-law, RTP payload type 8.
const MediaFormat &g711_alaw();
// GSM 06.10 full rate, RTP payload type 3.
const MediaFormat &gsm0610();

// The format of the list with that name, or none.
const MediaFormat *find_format(const MediaFormatList &list, const std::string &name);
// The coded format with that SDP encoding name (case-insensitive), or none.
const MediaFormat *find_encoding(const std::string &encoding);
// Every coded format, in the order a network leg prefers them unless told
// otherwise: PCMU, PCMA, GSM.
MediaFormatList transportable_formats();
// The coded formats that a list of encoding names ("PCMA, pcmu"; commas or
// blanks between) names, in its order, each once; the names that are none
// go to unknown.
MediaFormatList parse_encodings(const std::string &text, std::vector<std::string> &unknown);

// Converts frames between raw PCM and one coded format.
class Codec {
public:
	virtual ~Codec() = default;
	// Appends the coding of the samples; the sample count is a multiple of
	// the format's frame.
	virtual void encode(const int16_t *samples, size_t count, std::vector<uint8_t> &out) = 0;
	// Appends the samples of the coded bytes; bytes that do not make a
	// whole frame are ignored.
	virtual void decode(const uint8_t *data, size_t size, std::vector<int16_t> &out) = 0;
};

// A codec for a transportable format; none for raw PCM or an unknown one.
std::unique_ptr<Codec> make_codec(const MediaFormat &format);

} // namespace callfw
