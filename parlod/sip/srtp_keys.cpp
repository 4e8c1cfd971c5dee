#include "srtp_keys.h"

#include <cerrno>
#include <strings.h>
#include <sys/random.h>

#include "libre.h"

namespace sipep {

namespace {

bool iequal(std::string_view a, std::string_view b)
{
	return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool starts_with_word(std::string_view text, std::string_view word)
{
	return text.size() >= word.size() && iequal(text.substr(0, word.size()), word);
}

} // namespace

std::optional<SrtpMode> parse_srtp_mode(std::string_view text)
{
	for (SrtpMode mode : { SrtpMode::Off, SrtpMode::Optional, SrtpMode::Mandatory })
		if (iequal(text, to_string(mode)))
			return mode;
	return std::nullopt;
}

const char *to_string(SrtpMode mode)
{
	switch (mode) {
	case SrtpMode::Optional:
		return "optional";
	case SrtpMode::Mandatory:
		return "mandatory";
	case SrtpMode::Off:
		break;
	}
	return "off";
}

bool srtp_suite_known(std::string_view suite)
{
	return suite == "AES_CM_128_HMAC_SHA1_80" || suite == "AES_CM_128_HMAC_SHA1_32";
}

std::optional<std::vector<uint8_t>> make_srtp_material()
{
	std::vector<uint8_t> material(kSrtpKeyBytes);
	size_t have = 0;
	while (have < material.size()) {
		// Blocks only until the kernel's pool has been seeded once, early
		// in the boot.
		ssize_t got = getrandom(material.data() + have, material.size() - have, 0);
		if (got < 0) {
			if (errno == EINTR)
				continue;
			return std::nullopt;
		}
		have += (size_t)got;
	}
	return material;
}

std::optional<SrtpKey> parse_srtp_key(std::string_view suite, std::string_view key_params,
				      std::string_view session_params)
{
	if (!srtp_suite_known(suite))
		return std::nullopt;
	// One key only: a second one comes with a master key index, which
	// every packet would then carry.
	if (!starts_with_word(key_params, "inline:") || key_params.find(';') != std::string_view::npos)
		return std::nullopt;
	std::string_view value = key_params.substr(7);
	size_t bar = value.find('|');
	std::string_view key = value.substr(0, bar);
	if (bar != std::string_view::npos) {
		// A lifetime may follow (we never send that many packets on one
		// key); a master key index may not.
		std::string_view rest = value.substr(bar + 1);
		if (rest.find('|') != std::string_view::npos || rest.find(':') != std::string_view::npos)
			return std::nullopt;
	}
	for (std::string_view p : { "UNENCRYPTED_SRTP", "UNAUTHENTICATED_SRTP", "KDR=", "FEC_ORDER=", "FEC_KEY=" }) {
		for (size_t at = 0; (at = session_params.find(p, at)) != std::string_view::npos; at += p.size())
			if (at == 0 || session_params[at - 1] == ' ' || session_params[at - 1] == '\t')
				return std::nullopt;
	}
	// Base64 of 30 bytes is 40 characters; a longer text would not fit.
	uint8_t bytes[48];
	size_t size = sizeof(bytes);
	if (key.size() > 64 || base64_decode(key.data(), key.size(), bytes, &size) || size != kSrtpKeyBytes)
		return std::nullopt;
	return SrtpKey{ std::string(suite), std::vector<uint8_t>(bytes, bytes + size) };
}

std::string srtp_key_params(const std::vector<uint8_t> &material)
{
	char text[64];
	size_t size = sizeof(text);
	if (base64_encode(material.data(), material.size(), text, &size))
		return "";
	return "inline:" + std::string(text, size);
}

} // namespace sipep
