// SRTP keys as SDES carries them in session descriptions (RFC 4568):
// whether a call uses SRTP, the crypto suites the console takes, and the
// master keys, ours made from the kernel's random source.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sipep {

enum class SrtpMode {
	Off,       // plain RTP; keys that peers offer are ignored
	Optional,  // keys offered on RTP/AVP and taken when a peer gives one
	Mandatory, // keys offered on RTP/SAVP; a call without them is refused
};

// "off", "optional", "mandatory"; none for anything else.
std::optional<SrtpMode> parse_srtp_mode(std::string_view text);
const char *to_string(SrtpMode mode);

// The suite we offer.
inline constexpr const char kSrtpSuite[] = "AES_CM_128_HMAC_SHA1_80";
// Master key and salt of the AES_CM_128 suites, in bytes.
inline constexpr size_t kSrtpKeyBytes = 30;

// Whether we can protect media with the suite (the AES_CM_128 ones: the
// 80-bit tag and the 32-bit one).
bool srtp_suite_known(std::string_view suite);

// A master key and salt, and the suite they are for.
struct SrtpKey {
	std::string suite;
	std::vector<uint8_t> material;

	bool operator==(const SrtpKey &other) const = default;
};

// Fresh key material from the kernel's random source; none (errno set)
// when there is none.
std::optional<std::vector<uint8_t>> make_srtp_material();

// The key of a crypto line's key parameters ("inline:KEY[|lifetime]") and
// session parameters. None when the suite is not ours, the key does not
// decode to the suite's length, or it asks for what we cannot do: a master
// key index (several keys), unencrypted or unauthenticated SRTP, a key
// derivation rate, forward error correction.
std::optional<SrtpKey> parse_srtp_key(std::string_view suite, std::string_view key_params,
				      std::string_view session_params);

// "inline:KEY" of the material.
std::string srtp_key_params(const std::vector<uint8_t> &material);

} // namespace sipep
