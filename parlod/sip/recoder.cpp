#include "recoder.h"

namespace sipep {

size_t Recoder::recode(const callfw::MediaFormat &from, const uint8_t *data, size_t size,
		       const callfw::MediaFormat &to, std::vector<uint8_t> &out)
{
	if (from.name != from_name_) {
		decoder_ = callfw::make_codec(from);
		from_name_ = from.name;
	}
	if (to.name != to_name_) {
		encoder_ = callfw::make_codec(to);
		to_name_ = to.name;
		pcm_.clear();
	}
	out.clear();
	const size_t carried = pcm_.size();
	if (decoder_)
		decoder_->decode(data, size, pcm_);
	else if (!from.transportable)
		pcm_.insert(pcm_.end(), (const int16_t *)data, (const int16_t *)data + size / 2);
	const size_t frame = to.frame_samples ? to.frame_samples : 1;
	const size_t whole = pcm_.size() / frame * frame;
	if (whole == 0)
		return carried;
	if (encoder_)
		encoder_->encode(pcm_.data(), whole, out);
	else if (!to.transportable)
		out.assign((const uint8_t *)pcm_.data(), (const uint8_t *)(pcm_.data() + whole));
	pcm_.erase(pcm_.begin(), pcm_.begin() + (ptrdiff_t)whole);
	return carried;
}

} // namespace sipep
