// The intercom endpoint's pieces that need no bus: frames, the transmit
// queue, and the rules for parties, pacing, numbers, reset reports and the
// lines of the control FIFO.
#include <gtest/gtest.h>

#include <cstring>

#include "command_fifo.h"
#include "rs485_endpoint.h"
#include "util.h"

using namespace rs485;

namespace {

std::vector<uint8_t> wire(const RS485Frame &f)
{
	std::vector<uint8_t> out(f.WireSize());
	f.Serialize(out.data());
	return out;
}

TEST(RS485Frame, FramesOnTheWireCheckToZero)
{
	// A poll of intercom 70: bus address 6 on the wire, L = 2.
	uint8_t flags = 3;
	auto poll = wire(RS485Frame(70, CMD_STATUS, &flags, 1, 1, 0));
	ASSERT_EQ(poll.size(), 5u);
	EXPECT_EQ(std::vector<uint8_t>(poll.begin(), poll.end() - 1), (std::vector<uint8_t>{ 6, 2, 2, 3 }));
	EXPECT_EQ(poll[4], crc8_smbus(poll.data(), 4));
	EXPECT_EQ(crc8_smbus(poll.data(), poll.size()), 0);

	// "rel 5 1": five bytes with the CRC.
	uint8_t one = 1;
	auto rel = wire(RS485Frame(5, CMD_REL, &one, 1, 1, 0));
	EXPECT_EQ(rel.size(), 5u);
	EXPECT_EQ(rel[2], CMD_REL);
	EXPECT_EQ(rel[3], 1);

	// Audio leaves the poll slot to the transceiver; no data at all is L = 1.
	uint8_t audio[160];
	memset(audio, 0x55, sizeof(audio));
	RS485Frame out(3, CMD_AUDIO_OUT, audio, 160, 0, 1);
	EXPECT_EQ(out.length, 162);
	EXPECT_EQ(out.payload[1], 0x55);
	EXPECT_EQ(RS485Frame(3, CMD_RESET, nullptr, 0, 0, 0).WireSize(), 4u);
	// Data beyond the payload is cut, never written past it.
	uint8_t big[255] = {};
	EXPECT_EQ(RS485Frame(3, CMD_AUDIO_OUT, big, 255, 0, 1).length, 255);
}

TEST(RS485TxQueue, PriorityOrderMergingAndBound)
{
	RS485TxQueue q;
	uint8_t v = 0;
	auto push = [&](uint8_t address, uint8_t command, uint8_t priority) {
		return q.Push(RS485Frame(address, command, &v, 1, priority, 0));
	};
	push(1, CMD_REL, 1);
	push(2, CMD_AUDIO_OUT, 0);
	push(3, CMD_CLC, 1);
	push(4, CMD_AUDIO_IN, 0);
	// A second request for intercom 4 is already waiting; one for 5 is not.
	EXPECT_EQ(push(4, CMD_AUDIO_IN, 0), RS485TxQueue::Result::Merged);
	EXPECT_EQ(push(5, CMD_AUDIO_IN, 0), RS485TxQueue::Result::Queued);
	// A request of a lower priority does not look past the higher ones.
	EXPECT_EQ(push(9, CMD_AUDIO_IN, 1), RS485TxQueue::Result::Queued);
	EXPECT_EQ(push(9, CMD_AUDIO_IN, 0), RS485TxQueue::Result::Queued);

	std::vector<int> order;
	RS485Frame f(0, 0, nullptr, 0, 0, 0);
	while (q.Pop(f))
		order.push_back(f.address);
	EXPECT_EQ(order, (std::vector<int>{ 2, 4, 5, 9, 1, 3, 9 }));

	for (int i = 0; i < 509; i++)
		ASSERT_EQ(push((uint8_t)(i & 127), CMD_REL, 1), RS485TxQueue::Result::Queued) << i;
	EXPECT_EQ(push(1, CMD_REL, 0), RS485TxQueue::Result::Full);
	EXPECT_EQ(q.Size(), 509u);
	q.Clear();
	EXPECT_FALSE(q.Pop(f));
}

TEST(RS485Rules, PartiesNumbersAndBauds)
{
	auto ic = [](const char *party) { return parse_party(party); };
	EXPECT_EQ(ic("rs485:rs12").address, 12);
	EXPECT_FALSE(ic("rs485:rs12").listen_only);
	EXPECT_EQ(ic("rs12").address, 12);
	EXPECT_EQ(ic("rs485:rs1012").address, 12);
	EXPECT_TRUE(ic("rs485:rs1012").listen_only);
	EXPECT_EQ(ic("rs485:rs012").address, 10); // octal
	EXPECT_EQ(ic("rs485:rs0x1f").address, 31);
	EXPECT_EQ(ic("rs485:rs200").address, 200); // on no bus
	EXPECT_EQ(ic("rs485:rs300").address, 44);  // the low 8 bits
	EXPECT_EQ(ic("rs485:rs").address, 0);
	EXPECT_EQ(ic("r").address, 0);

	EXPECT_EQ(parse_number("0x10"), 16u);
	EXPECT_EQ(parse_number("010"), 8u);
	EXPECT_EQ(parse_number("08"), 0u);
	EXPECT_EQ(parse_number("12abc"), 12u);
	EXPECT_EQ(parse_number("abc"), 0u);
	EXPECT_EQ(parse_number(""), 0u);
	EXPECT_EQ(parse_number("-5"), 0u);
	EXPECT_EQ(parse_number("99999999999999999999999"), UINT64_MAX);

	BaudItem b[2] = {};
	EXPECT_EQ(parse_baud_list("9600", b), 1u);
	EXPECT_TRUE(b[0].valid);
	EXPECT_EQ(b[0].rate, 9600u);
	EXPECT_EQ(parse_baud_list(",57600", b), 1u);
	EXPECT_EQ(b[0].rate, 57600u);
	EXPECT_EQ(parse_baud_list("9600,,57600,300", b), 2u); // a third item is nobody's
	EXPECT_EQ(b[1].rate, 57600u);
	EXPECT_TRUE(b[1].valid);
	EXPECT_EQ(parse_baud_list("", b), 0u);
	// Any base; 0 leaves the port as it is; the ends of the range.
	EXPECT_EQ(parse_baud_list("0x2580,0", b), 2u);
	EXPECT_TRUE(b[0].valid && b[1].valid);
	EXPECT_EQ(b[0].rate, 9600u);
	EXPECT_EQ(b[1].rate, 0u);
	EXPECT_EQ(parse_baud_list("1200,4000000", b), 2u);
	EXPECT_TRUE(b[0].valid && b[1].valid);
	EXPECT_EQ(b[1].rate, 4000000u);
	// No rate the ports can take, or no number at all.
	for (const char *bad : { "1", "1199", "4000001", "4294967296", "99999999999999999999999", "abc", "9600abc",
				 "08", "0x", "-9600", "+9600", " 9600" }) {
		const std::string list = std::string("115200,") + bad;
		ASSERT_EQ(parse_baud_list(list, b), 2u) << bad;
		EXPECT_TRUE(b[0].valid) << bad;
		EXPECT_FALSE(b[1].valid) << bad;
		EXPECT_EQ(b[1].text, std::string_view(bad));
	}
}

// What the intercom's two pacing counts ask for, in microseconds a frame.
TEST(RS485Rules, PacingFollowsTheIntercom)
{
	const struct {
		uint16_t a, b;
		int64_t us;
	} cases[] = {
		{ 0, 0, 18000 },     { 0, 500, 18000 },   { 80, 80, 20000 },     { 40, 160, 22000 },
		{ 100, 160, 22000 }, { 100, 260, 20000 }, { 65535, 65535, 20002 },
		// Outside the model (b below 160): held to the slowest pace
		// rather than a frame every 662 ms.
		{ 161, 0, 22000 },
	};
	for (const auto &c : cases)
		EXPECT_EQ(pacing_interval_us(c.a, c.b), c.us) << c.a << "," << c.b;
}

TEST(RS485Rules, ResetReports)
{
	// A cause that changed on a present intercom, unless bit 0 says not to.
	const uint16_t present = 0x8000;
	EXPECT_EQ(reset_report(5, present, 0, 0x02), "\nrs5 RCAUSE 0x2 (BOD12)");
	EXPECT_EQ(reset_report(5, present, 0, 0x03), "");
	EXPECT_EQ(reset_report(5, present, 0, 0x20), "\nrs5 RCAUSE 0x20 (WDT)");
	EXPECT_EQ(reset_report(5, present, 0, 0x24), "\nrs5 RCAUSE 0x24 (BOD33)");
	EXPECT_EQ(reset_report(9, present, 0, 0x40), "\nrs9 RCAUSE 0x40");
	EXPECT_EQ(reset_report(5, present | 0x02 << 8, 0, 0x02), ""); // unchanged
	EXPECT_EQ(reset_report(5, 0, 0, 0x02), "");                   // came back: recorded only
}

TEST(RS485Rules, ControlLinesSplitAtEverySeparator)
{
	using V = std::vector<std::string_view>;
	EXPECT_EQ(split_words("rel 5 1"), (V{ "rel", "5", "1" }));
	EXPECT_EQ(split_words("rel  5 1"), (V{ "rel", "", "5", "1" }));
	EXPECT_EQ(split_words("bauds\t9600,57600"), (V{ "bauds", "9600,57600" }));
	EXPECT_EQ(split_words("hbt"), (V{ "hbt" }));
}

TEST(RS485Rules, ControlLinesAreWholeAcrossReads)
{
	CommandLines lines(ControlFifo::kLineMax, CommandLines::Ends::Any);
	std::vector<std::string> got;
	const auto t0 = CommandLines::Clock::now();
	auto feed = [&](std::string_view bytes, int ms) {
		lines.feed(bytes.data(), bytes.size(), t0 + std::chrono::milliseconds(ms),
			   [&](std::string_view line) { got.emplace_back(line); });
	};

	// CR, LF and CR LF each end one line; a line cut between two reads of
	// a writer that stays is one line.
	feed("rel 5", 0);
	feed(" 1\r\nhbt\rclc 3\n\r", 200);
	feed("\nled 0\r", 300);
	feed("\nprod 1 2\n", 2000); // the LF of an old CR LF
	EXPECT_EQ(got, (std::vector<std::string>{ "rel 5 1", "hbt", "clc 3", "", "led 0", "prod 1 2" }));

	// What a writer leaves unfinished when it goes is no command.
	got.clear();
	feed("rel 3 9", 3000);
	EXPECT_FALSE(lines.empty());
	lines.writer_gone();
	EXPECT_TRUE(lines.empty());
	feed("9\n", 3100);
	EXPECT_EQ(got, (std::vector<std::string>{ "9" }));

	// Nor is one that waited longer than a second while more came.
	got.clear();
	feed("rel 3", 4000);
	feed(" 9\nhbt\n", 5001);
	EXPECT_EQ(got, (std::vector<std::string>{ " 9", "hbt" }));

	// One byte over the limit: the line is dropped whole, up to its end.
	got.clear();
	std::string overlong(ControlFifo::kLineMax + 1, 'x');
	feed(overlong, 6000);
	feed("yy\nled 0\n", 6000);
	overlong.pop_back();
	feed(overlong + "\n", 6000);
	EXPECT_EQ(got, (std::vector<std::string>{ "led 0", overlong }));
}

TEST(RS485Reports, AFloodIsSaidOnceThenCounted)
{
	callfw::RepeatedReport report("Corrupted packet");
	const auto t0 = Clock::now();
	EXPECT_TRUE(report.occurred(t0));
	EXPECT_EQ(report.summary(t0), "");
	for (int i = 1; i <= 300; i++)
		EXPECT_FALSE(report.occurred(t0 + std::chrono::milliseconds(10 * i)));
	// Nothing more until the interval has passed; then the count, once.
	EXPECT_EQ(report.summary(t0 + std::chrono::milliseconds(4999)), "");
	EXPECT_EQ(report.summary(t0 + std::chrono::seconds(5)), "\nCorrupted packet: 300 more in 5 s");
	EXPECT_EQ(report.summary(t0 + std::chrono::seconds(20)), "");
	// Still flooding: counted again, said as a count again.
	EXPECT_FALSE(report.occurred(t0 + std::chrono::seconds(6)));
	EXPECT_EQ(report.summary(t0 + std::chrono::seconds(11)), "\nCorrupted packet: 1 more in 6 s");
	// After a quiet interval a new episode is said whole.
	EXPECT_TRUE(report.occurred(t0 + std::chrono::seconds(30)));
	// A count not yet said is never lost to a new episode.
	EXPECT_FALSE(report.occurred(t0 + std::chrono::seconds(31)));
	EXPECT_FALSE(report.occurred(t0 + std::chrono::seconds(40)));
	EXPECT_EQ(report.summary(t0 + std::chrono::seconds(40)), "\nCorrupted packet: 2 more in 10 s");
}

TEST(RS485Frame, FramesComeWholeByTheirLength)
{
	const uint8_t held[] = { 3, 2, 2, 0x41, 0x99, 7 };
	EXPECT_EQ(rs485_complete_frame(held, 2), 0u);
	EXPECT_EQ(rs485_complete_frame(held, 4), 0u);
	EXPECT_EQ(rs485_complete_frame(held, 5), 5u);
	EXPECT_EQ(rs485_complete_frame(held, 6), 5u);
	const uint8_t longest[] = { 3, 255, 5 };
	EXPECT_EQ(rs485_complete_frame(longest, 3), 0u);
}

} // namespace
