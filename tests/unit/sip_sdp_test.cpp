#include <gtest/gtest.h>

#include "sdp.h"

using namespace sipep;

namespace {

// An offer as baresip sends it.
const char kBaresipOffer[] = "v=0\r\n"
			     "o=- 1234 5678 IN IP4 192.0.2.10\r\n"
			     "s=-\r\n"
			     "c=IN IP4 192.0.2.10\r\n"
			     "t=0 0\r\n"
			     "m=audio 10004 RTP/AVP 0 8 3 101\r\n"
			     "b=AS:64\r\n"
			     "a=rtpmap:0 PCMU/8000\r\n"
			     "a=rtpmap:8 PCMA/8000\r\n"
			     "a=rtpmap:3 GSM/8000\r\n"
			     "a=rtpmap:101 telephone-event/8000\r\n"
			     "a=fmtp:101 0-15\r\n"
			     "a=sendrecv\r\n"
			     "a=label:1\r\n"
			     "a=ssrc:123 cname:x\r\n";

callfw::MediaFormatList ours()
{
	return { callfw::g711_ulaw(), callfw::gsm0610() };
}

std::vector<std::string> names(const callfw::MediaFormatList &list)
{
	std::vector<std::string> out;
	for (auto &f : list)
		out.push_back(f.encoding + "/" + std::to_string(f.payload_type));
	return out;
}

SdpLocal local()
{
	SdpLocal l;
	l.user = "parlod";
	l.address = "192.0.2.20";
	l.port = 12000;
	l.session_id = 42;
	l.version = 7;
	return l;
}

TEST(SdpNegotiation, OfferFromBaresip)
{
	auto offer = parse_sdp(kBaresipOffer);
	ASSERT_TRUE(offer);
	auto n = negotiate_offer(*offer, ours());
	ASSERT_TRUE(n);
	EXPECT_EQ(names(n->formats), (std::vector<std::string>{ "PCMU/0", "GSM/3" }));
	EXPECT_EQ(n->telephone_event_pt, 101);
	EXPECT_EQ(n->remote_address, "192.0.2.10");
	EXPECT_EQ(n->remote_port, 10004);
	EXPECT_TRUE(n->both_ways());

	std::string answer = build_answer(local(), *offer, *n);
	EXPECT_NE(answer.find("m=audio 12000 RTP/AVP 0 3 101\r\n"), std::string::npos) << answer;
	EXPECT_NE(answer.find("c=IN IP4 192.0.2.20\r\n"), std::string::npos);
	EXPECT_NE(answer.find("a=rtpmap:101 telephone-event/8000\r\n"), std::string::npos);
	EXPECT_EQ(answer.find("PCMA"), std::string::npos);
	EXPECT_NE(answer.find("a=sendrecv"), std::string::npos);
	// Our own answer reads back as what was agreed.
	auto back = parse_sdp(answer);
	ASSERT_TRUE(back);
	auto again = negotiate_answer(*back, ours(), kTelephoneEventPt);
	ASSERT_TRUE(again);
	EXPECT_EQ(names(again->formats), names(n->formats));
	EXPECT_EQ(again->remote_port, 12000);
}

TEST(SdpNegotiation, OurOrderAndPruningDecide)
{
	auto offer = parse_sdp("v=0\r\nc=IN IP4 192.0.2.10\r\nm=audio 4000 RTP/AVP 3 8 0\r\n");
	ASSERT_TRUE(offer);
	EXPECT_EQ(names(negotiate_offer(*offer, ours())->formats), (std::vector<std::string>{ "PCMU/0", "GSM/3" }));
	EXPECT_EQ(names(negotiate_offer(*offer, callfw::transportable_formats())->formats),
		  (std::vector<std::string>{ "PCMU/0", "PCMA/8", "GSM/3" }));
	// An order of our own (the configuration's) counts as ours.
	EXPECT_EQ(names(negotiate_offer(*offer, { callfw::g711_alaw(), callfw::gsm0610() })->formats),
		  (std::vector<std::string>{ "PCMA/8", "GSM/3" }));
	// What the manager took out of our list is not agreed on.
	EXPECT_EQ(names(negotiate_offer(*offer, { callfw::g711_ulaw() })->formats),
		  (std::vector<std::string>{ "PCMU/0" }));
	// A renewed offer keeps the codec in use first.
	auto prefer = callfw::gsm0610();
	EXPECT_EQ(names(negotiate_offer(*offer, ours(), &prefer)->formats),
		  (std::vector<std::string>{ "GSM/3", "PCMU/0" }));
	// No events offered, none agreed.
	EXPECT_EQ(negotiate_offer(*offer, ours())->telephone_event_pt, -1);
}

TEST(SdpNegotiation, ALawOnlyPeer)
{
	// As a PBX of a European network offers.
	auto offer = parse_sdp("v=0\r\nc=IN IP4 192.0.2.10\r\nm=audio 4000 RTP/AVP 8 101\r\n"
			       "a=rtpmap:8 PCMA/8000\r\na=rtpmap:101 telephone-event/8000\r\n");
	ASSERT_TRUE(offer);
	auto n = negotiate_offer(*offer, callfw::transportable_formats());
	ASSERT_TRUE(n);
	EXPECT_EQ(names(n->formats), (std::vector<std::string>{ "PCMA/8" }));
	std::string answer = build_answer(local(), *offer, *n);
	EXPECT_NE(answer.find("m=audio 12000 RTP/AVP 8 101\r\n"), std::string::npos) << answer;
	EXPECT_NE(answer.find("a=rtpmap:8 PCMA/8000\r\n"), std::string::npos) << answer;

	std::string ours_offer = build_offer(local(), callfw::transportable_formats(), kTelephoneEventPt);
	EXPECT_NE(ours_offer.find("m=audio 12000 RTP/AVP 0 8 3 101\r\n"), std::string::npos) << ours_offer;
	auto back = negotiate_answer(*parse_sdp("v=0\r\nc=IN IP4 192.0.2.10\r\nm=audio 4000 RTP/AVP 8\r\n"),
				     callfw::transportable_formats(), kTelephoneEventPt);
	ASSERT_TRUE(back);
	EXPECT_EQ(names(back->formats), (std::vector<std::string>{ "PCMA/8" }));
}

TEST(SdpNegotiation, DynamicPayloadTypesAreTheOffers)
{
	auto offer = parse_sdp("v=0\r\nc=IN IP4 192.0.2.10\r\n"
			       "m=audio 4000 RTP/AVP 96 97 98\r\n"
			       "a=rtpmap:96 opus/48000/2\r\n"
			       "a=rtpmap:97 pcmu/8000\r\n"
			       "a=rtpmap:98 TELEPHONE-EVENT/8000\r\n");
	ASSERT_TRUE(offer);
	auto n = negotiate_offer(*offer, ours());
	ASSERT_TRUE(n);
	EXPECT_EQ(names(n->formats), (std::vector<std::string>{ "PCMU/97" }));
	EXPECT_EQ(n->telephone_event_pt, 98);
	std::string answer = build_answer(local(), *offer, *n);
	EXPECT_NE(answer.find("m=audio 12000 RTP/AVP 97 98\r\n"), std::string::npos) << answer;
	EXPECT_NE(answer.find("a=rtpmap:97 PCMU/8000\r\n"), std::string::npos);
}

TEST(SdpNegotiation, NothingInCommon)
{
	const char *offers[] = {
		"v=0\r\nc=IN IP4 192.0.2.10\r\nm=audio 4000 RTP/AVP 8 101\r\na=rtpmap:101 telephone-event/8000\r\n",
		"v=0\r\nc=IN IP4 192.0.2.10\r\nm=audio 0 RTP/AVP 0\r\n",          // refused line
		"v=0\r\nc=IN IP6 ::1\r\nm=audio 4000 RTP/AVP 0\r\n",               // not reachable here
		"v=0\r\nc=IN IP4 192.0.2.10\r\nm=audio 4000 RTP/SAVP 0\r\n",       // encrypted
		"v=0\r\nc=IN IP4 192.0.2.10\r\nm=video 4000 RTP/AVP 0\r\n",        // no audio
		"v=0\r\nm=audio 4000 RTP/AVP 0\r\n",                               // no address
		"v=0\r\nc=IN IP4 192.0.2.10\r\nm=audio 4000 RTP/AVP 0\r\na=rtpmap:0 PCMU/16000\r\n",
		"v=0\r\nc=IN IP4 192.0.2.10\r\nm=audio 4000 RTP/AVP 96\r\na=rtpmap:96 PCMU/8000/2\r\n",
	};
	for (const char *text : offers) {
		auto offer = parse_sdp(text);
		ASSERT_TRUE(offer) << text;
		EXPECT_FALSE(negotiate_offer(*offer, ours())) << text;
	}
}

TEST(SdpNegotiation, AnswerKeepsEveryLineInPlace)
{
	auto offer = parse_sdp("v=0\r\nc=IN IP4 192.0.2.10\r\n"
			       "m=video 5000 RTP/AVP 96\r\n"
			       "m=audio 0 RTP/AVP 0\r\n"
			       "m=audio 4000 RTP/AVP 3\r\n"
			       "c=IN IP4 192.0.2.11\r\n"
			       "a=sendonly\r\n");
	ASSERT_TRUE(offer);
	auto n = negotiate_offer(*offer, ours());
	ASSERT_TRUE(n);
	EXPECT_EQ(n->media_index, 2u);
	EXPECT_EQ(n->remote_address, "192.0.2.11"); // the line's own c= wins
	EXPECT_FALSE(n->both_ways());               // the peer holds us
	std::string answer = build_answer(local(), *offer, *n);
	size_t video = answer.find("m=video 0 RTP/AVP 96\r\n");
	size_t first = answer.find("m=audio 0 RTP/AVP 0\r\n");
	size_t audio = answer.find("m=audio 12000 RTP/AVP 3\r\n");
	ASSERT_NE(video, std::string::npos) << answer;
	ASSERT_NE(first, std::string::npos) << answer;
	ASSERT_NE(audio, std::string::npos) << answer;
	EXPECT_LT(video, first);
	EXPECT_LT(first, audio);
	EXPECT_NE(answer.find("a=recvonly", audio), std::string::npos);
}

TEST(SdpNegotiation, HoldDirections)
{
	auto n = [](const char *extra) {
		std::string text = std::string("v=0\r\nc=IN IP4 192.0.2.10\r\n") + extra + "m=audio 4000 RTP/AVP 0\r\n";
		return *negotiate_offer(*parse_sdp(text), ours());
	};
	EXPECT_TRUE(n("").both_ways());
	EXPECT_FALSE(n("a=inactive\r\n").both_ways()); // session level applies to the lines
	EXPECT_FALSE(n("a=recvonly\r\n").both_ways());
	EXPECT_TRUE(n("a=recvonly\r\n").peer_receives());
	EXPECT_FALSE(n("a=sendonly\r\n").peer_receives());
	auto old_hold = *negotiate_offer(*parse_sdp("v=0\r\nc=IN IP4 0.0.0.0\r\nm=audio 4000 RTP/AVP 0\r\n"), ours());
	EXPECT_FALSE(old_hold.peer_receives());
}

TEST(SdpNegotiation, OfferAndItsAnswer)
{
	std::string offer = build_offer(local(), { callfw::gsm0610(), callfw::g711_ulaw() }, kTelephoneEventPt);
	EXPECT_NE(offer.find("m=audio 12000 RTP/AVP 3 0 101\r\n"), std::string::npos) << offer;
	EXPECT_NE(offer.find("o=parlod 42 7 IN IP4 192.0.2.20\r\n"), std::string::npos);
	EXPECT_NE(offer.find("a=fmtp:101 0-15\r\n"), std::string::npos);
	ASSERT_TRUE(parse_sdp(offer));

	// The answerer's order counts; what we did not offer does not.
	auto answer = parse_sdp("v=0\r\nc=IN IP4 192.0.2.10\r\nm=audio 4000 RTP/AVP 8 0 3 101\r\n"
				"a=rtpmap:101 telephone-event/8000\r\n");
	auto n = negotiate_answer(*answer, { callfw::gsm0610(), callfw::g711_ulaw() }, kTelephoneEventPt);
	ASSERT_TRUE(n);
	EXPECT_EQ(names(n->formats), (std::vector<std::string>{ "PCMU/0", "GSM/3" }));
	EXPECT_EQ(n->telephone_event_pt, 101);
	// Events we did not offer are not taken.
	EXPECT_EQ(negotiate_answer(*answer, ours(), -1)->telephone_event_pt, -1);

	// A refused or emptied line is no answer.
	EXPECT_FALSE(negotiate_answer(*parse_sdp("v=0\r\nc=IN IP4 192.0.2.10\r\nm=audio 0 RTP/AVP 0\r\n"), ours(),
				      kTelephoneEventPt));
	EXPECT_FALSE(negotiate_answer(*parse_sdp("v=0\r\nc=IN IP4 192.0.2.10\r\nm=audio 4000 RTP/AVP 8\r\n"), ours(),
				      kTelephoneEventPt));
}

TEST(SdpParse, RefusesWhatIsNoDescription)
{
	const char *bad[] = {
		"",
		"m=audio 4000 RTP/AVP 0\r\n",               // no version
		"v=1\r\n",                                  // another version
		"v=0\r\nm=audio x RTP/AVP 0\r\n",           // port
		"v=0\r\nm=audio 70000 RTP/AVP 0\r\n",       // port
		"v=0\r\nm=audio 4000 RTP/AVP\r\n",          // no formats
		"v=0\r\nc=IN\r\n",                          // short connection line
		"v=0\r\nc=XX IP4 192.0.2.1\r\n",            // network type
		"v=0\r\nc=IN IP4 192.0.2.300\r\n",          // address
		"v=0\r\nc=IN IP4 192.0.2\r\n",              // address
		"v=0\r\nno equals sign\r\n",
		"v=0\r\n\x01\x02\x03\r\n",
	};
	for (const char *text : bad)
		EXPECT_FALSE(parse_sdp(text)) << text;
}

TEST(SdpParse, ToleratesWhatDoesNotMatter)
{
	// Bare line feeds, unknown lines and attributes, a broken rtpmap, a
	// port count, a multicast TTL, formats that are no payload numbers.
	auto s = parse_sdp("v=0\nz=whatever\nc=IN IP4 192.0.2.10/127\nm=audio 4000/2 RTP/AVP 0 x 300 96\n"
			   "a=rtpmap:96\na=rtpmap:x PCMU/8000\na=rtpmap:96 PCMU/abc\na=foo:bar\n");
	ASSERT_TRUE(s);
	ASSERT_EQ(s->media.size(), 1u);
	EXPECT_EQ(s->media[0].address, "192.0.2.10");
	EXPECT_EQ(s->media[0].port, 4000u);
	EXPECT_EQ(s->media[0].formats.size(), 4u);
	auto n = negotiate_offer(*s, ours());
	ASSERT_TRUE(n);
	EXPECT_EQ(names(n->formats), (std::vector<std::string>{ "PCMU/0" })); // 96 stayed unknown
}

TEST(SdpParse, HostNameInPlaceOfTheAddress)
{
	// As a PBX, or a phone behind a NAT helper, may write it.
	auto s = parse_sdp("v=0\r\nc=IN IP4 pbx.example.net\r\nm=audio 4000 RTP/AVP 0\r\n"
			   "m=audio 4002 RTP/AVP 0\r\nc=IN IP4 Media-2.Example.NET/127\r\n");
	ASSERT_TRUE(s);
	EXPECT_EQ(s->media[0].address, "pbx.example.net");
	EXPECT_EQ(s->media[1].address, "Media-2.Example.NET"); // the TTL goes as with an address
	auto n = negotiate_offer(*s, ours());
	ASSERT_TRUE(n);
	EXPECT_EQ(n->remote_address, "pbx.example.net");
	EXPECT_TRUE(n->both_ways());
	auto answer = parse_sdp("v=0\r\nc=IN IP4 localhost\r\nm=audio 4000 RTP/AVP 0\r\n");
	ASSERT_TRUE(answer);
	EXPECT_EQ(negotiate_answer(*answer, ours(), kTelephoneEventPt)->remote_address, "localhost");

	const std::string long_label(64, 'h'), long_name = std::string(250, 'n') + ".net";
	for (const std::string &name : { std::string("a"), std::string("x-1.y"), std::string("3com.example"),
					  std::string("a.b2"), long_label.substr(1) })
		EXPECT_TRUE(parse_sdp("v=0\r\nc=IN IP4 " + name + "\r\n")) << name;
	for (const std::string &junk :
	     { std::string("-pbx.example.net"), std::string("pbx-.example.net"), std::string("pbx..example.net"),
	       std::string(".example.net"), std::string("example.net."), std::string("pbx_1.example.net"),
	       std::string("pbx.example.net:5060"), std::string("pbx\x01.net"), std::string("b\xc3\xa4r.example"),
	       std::string("192.0.2.300"), std::string("1.2.3.4.5"), std::string("/127"), long_label + ".net",
	       long_name })
		EXPECT_FALSE(parse_sdp("v=0\r\nc=IN IP4 " + junk + "\r\n")) << junk;
}

} // namespace

namespace {

const std::vector<uint8_t> kOurKey(kSrtpKeyBytes, 0x5a);
// base64 of 30 bytes 0x01..0x1e: what a peer sends.
const char kTheirKey[] = "AQIDBAUGBwgJCgsMDQ4PEBESExQVFhcYGRobHB0e";

SdpLocal srtp_local(SrtpMode mode)
{
	SdpLocal l = local();
	l.srtp = mode;
	l.srtp_key = kOurKey;
	return l;
}

std::string audio_offer(const char *proto, const std::string &crypto)
{
	return std::string("v=0\r\nc=IN IP4 192.0.2.10\r\nm=audio 4000 ") + proto + " 0 101\r\n" +
	       "a=rtpmap:101 telephone-event/8000\r\n" + crypto;
}

std::string crypto_line(unsigned tag, const char *suite, const std::string &params = "")
{
	return "a=crypto:" + std::to_string(tag) + " " + suite + " inline:" + kTheirKey + params + "\r\n";
}

} // namespace

TEST(SdpSrtp, OurOfferByMode)
{
	std::string plain = build_offer(srtp_local(SrtpMode::Off), ours(), kTelephoneEventPt);
	EXPECT_NE(plain.find("m=audio 12000 RTP/AVP 0 3 101\r\n"), std::string::npos) << plain;
	EXPECT_EQ(plain.find("crypto"), std::string::npos);

	for (SrtpMode mode : { SrtpMode::Optional, SrtpMode::Mandatory }) {
		std::string text = build_offer(srtp_local(mode), ours(), kTelephoneEventPt);
		const char *proto = mode == SrtpMode::Mandatory ? "RTP/SAVP" : "RTP/AVP";
		EXPECT_NE(text.find(std::string("m=audio 12000 ") + proto + " 0 3 101\r\n"), std::string::npos) << text;
		auto offer = parse_sdp(text);
		ASSERT_TRUE(offer);
		ASSERT_EQ(offer->media[0].crypto.size(), 1u) << text;
		const SdpCrypto &c = offer->media[0].crypto[0];
		EXPECT_EQ(c.tag, 1u);
		EXPECT_EQ(c.suite, "AES_CM_128_HMAC_SHA1_80");
		auto key = parse_srtp_key(c.suite, c.key_params, c.session_params);
		ASSERT_TRUE(key);
		EXPECT_EQ(key->material, kOurKey);
	}
}

TEST(SdpSrtp, OffersTakenByMode)
{
	const std::string good = crypto_line(1, "AES_CM_128_HMAC_SHA1_80");
	const std::string unusable = crypto_line(1, "AES_256_CM_HMAC_SHA1_80") +
				     crypto_line(2, "AES_CM_128_HMAC_SHA1_80", "|2^20|1:4") +
				     crypto_line(3, "AES_CM_128_HMAC_SHA1_80", " UNENCRYPTED_SRTP") +
				     "a=crypto:4 AES_CM_128_HMAC_SHA1_80 inline:c2hvcnQ=\r\n";
	struct Case {
		const char *what;
		std::string sdp;
		// per mode Off, Optional, Mandatory: 0 refused, 1 plain, 2 SRTP
		int off, optional, mandatory;
	} cases[] = {
		{ "plain", audio_offer("RTP/AVP", ""), 1, 1, 0 },
		{ "best effort", audio_offer("RTP/AVP", good), 1, 2, 2 },
		{ "SAVP", audio_offer("RTP/SAVP", good), 0, 2, 2 },
		{ "SAVP, no key", audio_offer("RTP/SAVP", ""), 0, 0, 0 },
		{ "SAVP, no key we take", audio_offer("RTP/SAVP", unusable), 0, 0, 0 },
		{ "best effort, no key we take", audio_offer("RTP/AVP", unusable), 1, 1, 0 },
		{ "usable after unusable", audio_offer("RTP/SAVP", unusable + good), 0, 2, 2 },
	};
	for (const Case &c : cases) {
		auto offer = parse_sdp(c.sdp);
		ASSERT_TRUE(offer) << c.what;
		int want[] = { c.off, c.optional, c.mandatory };
		SrtpMode modes[] = { SrtpMode::Off, SrtpMode::Optional, SrtpMode::Mandatory };
		for (int m = 0; m < 3; m++) {
			auto n = negotiate_offer(*offer, ours(), nullptr, modes[m]);
			int got = !n ? 0 : n->crypto ? 2 : 1;
			EXPECT_EQ(got, want[m]) << c.what << ", sip_srtp " << to_string(modes[m]);
			if (got == 2) {
				EXPECT_EQ(n->remote_key->material, std::vector<uint8_t>({ 1,  2,  3,  4,  5,  6,  7,  8,  9,  10,
											  11, 12, 13, 14, 15, 16, 17, 18, 19, 20,
											  21, 22, 23, 24, 25, 26, 27, 28, 29, 30 }));
				EXPECT_EQ(n->crypto->tag, 1u);
			}
		}
	}
	// Why a refusal was for SRTP's sake alone, and only then.
	EXPECT_EQ(srtp_refusal(*parse_sdp(audio_offer("RTP/AVP", "")), ours(), SrtpMode::Mandatory),
		  "it offers no SRTP key that the console takes, and sip_srtp is mandatory");
	EXPECT_EQ(srtp_refusal(*parse_sdp(audio_offer("RTP/SAVP", good)), ours(), SrtpMode::Off),
		  "it asks for SRTP, and sip_srtp is off");
	EXPECT_EQ(srtp_refusal(*parse_sdp(audio_offer("RTP/SAVP", good)), { callfw::gsm0610() }, SrtpMode::Off), "");
	EXPECT_EQ(srtp_refusal(*parse_sdp(audio_offer("RTP/AVP", "")), ours(), SrtpMode::Off), "");
}

TEST(SdpSrtp, AnswerTakesTheOffersTagSuiteAndProto)
{
	auto offer = parse_sdp(audio_offer("RTP/SAVP", crypto_line(7, "AES_CM_128_HMAC_SHA1_32") +
							   crypto_line(8, "AES_CM_128_HMAC_SHA1_80")));
	auto n = negotiate_offer(*offer, ours(), nullptr, SrtpMode::Optional);
	ASSERT_TRUE(n && n->crypto);
	EXPECT_EQ(n->remote_key->suite, "AES_CM_128_HMAC_SHA1_32"); // the offerer's first choice
	std::string answer = build_answer(srtp_local(SrtpMode::Optional), *offer, *n);
	EXPECT_NE(answer.find("m=audio 12000 RTP/SAVP 0 101\r\n"), std::string::npos) << answer;
	auto back = parse_sdp(answer);
	ASSERT_TRUE(back);
	ASSERT_EQ(back->media[0].crypto.size(), 1u) << answer;
	EXPECT_EQ(back->media[0].crypto[0].tag, 7u);
	EXPECT_EQ(back->media[0].crypto[0].suite, "AES_CM_128_HMAC_SHA1_32");
	EXPECT_EQ(parse_srtp_key("AES_CM_128_HMAC_SHA1_32", back->media[0].crypto[0].key_params, "")->material,
		  kOurKey);

	// A plain answer to a plain offer says nothing of keys.
	auto plain = parse_sdp(audio_offer("RTP/AVP", ""));
	auto p = negotiate_offer(*plain, ours(), nullptr, SrtpMode::Optional);
	ASSERT_TRUE(p);
	EXPECT_EQ(build_answer(srtp_local(SrtpMode::Optional), *plain, *p).find("crypto"), std::string::npos);
}

TEST(SdpSrtp, AnswersToOurOffer)
{
	auto answer = [](const char *proto, const std::string &crypto, SrtpMode mode) {
		return negotiate_answer(*parse_sdp(audio_offer(proto, crypto)), ours(), kTelephoneEventPt, mode);
	};
	const std::string good = crypto_line(1, "AES_CM_128_HMAC_SHA1_80");
	auto n = answer("RTP/AVP", good, SrtpMode::Optional);
	ASSERT_TRUE(n && n->crypto && n->remote_key);
	EXPECT_EQ(n->remote_key->suite, "AES_CM_128_HMAC_SHA1_80");
	EXPECT_TRUE(answer("RTP/SAVP", good, SrtpMode::Mandatory)->crypto);
	// Best effort: no key in the answer, plain RTP.
	n = answer("RTP/AVP", "", SrtpMode::Optional);
	ASSERT_TRUE(n);
	EXPECT_FALSE(n->crypto);
	EXPECT_FALSE(answer("RTP/AVP", "", SrtpMode::Mandatory));
	// A key for a line or suite we did not offer: it would send what we
	// could not check.
	EXPECT_FALSE(answer("RTP/AVP", crypto_line(2, "AES_CM_128_HMAC_SHA1_80"), SrtpMode::Optional));
	EXPECT_FALSE(answer("RTP/AVP", crypto_line(1, "AES_CM_128_HMAC_SHA1_32"), SrtpMode::Optional));
	EXPECT_FALSE(answer("RTP/SAVP", "", SrtpMode::Optional)); // encrypted, but with what?
	// Without SRTP, an encrypted answer is none.
	EXPECT_FALSE(answer("RTP/SAVP", good, SrtpMode::Off));
	EXPECT_FALSE(answer("RTP/AVP", good, SrtpMode::Off)->crypto);
}

TEST(SdpSrtp, KeyParametersAndModes)
{
	auto key = [](const std::string &params, const char *session = "") {
		return parse_srtp_key("AES_CM_128_HMAC_SHA1_80", params, session).has_value();
	};
	const std::string inline_key = std::string("inline:") + kTheirKey;
	EXPECT_TRUE(key(inline_key));
	EXPECT_TRUE(key(inline_key + "|2^20"));             // a lifetime
	EXPECT_TRUE(key(inline_key, "UNENCRYPTED_SRTCP"));  // no RTCP here
	EXPECT_FALSE(key(inline_key + "|2^20|1:4"));        // a key index
	EXPECT_FALSE(key(inline_key + "|1:4"));
	EXPECT_FALSE(key(inline_key + ";" + inline_key));   // two keys
	EXPECT_FALSE(key(inline_key, "UNAUTHENTICATED_SRTP"));
	EXPECT_FALSE(key(inline_key, "WSH=64 KDR=10"));
	EXPECT_FALSE(key(std::string("uri:") + kTheirKey));
	EXPECT_FALSE(key("inline:AQIDBAUGBwgJCgsMDQ4PEBESExQVFhcYGRobHB0eHyA=")); // 32 bytes
	EXPECT_FALSE(key("inline:!!!!"));
	EXPECT_FALSE(parse_srtp_key("AES_256_CM_HMAC_SHA1_80", inline_key, ""));
	EXPECT_EQ(srtp_key_params(kOurKey).size(), 7u + 40u);

	EXPECT_EQ(parse_srtp_mode("Mandatory"), SrtpMode::Mandatory);
	EXPECT_EQ(parse_srtp_mode("optional"), SrtpMode::Optional);
	EXPECT_EQ(parse_srtp_mode("off"), SrtpMode::Off);
	EXPECT_FALSE(parse_srtp_mode("on"));
	EXPECT_FALSE(parse_srtp_mode(""));
	auto made = make_srtp_material();
	ASSERT_TRUE(made);
	EXPECT_EQ(made->size(), kSrtpKeyBytes);
	EXPECT_NE(*made, *make_srtp_material());
}
