// SRTP protection of one direction of a call's RTP, on libre's srtp module.
//
// Not thread-safe: the RTP session guards each.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "srtp_keys.h"

struct srtp;
struct mbuf;

namespace sipep {

class SrtpContext {
public:
	// None when libre cannot use the key (errno set).
	static std::unique_ptr<SrtpContext> make(const SrtpKey &key);
	~SrtpContext();
	SrtpContext(const SrtpContext &) = delete;
	SrtpContext &operator=(const SrtpContext &) = delete;

	const SrtpKey &key() const { return key_; }

	// Our packet, encrypted and its tag appended, in place; false when it
	// cannot be (it then must not go out).
	bool protect(std::vector<uint8_t> &packet);
	// The peer's packet, checked and decrypted: the plain packet's size,
	// or 0 when it fails (a wrong key, a forged or replayed packet, no RTP
	// at all), and then the buffer is left as it was.
	size_t unprotect(uint8_t *data, size_t size);

private:
	SrtpContext(SrtpKey key, struct srtp *context, struct mbuf *buffer);
	bool renew();

	SrtpKey key_;
	struct srtp *context_;
	struct mbuf *buffer_;
};

} // namespace sipep
