#include "source_latch.h"

namespace sipep {

void SourceLatch::expect(const sockaddr_in &announced)
{
	if (have_announced_ && same(announced, announced_))
		return;
	announced_ = announced;
	source_ = announced;
	have_announced_ = true;
	latched_ = false;
	candidate_.packets = 0;
}

void SourceLatch::resolve(const sockaddr_in &announced)
{
	announced_ = announced;
	have_announced_ = true;
	if (!latched_)
		source_ = announced;
}

bool SourceLatch::accept(const sockaddr_in &from, const RtpHeader &header, bool media, Clock::time_point now)
{
	if (!have_announced_ || from.sin_family != AF_INET)
		return false;
	if (same(from, source_)) {
		// The present source speaks: whoever was proving itself must
		// start again once it is silent.
		candidate_.packets = 0;
		return true;
	}
	if (!media)
		return false;
	Candidate &c = candidate_;
	if (c.packets > 0 && same(from, c.from) && header.ssrc == c.ssrc && header.seq == (uint16_t)(c.seq + 1)) {
		c.packets++;
		c.seq = header.seq;
	} else {
		c = Candidate{ from, header.ssrc, header.seq, 1, now };
	}
	if (c.packets < kPackets || now - c.first < kSpan)
		return false;
	source_ = from;
	latched_ = true;
	c.packets = 0;
	return true;
}

} // namespace sipep
