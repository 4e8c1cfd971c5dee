// What the daemon and the console say to each other: each channel held
// against its bytes as they are on the wire and in the files, and each
// builder read back by its reader (the console's own command interpreter
// for the pipe).
#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include "command_fifo.h"
#include "console_link.h"
#include "kel_cli.h"
#include "rs485_endpoint.h"
#include "tmpdir.h"

namespace {

std::string text(const console_line &line)
{
	return std::string(line.text, line.len);
}

TEST(ConsoleLink, CommandLinesAsTheyAreWritten)
{
	EXPECT_EQ(text(console_line_call(3)), "call rs3\n");
	EXPECT_EQ(text(console_line_call(127)), "call rs127\n");
	EXPECT_EQ(text(console_line_hangup()), "hangup\n");
	EXPECT_EQ(text(console_line_tcmd(CONSOLE_TR_ON)), "tcmd tr_on\n");
	EXPECT_EQ(text(console_line_tcmd(CONSOLE_TR_OFF)), "tcmd tr_off\n");
	EXPECT_EQ(text(console_line_tcmd(CONSOLE_TR_AUTO)), "tcmd tr_auto\n");
}

// Each line as the console reads it from its pipe: cut into lines, split
// into words, handed to the command of its first word.
TEST(ConsoleLink, CommandLinesReachTheirCommands)
{
	std::vector<std::pair<std::string, std::vector<std::string>>> got;
	std::string output;
	KelCLI cli("", [&](const std::string &t) { output += t; });
	for (const char *word : { CONSOLE_CMD_CALL, CONSOLE_CMD_HANGUP, CONSOLE_CMD_TCMD })
		cli.SetCommand(word, [&got, word](KelCLI::Arguments &a) { got.emplace_back(word, a.Words()); }, "", "");
	CommandLines lines(4096, CommandLines::Ends::Newline);
	auto send = [&](const console_line &line) {
		lines.feed(line.text, line.len, CommandLines::Clock::now(),
			   [&](std::string_view l) { cli.ProcessLine(std::string(l)); });
	};

	send(console_line_call(70));
	send(console_line_tcmd(CONSOLE_TR_OFF));
	send(console_line_hangup());
	ASSERT_EQ(got.size(), 3u) << output;
	EXPECT_EQ(got[0].first, CONSOLE_CMD_CALL);
	ASSERT_EQ(got[0].second.size(), 1u);
	// The party the console calls: intercom 70, to be heard both ways.
	const rs485::PartyAddress to = rs485::parse_party(got[0].second[0]);
	EXPECT_EQ(to.address, 70);
	EXPECT_FALSE(to.listen_only);
	EXPECT_EQ(got[1].first, CONSOLE_CMD_TCMD);
	ASSERT_EQ(got[1].second.size(), 1u);
	EXPECT_EQ(console_tr_parse(got[1].second[0].c_str()), CONSOLE_TR_OFF);
	EXPECT_EQ(got[2], (std::pair<std::string, std::vector<std::string>>{ CONSOLE_CMD_HANGUP, {} }));

	// The console takes its words in any case; others are no mode.
	EXPECT_EQ(console_tr_parse("TR_AUTO"), CONSOLE_TR_AUTO);
	EXPECT_EQ(console_tr_parse("tr_on"), CONSOLE_TR_ON);
	EXPECT_EQ(console_tr_parse("tr_"), -EINVAL);
	EXPECT_EQ(console_tr_parse("duplex"), -EINVAL);
}

TEST(ConsoleLink, StatesFileAsItIsWritten)
{
	ic_states s{};
	char buf[IC_STATES_MAX + 1];

	// Nothing present, nothing tested, no call.
	ic_states_format(&s, buf, sizeof(buf));
	EXPECT_STREQ(buf, "# cb_cur,inp1,inp2,rel,pulses,audio,cb_pend,rcause\n# res,time\ncall=0\n");

	s.state[3] = IC_STATE_PRESENT | IC_INP1;
	s.state[70] = IC_STATE_PRESENT | 0x20 << 8 | IC_AUDIO;
	s.state[127] = 0xFFFF; // every bit: bit 4 never shows, the cause is 7 bits
	s.tested[40] = true;
	s.test_level[40] = (uint16_t)ic_test_level(1024);
	s.test_age[40] = 7;
	s.tested[0] = true;
	s.test_level[0] = (uint16_t)ic_test_level(1023);
	s.call = IC_CALL_LOCAL;
	const size_t n = ic_states_format(&s, buf, sizeof(buf));
	const char *want = "# cb_cur,inp1,inp2,rel,pulses,audio,cb_pend,rcause\n"
			   "rs3=0,1,0,0,0,0,0,0\n"
			   "rs70=0,0,0,0,0,1,0,32\n"
			   "rs127=1,1,1,1,1,1,1,127\n"
			   "# res,time\n"
			   "test0=24,0\n"
			   "test40=25,7\n"
			   "call=1\n";
	EXPECT_STREQ(buf, want);
	EXPECT_EQ(n, strlen(want));

	// Cut to the buffer, the whole length told.
	char small[20];
	EXPECT_EQ(ic_states_format(&s, small, sizeof(small)), n);
	EXPECT_EQ(std::string(small), std::string(want, sizeof(small) - 1));
}

TEST(ConsoleLink, StatesFileReadBack)
{
	ic_states s{}, back;
	char buf[IC_STATES_MAX + 1];

	for (unsigned a = 0; a < IC_STATES_INTERCOMS; a++) {
		s.state[a] = a % 3 ? (uint16_t)(IC_STATE_PRESENT | (a & 0x7F) << 8 | ((a * 37) & 0xEF)) : 0;
		s.tested[a] = a % 5 == 0;
		s.test_level[a] = s.tested[a] ? (uint16_t)ic_test_level((uint16_t)(a * 511)) : 0;
		s.test_age[a] = s.tested[a] ? a * 1000003ull : 0;
	}
	for (int call : { IC_CALL_NONE, IC_CALL_LOCAL, IC_CALL_OTHER }) {
		s.call = call;
		ASSERT_LE(ic_states_format(&s, buf, sizeof(buf)), (size_t)IC_STATES_MAX);
		ic_states_parse(buf, &back);
		EXPECT_EQ(memcmp(back.state, s.state, sizeof(s.state)), 0);
		for (unsigned a = 0; a < IC_STATES_INTERCOMS; a++)
			ASSERT_EQ(back.fields[a], s.state[a] ? 8 : 0) << a;
		EXPECT_EQ(memcmp(back.tested, s.tested, sizeof(s.tested)), 0);
		EXPECT_EQ(memcmp(back.test_level, s.test_level, sizeof(s.test_level)), 0);
		EXPECT_EQ(memcmp(back.test_age, s.test_age, sizeof(s.test_age)), 0);
		EXPECT_EQ(back.call, call);
	}

	// The inputs: the fields after the call button, as fireman's mode
	// takes them.
	s = ic_states{};
	s.state[5] = IC_STATE_PRESENT | IC_CB_CUR | IC_INP2 | IC_CB_PEND;
	ic_states_format(&s, buf, sizeof(buf));
	ic_states_parse(buf, &back);
	EXPECT_EQ(ic_states_input(&back, 5, 0), 0);
	EXPECT_EQ(ic_states_input(&back, 5, 1), 1);
	EXPECT_EQ(ic_states_input(&back, 5, 5), 1);
	EXPECT_EQ(ic_states_input(&back, 5, 6), -1); // the reset cause is no input
	EXPECT_EQ(ic_states_input(&back, 6, 0), -1); // not listed
	EXPECT_EQ(ic_states_input(&back, 128, 0), -1);

	// What a file that is not whole, or not the console's, says: a line
	// gives the fields it has.
	ic_states_parse("", &back);
	EXPECT_EQ(back.call, IC_CALL_NONE);
	ic_states_parse("rs3=0,1\nrs4=0,\nrs5=\nrs6=0,10,x,1,1,1,1,1,1\nrs200=0,1,0,0,0,0,0,0\ncall=2", &back);
	EXPECT_EQ(ic_states_input(&back, 3, 0), 1);
	EXPECT_EQ(ic_states_input(&back, 3, 1), -1);
	EXPECT_EQ(ic_states_input(&back, 4, 0), 0);
	EXPECT_EQ(ic_states_input(&back, 5, 0), -1);
	EXPECT_EQ(ic_states_input(&back, 6, 0), 1); // begins with a 1
	EXPECT_EQ(ic_states_input(&back, 6, 1), 0);
	EXPECT_EQ(ic_states_input(&back, 6, 5), 1);
	EXPECT_EQ(back.call, IC_CALL_OTHER);
	ic_states_parse("call=x\ncall=1\n", &back);
	EXPECT_EQ(back.call, -1);
}

TEST(ConsoleLink, StatesFileReplacedWhole)
{
	TmpDir dir;
	std::filesystem::create_directories(dir.path("run"));
	const std::string path = dir.path("run/parlod-ic-states");
	ic_states_file file{};

	EXPECT_FALSE(ic_states_in_place(&file));
	ASSERT_EQ(ic_states_publish(&file, "one\n", 4), 0);
	EXPECT_EQ(dir.read("run/parlod-ic-states"), "one\n");
	struct stat st;
	ASSERT_EQ(stat(path.c_str(), &st), 0);
	EXPECT_EQ(st.st_mode & 07777, 0660u);
	// A reader that holds the old version sees that it has no name left,
	// and finds the new one at the path.
	const int held = open(path.c_str(), O_RDONLY);
	ASSERT_GE(held, 0);
	ASSERT_EQ(ic_states_publish(&file, "two\n", 4), 0);
	ASSERT_EQ(fstat(held, &st), 0);
	EXPECT_EQ(st.st_nlink, 0u);
	close(held);
	EXPECT_EQ(dir.read("run/parlod-ic-states"), "two\n");
	EXPECT_TRUE(ic_states_in_place(&file));
	// Nothing else is left in its directory.
	EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path("run")), {}), 1);

	// What has taken its place is not removed.
	dir.write("run/other", "someone else's\n");
	std::filesystem::rename(dir.path("run/other"), path);
	EXPECT_FALSE(ic_states_in_place(&file));
	ic_states_remove(&file);
	EXPECT_EQ(dir.read("run/parlod-ic-states"), "someone else's\n");
	ASSERT_EQ(ic_states_publish(&file, "", 0), 0);
	ic_states_remove(&file);
	EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(ConsoleLink, SpeakerStateFile)
{
	TmpDir dir;
	std::filesystem::create_directories(dir.path("var/run"));

	EXPECT_FALSE(speaker_state_present());
	const int fd = speaker_state_create();
	ASSERT_GE(fd, 0);
	EXPECT_TRUE(speaker_state_present());
	struct stat st;
	ASSERT_EQ(stat(dir.path("var/run/parlod.spk").c_str(), &st), 0);
	EXPECT_EQ(st.st_mode & 07777, 0444u);
	EXPECT_EQ(speaker_state_write(fd, true), 0);
	EXPECT_EQ(dir.read("var/run/parlod.spk"), "1");
	EXPECT_EQ(speaker_state_write(fd, false), 0);
	EXPECT_EQ(dir.read("var/run/parlod.spk"), "0");
	EXPECT_EQ(speaker_state_write(-1, true), 0); // none: nothing
	speaker_state_remove(fd);
	EXPECT_FALSE(speaker_state_present());
	// Removed even when it was made by someone else.
	dir.write("var/run/parlod.spk", "1");
	speaker_state_remove(-1);
	EXPECT_FALSE(speaker_state_present());
}

} // namespace
