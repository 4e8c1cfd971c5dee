#include "srtp_context.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include "libre.h"

namespace sipep {

namespace {

int alloc_context(struct srtp **context, const SrtpKey &key)
{
	srtp_suite suite;
	if (key.suite == "AES_CM_128_HMAC_SHA1_80")
		suite = SRTP_AES_CM_128_HMAC_SHA1_80;
	else if (key.suite == "AES_CM_128_HMAC_SHA1_32")
		suite = SRTP_AES_CM_128_HMAC_SHA1_32;
	else
		return ENOTSUP;
	return srtp_alloc(context, suite, key.material.data(), key.material.size(), 0);
}

// An SRTP packet: the plain one, a tag of at most 10 bytes.
constexpr size_t kMaxPacket = 2048 + 16;

} // namespace

std::unique_ptr<SrtpContext> SrtpContext::make(const SrtpKey &key)
{
	struct srtp *context = nullptr;
	if (int err = alloc_context(&context, key)) {
		errno = err;
		return nullptr;
	}
	struct mbuf *buffer = mbuf_alloc(kMaxPacket);
	if (!buffer) {
		mem_deref(context);
		errno = ENOMEM;
		return nullptr;
	}
	return std::unique_ptr<SrtpContext>(new SrtpContext(key, context, buffer));
}

SrtpContext::SrtpContext(SrtpKey key, struct srtp *context, struct mbuf *buffer)
	: key_(std::move(key)), context_(context), buffer_(buffer)
{
}

SrtpContext::~SrtpContext()
{
	mem_deref(context_);
	mem_deref(buffer_);
}

bool SrtpContext::renew()
{
	struct srtp *fresh = nullptr;
	if (alloc_context(&fresh, key_))
		return false;
	mem_deref(context_);
	context_ = fresh;
	return true;
}

bool SrtpContext::protect(std::vector<uint8_t> &packet)
{
	mbuf_rewind(buffer_);
	if (mbuf_write_mem(buffer_, packet.data(), packet.size()))
		return false;
	buffer_->pos = 0;
	if (srtp_encrypt(context_, buffer_))
		return false;
	packet.assign(buffer_->buf, buffer_->buf + buffer_->end);
	return true;
}

size_t SrtpContext::unprotect(uint8_t *data, size_t size)
{
	for (int attempt = 0; attempt < 2; attempt++) {
		mbuf_rewind(buffer_);
		if (size > kMaxPacket || mbuf_write_mem(buffer_, data, size))
			return 0;
		buffer_->pos = 0;
		int err = srtp_decrypt(context_, buffer_);
		if (!err) {
			size_t plain = buffer_->end;
			memcpy(data, buffer_->buf, plain);
			return plain;
		}
		// libre keeps the state of a few sources (SSRCs) per context and
		// refuses new ones once it is full: a peer whose media server
		// changed its source that often, or packets forged with made-up
		// sources, would silence the call for good. The peer's next source
		// starts afresh instead.
		if (err != ENOSR || !renew())
			return 0;
	}
	return 0;
}

} // namespace sipep
