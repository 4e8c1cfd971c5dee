#include "sdp.h"

#include <algorithm>
#include <arpa/inet.h>
#include <charconv>
#include <strings.h>

namespace sipep {

namespace {

bool iequal(std::string_view a, std::string_view b)
{
	return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::string_view trim(std::string_view s)
{
	while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
		s.remove_prefix(1);
	while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
		s.remove_suffix(1);
	return s;
}

std::vector<std::string_view> words(std::string_view s)
{
	std::vector<std::string_view> out;
	size_t at = 0;
	while (at < s.size()) {
		size_t start = s.find_first_not_of(" \t", at);
		if (start == std::string_view::npos)
			break;
		size_t end = s.find_first_of(" \t", start);
		if (end == std::string_view::npos)
			end = s.size();
		out.push_back(s.substr(start, end - start));
		at = end;
	}
	return out;
}

template <typename T> bool to_number(std::string_view s, T &value)
{
	if (s.empty())
		return false;
	auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
	return ec == std::errc() && end == s.data() + s.size();
}

// The payload types that need no rtpmap (RFC 3551), of those we might meet.
SdpPayload static_payload(int pt)
{
	switch (pt) {
	case 0:
		return { pt, "PCMU", 8000, 1 };
	case 3:
		return { pt, "GSM", 8000, 1 };
	case 8:
		return { pt, "PCMA", 8000, 1 };
	case 9:
		return { pt, "G722", 8000, 1 };
	case 13:
		return { pt, "CN", 8000, 1 };
	case 18:
		return { pt, "G729", 8000, 1 };
	default:
		return { pt, "", 0, 1 };
	}
}

bool is_letter_or_digit(char c)
{
	return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// A host name as DNS writes it: labels of letters, digits and hyphens
// (never first or last), dots between. The last label is never all
// digits, so that a mistyped address such as 192.0.2.300 is no name.
bool is_host_name(std::string_view name)
{
	if (name.empty() || name.size() > 253)
		return false;
	std::string_view label;
	for (;;) {
		size_t dot = name.find('.');
		label = name.substr(0, dot);
		if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-')
			return false;
		for (char c : label)
			if (!is_letter_or_digit(c) && c != '-')
				return false;
		if (dot == std::string_view::npos)
			break;
		name.remove_prefix(dot + 1);
	}
	return !std::all_of(label.begin(), label.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// "IN IP4 192.0.2.1[/ttl]", or a host name in place of the address (a
// PBX, or a phone behind a NAT helper, may write its public name): the
// address or name, "" for another address type; false when the line is
// not a connection line at all.
bool parse_connection(std::string_view value, std::string &address)
{
	auto w = words(value);
	if (w.size() < 3 || w[0] != "IN")
		return false;
	address.clear();
	if (w[1] != "IP4")
		return true; // IPv6 and the like: this console does not reach them
	std::string text(w[2].substr(0, w[2].find('/')));
	in_addr ip;
	if (inet_pton(AF_INET, text.c_str(), &ip) != 1 && !is_host_name(text))
		return false;
	address = text;
	return true;
}

// "audio 49170[/2] RTP/AVP 0 3 101"
bool parse_media_line(std::string_view value, SdpMedia &m)
{
	auto w = words(value);
	if (w.size() < 4)
		return false;
	m.media = std::string(w[0]);
	if (!to_number(w[1].substr(0, w[1].find('/')), m.port))
		return false;
	if (m.port > 65535)
		return false;
	m.proto = std::string(w[2]);
	for (size_t i = 3; i < w.size(); i++) {
		m.formats.emplace_back(w[i]);
		int pt;
		if (to_number(w[i], pt) && pt >= 0 && pt <= 127)
			m.payloads.push_back(static_payload(pt));
	}
	return true;
}

// "101 telephone-event/8000[/1]"
void parse_rtpmap(std::string_view value, SdpMedia &m)
{
	auto w = words(value);
	int pt;
	if (w.size() < 2 || !to_number(w[0], pt))
		return;
	std::string_view enc = w[1];
	size_t slash = enc.find('/');
	if (slash == std::string_view::npos)
		return;
	unsigned rate = 0, channels = 1;
	std::string_view rest = enc.substr(slash + 1);
	size_t slash2 = rest.find('/');
	if (!to_number(rest.substr(0, slash2), rate))
		return;
	if (slash2 != std::string_view::npos && !to_number(rest.substr(slash2 + 1), channels))
		return;
	for (SdpPayload &p : m.payloads)
		if (p.pt == pt) {
			p.encoding = std::string(enc.substr(0, slash));
			p.clock_rate = rate;
			p.channels = channels;
		}
}

// "1 AES_CM_128_HMAC_SHA1_80 inline:KEY[|lifetime] [session parameters]"
void parse_crypto(std::string_view value, SdpMedia &m)
{
	auto w = words(value);
	SdpCrypto c;
	if (w.size() < 3 || w[0].size() > 9 || !to_number(w[0], c.tag))
		return;
	c.suite = std::string(w[1]);
	c.key_params = std::string(w[2]);
	size_t rest = (size_t)(w[2].data() - value.data()) + w[2].size();
	c.session_params = std::string(trim(value.substr(rest)));
	m.crypto.push_back(std::move(c));
}

bool parse_direction(std::string_view attr, SdpDirection &dir)
{
	if (attr == "sendrecv")
		dir = SdpDirection::SendRecv;
	else if (attr == "sendonly")
		dir = SdpDirection::SendOnly;
	else if (attr == "recvonly")
		dir = SdpDirection::RecvOnly;
	else if (attr == "inactive")
		dir = SdpDirection::Inactive;
	else
		return false;
	return true;
}

const char *direction_name(SdpDirection dir)
{
	switch (dir) {
	case SdpDirection::SendOnly:
		return "sendonly";
	case SdpDirection::RecvOnly:
		return "recvonly";
	case SdpDirection::Inactive:
		return "inactive";
	case SdpDirection::SendRecv:
		break;
	}
	return "sendrecv";
}

SdpDirection reverse(SdpDirection dir)
{
	switch (dir) {
	case SdpDirection::SendOnly:
		return SdpDirection::RecvOnly;
	case SdpDirection::RecvOnly:
		return SdpDirection::SendOnly;
	default:
		return dir;
	}
}

bool is_telephone_event(const SdpPayload &p)
{
	return iequal(p.encoding, "telephone-event") && p.clock_rate == 8000;
}

bool is_format(const SdpPayload &p, const callfw::MediaFormat &f)
{
	return p.channels == 1 && f.transportable && !f.encoding.empty() && iequal(p.encoding, f.encoding) &&
	       p.clock_rate == f.clock_rate;
}

// The local format that a payload is, or none.
const callfw::MediaFormat *match(const SdpPayload &p, const callfw::MediaFormatList &list)
{
	for (const callfw::MediaFormat &f : list)
		if (is_format(p, f))
			return &f;
	return nullptr;
}

bool is_savp(const SdpMedia &m)
{
	return m.proto == "RTP/SAVP";
}

bool usable_audio(const SdpMedia &m)
{
	return m.media == "audio" && (m.proto == "RTP/AVP" || is_savp(m)) && m.port != 0 && !m.address.empty();
}

// The first crypto line of the media that we can use, and its key.
std::optional<std::pair<SdpCrypto, SrtpKey>> usable_crypto(const SdpMedia &m)
{
	for (const SdpCrypto &c : m.crypto)
		if (auto key = parse_srtp_key(c.suite, c.key_params, c.session_params))
			return std::make_pair(c, std::move(*key));
	return std::nullopt;
}

// Whether the line can carry the call under the mode, and with which key.
bool take_crypto(const SdpMedia &m, SrtpMode srtp, Negotiated &n)
{
	n.proto = m.proto;
	if (srtp == SrtpMode::Off)
		return !is_savp(m);
	auto crypto = usable_crypto(m);
	if (!crypto)
		return srtp == SrtpMode::Optional && !is_savp(m);
	n.crypto = std::move(crypto->first);
	n.remote_key = std::move(crypto->second);
	return true;
}

void add_format(callfw::MediaFormatList &out, const callfw::MediaFormat &f, int pt)
{
	for (const callfw::MediaFormat &have : out)
		if (have == f)
			return; // a codec offered twice counts once, at its first place
	callfw::MediaFormat copy = f;
	copy.payload_type = pt;
	out.push_back(copy);
}

void write_header(std::string &out, const SdpLocal &local)
{
	out += "v=0\r\n";
	out += "o=" + local.user + " " + std::to_string(local.session_id) + " " + std::to_string(local.version) +
	       " IN IP4 " + local.address + "\r\n";
	out += "s=" + local.user + "\r\n";
	out += "c=IN IP4 " + local.address + "\r\n";
	out += "t=0 0\r\n";
}

// crypto: the tag and suite of our key's line; none for plain RTP.
void write_audio(std::string &out, const SdpLocal &local, const std::string &proto,
		 const callfw::MediaFormatList &formats, int telephone_event_pt, SdpDirection dir,
		 const SdpCrypto *crypto)
{
	out += "m=audio " + std::to_string(local.port) + " " + proto;
	for (const callfw::MediaFormat &f : formats)
		out += " " + std::to_string(f.payload_type);
	if (telephone_event_pt >= 0)
		out += " " + std::to_string(telephone_event_pt);
	out += "\r\n";
	for (const callfw::MediaFormat &f : formats)
		out += "a=rtpmap:" + std::to_string(f.payload_type) + " " + f.encoding + "/" +
		       std::to_string(f.clock_rate) + "\r\n";
	if (telephone_event_pt >= 0) {
		out += "a=rtpmap:" + std::to_string(telephone_event_pt) + " telephone-event/8000\r\n";
		out += "a=fmtp:" + std::to_string(telephone_event_pt) + " 0-15\r\n";
	}
	out += "a=ptime:20\r\n";
	out += std::string("a=") + direction_name(dir) + "\r\n";
	if (crypto)
		out += "a=crypto:" + std::to_string(crypto->tag) + " " + crypto->suite + " " +
		       srtp_key_params(local.srtp_key) + "\r\n";
}

} // namespace

bool Negotiated::both_ways() const
{
	return peer_receives() && remote_direction == SdpDirection::SendRecv;
}

bool Negotiated::peer_receives() const
{
	return remote_port != 0 && remote_address != "0.0.0.0" &&
	       (remote_direction == SdpDirection::SendRecv || remote_direction == SdpDirection::RecvOnly);
}

std::optional<SdpSession> parse_sdp(std::string_view text)
{
	SdpSession session;
	std::string session_address;
	SdpDirection session_dir = SdpDirection::SendRecv;
	bool have_version = false;
	// Per media line: whether it had a c= or direction of its own.
	std::vector<std::pair<bool, bool>> own;

	while (!text.empty()) {
		size_t nl = text.find('\n');
		std::string_view line = text.substr(0, nl);
		text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
		if (!line.empty() && line.back() == '\r')
			line.remove_suffix(1);
		if (line.empty())
			continue;
		if (line.size() < 2 || line[1] != '=')
			return std::nullopt;
		char type = line[0];
		std::string_view value = line.substr(2);
		bool in_media = !session.media.empty();

		switch (type) {
		case 'v':
			if (trim(value) != "0")
				return std::nullopt;
			have_version = true;
			break;
		case 'c': {
			std::string address;
			if (!parse_connection(value, address))
				return std::nullopt;
			if (in_media) {
				session.media.back().address = address;
				own.back().first = true;
			} else
				session_address = address;
			break;
		}
		case 'm': {
			SdpMedia m;
			if (!parse_media_line(value, m))
				return std::nullopt;
			session.media.push_back(std::move(m));
			own.emplace_back(false, false);
			break;
		}
		case 'a': {
			std::string_view attr = trim(value);
			size_t colon = attr.find(':');
			std::string_view name = attr.substr(0, colon);
			SdpDirection dir;
			if (parse_direction(name, dir) && colon == std::string_view::npos) {
				if (in_media) {
					session.media.back().direction = dir;
					own.back().second = true;
				} else
					session_dir = dir;
			} else if (name == "rtpmap" && in_media && colon != std::string_view::npos)
				parse_rtpmap(attr.substr(colon + 1), session.media.back());
			else if (name == "crypto" && in_media && colon != std::string_view::npos)
				parse_crypto(attr.substr(colon + 1), session.media.back());
			break;
		}
		default:
			break; // o=, s=, t=, b= and the rest say nothing about the media
		}
	}
	if (!have_version)
		return std::nullopt;
	for (size_t i = 0; i < session.media.size(); i++) {
		if (!own[i].first)
			session.media[i].address = session_address;
		if (!own[i].second)
			session.media[i].direction = session_dir;
	}
	return session;
}

std::string build_offer(const SdpLocal &local, const callfw::MediaFormatList &formats, int telephone_event_pt)
{
	std::string out;
	write_header(out, local);
	const bool srtp = local.srtp != SrtpMode::Off && !local.srtp_key.empty();
	const SdpCrypto ours{ 1, kSrtpSuite, "", "" };
	write_audio(out, local, local.srtp == SrtpMode::Mandatory ? "RTP/SAVP" : "RTP/AVP", formats,
		    telephone_event_pt, SdpDirection::SendRecv, srtp ? &ours : nullptr);
	return out;
}

// The media line that was agreed on: where and how the peer takes media.
static void take_line(Negotiated &n, const SdpMedia &m, size_t index)
{
	n.media_index = index;
	n.remote_address = m.address;
	n.remote_port = (uint16_t)m.port;
	n.remote_direction = m.direction;
}

std::optional<Negotiated> negotiate_offer(const SdpSession &offer, const callfw::MediaFormatList &local,
					  const callfw::MediaFormat *prefer, SrtpMode srtp)
{
	for (size_t i = 0; i < offer.media.size(); i++) {
		const SdpMedia &m = offer.media[i];
		Negotiated n;
		if (!usable_audio(m) || !take_crypto(m, srtp, n))
			continue;
		for (const SdpPayload &p : m.payloads)
			if (is_telephone_event(p)) {
				n.telephone_event_pt = p.pt;
				break;
			}
		// Our order, with the offer's payload types.
		for (const callfw::MediaFormat &f : local)
			for (const SdpPayload &p : m.payloads)
				if (is_format(p, f)) {
					add_format(n.formats, f, p.pt);
					break;
				}
		if (n.formats.empty())
			continue;
		if (prefer)
			for (size_t k = 1; k < n.formats.size(); k++)
				if (n.formats[k] == *prefer) {
					std::rotate(n.formats.begin(), n.formats.begin() + k, n.formats.begin() + k + 1);
					break;
				}
		take_line(n, m, i);
		return n;
	}
	return std::nullopt;
}

std::string srtp_refusal(const SdpSession &offer, const callfw::MediaFormatList &local, SrtpMode srtp)
{
	if (srtp == SrtpMode::Optional || negotiate_offer(offer, local, nullptr, srtp) ||
	    !negotiate_offer(offer, local, nullptr, SrtpMode::Optional))
		return "";
	return srtp == SrtpMode::Mandatory ? "it offers no SRTP key that the console takes, and sip_srtp is mandatory"
					   : "it asks for SRTP, and sip_srtp is off";
}

std::string build_answer(const SdpLocal &local, const SdpSession &offer, const Negotiated &chosen)
{
	std::string out;
	write_header(out, local);
	for (size_t i = 0; i < offer.media.size(); i++) {
		const SdpMedia &m = offer.media[i];
		if (i == chosen.media_index) {
			write_audio(out, local, m.proto, chosen.formats, chosen.telephone_event_pt, reverse(m.direction),
				    chosen.crypto ? &*chosen.crypto : nullptr);
			continue;
		}
		// A refused line keeps its place, as the offer/answer rules want.
		out += "m=" + m.media + " 0 " + m.proto;
		out += " " + (m.formats.empty() ? std::string("0") : m.formats.front());
		out += "\r\n";
	}
	return out;
}

std::optional<Negotiated> negotiate_answer(const SdpSession &answer, const callfw::MediaFormatList &offered,
					   int offered_telephone_event_pt, SrtpMode srtp)
{
	// We offer one line, so the answer's first audio line is its answer.
	for (size_t i = 0; i < answer.media.size(); i++) {
		const SdpMedia &m = answer.media[i];
		if (m.media != "audio")
			continue;
		if (!usable_audio(m))
			return std::nullopt;
		Negotiated n;
		for (const SdpPayload &p : m.payloads) {
			if (is_telephone_event(p)) {
				if (offered_telephone_event_pt >= 0 && n.telephone_event_pt < 0)
					n.telephone_event_pt = p.pt;
			} else if (const callfw::MediaFormat *f = match(p, offered))
				add_format(n.formats, *f, p.pt);
		}
		if (n.formats.empty())
			return std::nullopt;
		n.proto = m.proto;
		if (srtp != SrtpMode::Off && !m.crypto.empty()) {
			// Its key comes on the line that took ours: our tag and suite.
			for (const SdpCrypto &c : m.crypto)
				if (c.tag == 1 && c.suite == kSrtpSuite)
					if (auto key = parse_srtp_key(c.suite, c.key_params, c.session_params)) {
						n.crypto = c;
						n.remote_key = std::move(key);
						break;
					}
			if (!n.crypto)
				return std::nullopt;
		}
		if (!n.crypto && (srtp == SrtpMode::Mandatory || is_savp(m)))
			return std::nullopt;
		take_line(n, m, i);
		return n;
	}
	return std::nullopt;
}

} // namespace sipep
