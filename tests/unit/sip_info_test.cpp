#include <gtest/gtest.h>

#include "user_input.h"

using namespace sipep;

namespace {

TEST(InfoBody, TextOfAnyTextType)
{
	auto in = parse_info_body("text", "plain", "vol_spk 120\r\n");
	EXPECT_EQ(in.kind, InfoInput::Text);
	EXPECT_EQ(in.text, "vol_spk 120");
	// Blanks inside and in front are the sender's: the command processor
	// splits at each of them.
	in = parse_info_body("TEXT", "x-anything", " tr_on\t1\n\n");
	EXPECT_EQ(in.kind, InfoInput::Text);
	EXPECT_EQ(in.text, " tr_on\t1");
	EXPECT_EQ(parse_info_body("text", "plain", "\r\n").kind, InfoInput::Nothing);
	EXPECT_EQ(parse_info_body("", "", "").kind, InfoInput::Nothing);
}

TEST(InfoBody, DtmfRelayKey)
{
	struct {
		const char *body;
		InfoInput::Kind kind;
		const char *text;
	} cases[] = {
		{ "Signal=5\r\nDuration=160\r\n", InfoInput::Text, "5" },
		{ "Duration=160\r\nsignal = #\r\n", InfoInput::Text, "#" },
		{ "Signal=d", InfoInput::Text, "D" },
		{ "Signal=10\r\n", InfoInput::Text, "*" }, // as event numbers
		{ "Signal=11\r\n", InfoInput::Text, "#" },
		{ "Signal=15\r\n", InfoInput::Text, "D" },
		{ "Signal=16\r\n", InfoInput::Malformed, "" },
		{ "Signal=x\r\n", InfoInput::Malformed, "" },
		{ "Signal=\r\n", InfoInput::Malformed, "" },
		{ "Duration=160\r\n", InfoInput::Malformed, "" },
		{ "", InfoInput::Malformed, "" },
	};
	for (auto &c : cases) {
		auto in = parse_info_body("application", "DTMF-Relay", c.body);
		EXPECT_EQ(in.kind, c.kind) << c.body;
		EXPECT_EQ(in.text, c.text) << c.body;
	}
}

TEST(InfoBody, OtherTypesCarryNoInput)
{
	EXPECT_EQ(parse_info_body("application", "media_control+xml", "<x/>").kind, InfoInput::Unsupported);
	EXPECT_EQ(parse_info_body("application", "dtmf", "5").kind, InfoInput::Unsupported);
	EXPECT_EQ(parse_info_body("", "", "stray body").kind, InfoInput::Unsupported);
}

} // namespace
