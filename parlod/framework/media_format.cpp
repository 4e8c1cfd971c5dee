#include "media_format.h"

#include "call_end_reason.h"

#include <spandsp.h>
#include <strings.h>

namespace callfw {

const MediaFormat &pcm16()
{
	static const MediaFormat f{ "PCM-16", MediaType::Audio, 8000, 160, 320, false, -1, "" };
	return f;
}

const MediaFormat &g711_ulaw()
{
	static const MediaFormat f{ "G.711-uLaw-64k", MediaType::Audio, 8000, 160, 160, true, 0, "PCMU" };
	return f;
}

const MediaFormat &g711_alaw()
{
	static const MediaFormat f{ "G.711-ALaw-64k", MediaType::Audio, 8000, 160, 160, true, 8, "PCMA" };
	return f;
}

const MediaFormat &gsm0610()
{
	static const MediaFormat f{ "GSM-06.10", MediaType::Audio, 8000, 160, 33, true, 3, "GSM" };
	return f;
}

const MediaFormat *find_format(const MediaFormatList &list, const std::string &name)
{
	for (const MediaFormat &f : list)
		if (f.name == name)
			return &f;
	return nullptr;
}

const MediaFormat *find_encoding(const std::string &encoding)
{
	for (const MediaFormat *f : { &g711_ulaw(), &g711_alaw(), &gsm0610() })
		if (!strcasecmp(f->encoding.c_str(), encoding.c_str()))
			return f;
	return nullptr;
}

MediaFormatList transportable_formats()
{
	return { g711_ulaw(), g711_alaw(), gsm0610() };
}

MediaFormatList parse_encodings(const std::string &text, std::vector<std::string> &unknown)
{
	MediaFormatList out;
	size_t at = 0;
	while ((at = text.find_first_not_of(", \t", at)) != std::string::npos) {
		size_t end = text.find_first_of(", \t", at);
		std::string name = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
		at = end;
		const MediaFormat *f = find_encoding(name);
		if (!f)
			unknown.push_back(name);
		else if (!find_format(out, f->name))
			out.push_back(*f);
	}
	return out;
}

namespace {

// law: G711_ULAW or G711_ALAW.
class G711Codec : public Codec {
public:
	explicit G711Codec(int law) : state_(g711_init(nullptr, law)) {}
	~G711Codec() override { g711_free(state_); }

	void encode(const int16_t *samples, size_t count, std::vector<uint8_t> &out) override
	{
		size_t at = out.size();
		out.resize(at + count);
		g711_encode(state_, out.data() + at, samples, (int)count);
	}

	void decode(const uint8_t *data, size_t size, std::vector<int16_t> &out) override
	{
		size_t at = out.size();
		out.resize(at + size);
		g711_decode(state_, out.data() + at, data, (int)size);
	}

private:
	g711_state_t *state_;
};

// GSM 06.10 in the 33-byte frames of RTP, 160 samples each.
class GsmCodec : public Codec {
public:
	GsmCodec() : state_(gsm0610_init(nullptr, GSM0610_PACKING_VOIP)) {}
	~GsmCodec() override { gsm0610_free(state_); }

	void encode(const int16_t *samples, size_t count, std::vector<uint8_t> &out) override
	{
		size_t frames = count / 160;
		size_t at = out.size();
		out.resize(at + frames * 33);
		int n = gsm0610_encode(state_, out.data() + at, samples, (int)(frames * 160));
		out.resize(at + (n > 0 ? (size_t)n : 0));
	}

	void decode(const uint8_t *data, size_t size, std::vector<int16_t> &out) override
	{
		size_t frames = size / 33;
		size_t at = out.size();
		out.resize(at + frames * 160);
		int n = gsm0610_decode(state_, out.data() + at, data, (int)(frames * 33));
		out.resize(at + (n > 0 ? (size_t)n : 0));
	}

private:
	gsm0610_state_t *state_;
};

} // namespace

std::unique_ptr<Codec> make_codec(const MediaFormat &format)
{
	if (format == g711_ulaw())
		return std::make_unique<G711Codec>(G711_ULAW);
	if (format == g711_alaw())
		return std::make_unique<G711Codec>(G711_ALAW);
	if (format == gsm0610())
		return std::make_unique<GsmCodec>();
	return nullptr;
}

const char *to_string(CallEndReason reason)
{
	switch (reason) {
	case CallEndReason::LocalUser:
		return "local user";
	case CallEndReason::RemoteUser:
		return "remote user";
	case CallEndReason::Busy:
		return "busy";
	case CallEndReason::Refused:
		return "refused";
	case CallEndReason::Unreachable:
		return "unreachable";
	case CallEndReason::NoAnswer:
		return "no answer";
	case CallEndReason::MediaFailed:
		return "media failed";
	case CallEndReason::Shutdown:
		return "shutdown";
	case CallEndReason::Preempted:
		return "preempted";
	}
	return "unknown";
}

} // namespace callfw
