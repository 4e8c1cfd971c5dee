// The CIO loop's parts against a board of the test's own: the address list,
// the driver table, the line actions and the dispatcher's commands.
#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>
#include <zlib.h>

#include "cfg.h"
#include "cio/cio_ops.h"
#include "cio/loop.h"
#include "private_ipc.h"
#include "tmpdir.h"

namespace {

// What the fake board was asked to do, one entry a call: "si 255",
// "read 328", "read 17400 buf", ...
struct FakeBoard {
	int lines = 8;
	std::vector<std::string> log;
	uint8_t fill = 0;      // what read() stores, or
	bool counting = true;  // the sample number
	int64_t latency = 0;   // what read() reports
	std::string fail;      // the call (by its log text) that fails with -EIO
	uint64_t window = 0;   // ns_to_send; 0: absent
};

FakeBoard *fb;

int fake(const std::string &what)
{
	fb->log.push_back(what);
	return what == fb->fail ? -EIO : 0;
}

int fake_si(uint8_t mask) { return fake("si " + std::to_string(mask)); }
int fake_delay(unsigned ms) { return fake("delay " + std::to_string(ms)); }
int fake_filter(bool on) { return fake("filter " + std::to_string(on)); }
int fake_sound(int line) { return fake("sound " + std::to_string(line)); }
int fake_four_wire(bool on) { return fake("4wire " + std::to_string(on)); }
int fake_freq(unsigned rate) { return fake("freq " + std::to_string(rate)); }
int fake_lines(void) { return fb->lines; }
int fake_pkt_ch(int line) { return fake("pktch " + std::to_string(line)); }
int fake_pkt_prepare(const uint8_t *bytes, unsigned count)
{
	std::string hex;
	for (unsigned i = 0; i < count; i++) {
		hex += "0123456789abcdef"[bytes[i] >> 4];
		hex += "0123456789abcdef"[bytes[i] & 15];
	}
	return fake("prepare " + hex);
}
int fake_pkt_send(void) { return fake("send"); }
int fake_mod_voltage(uint8_t line, int32_t *volts)
{
	*volts = 60 + line;
	return 0;
}
uint64_t fake_window(void) { return fb->window; }

// The bytes read() fills: one sample a byte on 8 lines, two on 4, four on 2.
unsigned sample_bytes(int lines, unsigned count)
{
	return lines == 8 ? count : lines == 4 ? (count + 1) / 2 : (count + 3) / 4;
}

int64_t fake_read(uint8_t *buf, unsigned count)
{
	int r = fake("read " + std::to_string(count) + (buf ? " buf" : ""));

	if (r < 0)
		return r;
	for (unsigned i = 0; buf && i < sample_bytes(fb->lines, count); i++)
		buf[i] = fb->counting ? (uint8_t)i : fb->fill;
	return fb->latency;
}

cio_ops fake_ops(bool delay, bool packets)
{
	cio_ops o = {};
	o.si = fake_si;
	o.delay = delay ? fake_delay : nullptr;
	o.filter_en = fake_filter;
	o.sound_set = fake_sound;
	o.mod_four_wire = fake_four_wire;
	o.freq_set = fake_freq;
	o.num_phys_ch = fake_lines;
	o.read = fake_read;
	o.mod_voltage = fake_mod_voltage;
	if (packets) {
		o.pkt_set_ch = fake_pkt_ch;
		o.pkt_prepare = fake_pkt_prepare;
		o.pkt_send = fake_pkt_send;
	}
	o.ns_to_send = fb && fb->window ? fake_window : nullptr;
	return o;
}

std::vector<std::string> lines_of(std::initializer_list<const char *> l)
{
	return std::vector<std::string>(l.begin(), l.end());
}

class Cio : public ::testing::Test {
protected:
	PrivateIpc ipc;
	shared_state &s = ipc.state();
	FakeBoard board;
	cio_ops ops = {};
	cio_loop l = {};

	void SetUp() override
	{
		ASSERT_TRUE(ipc.ok());
		s.read_freq = 16384;
		s.si_dur_main = 20;
		s.zlib_level = -1;
		use(8, false, true);
	}
	void TearDown() override
	{
		cio_msg_free(&l.packed);
		cio_msg_free(&l.reply);
		fb = nullptr;
	}

	void use(int lines, bool delay, bool packets, uint64_t window = 0)
	{
		fb = &board;
		board.lines = lines;
		board.window = window;
		ops = fake_ops(delay, packets);
		l.cioo = &ops;
		l.lines = lines;
	}

	// The recording of the data packet; its header checked on the way.
	std::vector<uint8_t> recording(char flag = '0')
	{
		const uint8_t *p = l.packed.buf;
		std::vector<uint8_t> out(70000);
		uLongf n = out.size();

		EXPECT_NE(p, nullptr);
		if (!p)
			return {};
		EXPECT_EQ(std::string((const char *)p, 3), std::string("TC") + flag);
		EXPECT_EQ((size_t)(p[3] << 8 | p[4]) + 5, l.packed.len);
		EXPECT_EQ(uncompress(out.data(), &n, p + 5, l.packed.len - 5), Z_OK);
		out.resize(n);
		return out;
	}
};

TEST_F(Cio, AddressListSeparatorsAndRotation)
{
	ASSERT_EQ(minicio_register_server("alpha, 10.0.0.2;;x_y"), 0);
	EXPECT_EQ(s.serv_sock_close, 1);
	EXPECT_EQ(s.addr_len, 21);
	EXPECT_EQ(s.addr_pos, 0);
	EXPECT_EQ(std::string(s.addr_server, 20), std::string("alpha\0\0" "10.0.0.2\0\0x\0y", 20));
	// Each name in turn, and round again.
	std::vector<std::string> seen;
	for (int i = 0; i < 5; i++) {
		select_next_address();
		seen.push_back(s.addr_server + s.addr_pos);
	}
	EXPECT_EQ(seen, lines_of({ "10.0.0.2", "x", "y", "alpha", "10.0.0.2" }));

	ASSERT_EQ(minicio_register_server(", a"), 0);
	EXPECT_EQ(std::string(s.addr_server + s.addr_pos), "a");
	select_next_address(); // a single name comes back to itself
	EXPECT_EQ(std::string(s.addr_server + s.addr_pos), "a");

	for (const char *nothing : { "", ",;, \t" }) {
		ASSERT_EQ(minicio_register_server(nothing), 0);
		EXPECT_EQ(s.addr_len, (int)strlen(nothing) + 1);
		EXPECT_EQ(s.addr_pos, 0);
		EXPECT_EQ(s.addr_server[0], '\0');
		select_next_address();
		EXPECT_EQ(s.addr_server[s.addr_pos], '\0');
	}

	std::string longer(300, 'h');
	longer[100] = ' ';
	ASSERT_EQ(minicio_register_server(longer.c_str()), 0);
	EXPECT_EQ(s.addr_len, 257);
	EXPECT_EQ(strlen(s.addr_server), 100u);
	EXPECT_EQ(strlen(s.addr_server + 101), 155u);
	EXPECT_EQ(s.addr_server[256], '\0');

	s.serv_sock_close = 0;
	EXPECT_EQ(minicio_register_server(nullptr), 0);
	EXPECT_EQ(s.serv_sock_close, 0);
}

TEST_F(Cio, DriverTable)
{
	TmpDir dir;
	auto detect = [&](const char *conf) {
		cfg_cache_drop();
		if (conf)
			dir.write("etc/device.conf", conf);
		testing::internal::CaptureStderr();
		const cio_ops *ops = cio_detect();
		return std::make_pair(ops, testing::internal::GetCapturedStderr());
	};

	auto [none, missing] = detect(nullptr);
	EXPECT_EQ(none, nullptr);
	EXPECT_EQ(missing, "Error reading config file " + dir.path("etc/device.conf") + ".\n");
	for (const char *rev : { "revision=0\n", "revision=6\n", "revision=-1\n", "cio=1\n" }) {
		auto [ops, err] = detect(rev);
		EXPECT_EQ(ops, nullptr) << rev;
		EXPECT_EQ(err, "Unknown device type!\n") << rev;
	}
	// Each board that has a driver gets it, without a word; what each one
	// does is tried against the board's simulator.
	for (const char *rev : { "revision=1\n", "revision=2\n", "revision=3\n", "revision=4\n" }) {
		auto [ops, err] = detect((std::string("cio=1\n") + rev).c_str());
		EXPECT_NE(ops, nullptr) << rev;
		EXPECT_EQ(err, "") << rev;
	}
	auto [maxi, said] = detect("cio=1\nrevision=5\n");
	EXPECT_EQ(maxi, nullptr);
	EXPECT_EQ(said, "No driver for the large compact board (revision 5)!\n");
	cfg_cache_drop();
}

TEST_F(Cio, SiPulseTimedByTheBoard)
{
	use(8, true, false);
	EXPECT_EQ(minicio_si_dur(&ops, 20, 16384, 0x81), 0);
	EXPECT_EQ(board.log, lines_of({ "si 129", "delay 20", "si 0" }));

	// Without a delay the pulse is 328 samples long at 16384/s.
	use(8, false, false);
	board.log.clear();
	EXPECT_EQ(minicio_si_dur(&ops, 20, 16384, 1), 0);
	EXPECT_EQ(board.log, lines_of({ "si 1", "read 328", "si 0" }));

	// A failed wait leaves SI on and says why.
	board.log.clear();
	board.fail = "read 328";
	EXPECT_EQ(minicio_si_dur(&ops, 20, 16384, 1), -EIO);
	EXPECT_EQ(board.log, lines_of({ "si 1", "read 328" }));
}

TEST_F(Cio, RecordingOfEightLines)
{
	ASSERT_EQ(cio_acquire(&l), 0);
	// 17400 samples recorded after a 20 ms pulse on all lines, 16896 sent
	// from 26 ms after the pulse on.
	EXPECT_EQ(board.log, lines_of({ "freq 16384", "si 255", "read 328", "si 0", "read 17400 buf" }));
	std::vector<uint8_t> rec = recording();
	ASSERT_EQ(rec.size(), 16896u);
	for (size_t i = 0; i < rec.size(); i++)
		ASSERT_EQ(rec[i], (uint8_t)(426 + i)) << i;
	EXPECT_LE(l.packed.len - 5, 17077u);
	cio_msg_free(&l.packed);

	// The board's latency moves the window back; a low line sets the flag;
	// the sound path's line gets no SI in two-wire operation.
	board.log.clear();
	board.latency = 1000000; // 1 ms: 16 samples
	l.vol_problem[7] = true;
	l.snd_dir = 3;
	ASSERT_EQ(cio_acquire(&l), 0);
	EXPECT_EQ(board.log[1], "si 251");
	EXPECT_EQ(recording('1')[0], (uint8_t)(426 - 16));
	cio_msg_free(&l.packed);
	board.log.clear();
	l.four_wire = true;
	ASSERT_EQ(cio_acquire(&l), 0);
	EXPECT_EQ(board.log[1], "si 255");
}

TEST_F(Cio, RecordingOfFewerLines)
{
	// Two lines, a 1 s window: four samples a byte come in, two a byte go
	// out. 0xE4 holds the samples 0, 1, 2, 3.
	use(2, false, false, 1000000000);
	board.counting = false;
	board.fill = 0xE4;
	ASSERT_EQ(cio_acquire(&l), 0);
	std::vector<uint8_t> rec = recording();
	ASSERT_EQ(rec.size(), 8192u);
	for (size_t i = 0; i < rec.size(); i++)
		ASSERT_EQ(rec[i], i % 2 ? 0x32 : 0x10) << i;
	cio_msg_free(&l.packed);

	// Four lines in test mode: SI goes into one line after the other.
	use(4, false, false, 1000000000);
	l.cmd_test = true;
	std::vector<std::string> masks;
	for (int i = 0; i < 5; i++) {
		board.log.clear();
		ASSERT_EQ(cio_acquire(&l), 0);
		EXPECT_EQ(recording().size(), 8192u);
		cio_msg_free(&l.packed);
		masks.push_back(board.log[1]);
	}
	EXPECT_EQ(masks, lines_of({ "si 2", "si 4", "si 8", "si 1", "si 2" }));

	use(3, false, false);
	testing::internal::CaptureStderr();
	EXPECT_EQ(cio_acquire(&l), -ENOSYS);
	EXPECT_EQ(testing::internal::GetCapturedStderr(), "Unsupported CIO interface!\n");
	EXPECT_EQ(l.packed.buf, nullptr);
}

TEST_F(Cio, RecordingLimits)
{
	// Stored without compression, the recording still fits its packet.
	s.zlib_level = 0;
	board.counting = false;
	ASSERT_EQ(cio_acquire(&l), 0);
	EXPECT_GT(l.packed.len - 5, 16896u);
	EXPECT_EQ(recording().size(), 16896u);
	cio_msg_free(&l.packed);

	// A rate whose packet could outgrow the 16-bit length is refused before
	// the board is touched; 62500 samples/s still fits.
	board.log.clear();
	s.read_freq = 64000;
	testing::internal::CaptureStderr();
	EXPECT_EQ(cio_acquire(&l), -ERANGE);
	EXPECT_EQ(testing::internal::GetCapturedStderr(), "Acquisition rate 64000 is too high for a data packet!\n");
	EXPECT_TRUE(board.log.empty());
	s.read_freq = 62500;
	EXPECT_EQ(cio_acquire(&l), 0);

	// Failures of the board end the action with their message.
	cio_msg_free(&l.packed);
	board.fail = "read 17400 buf";
	testing::internal::CaptureStderr();
	s.read_freq = 16384;
	EXPECT_EQ(cio_acquire(&l), -EIO);
	EXPECT_EQ(testing::internal::GetCapturedStderr(), "Data acquision failed!\n");
	EXPECT_EQ(l.packed.buf, nullptr);
}

TEST_F(Cio, LineCommandGapsAndAcknowledgement)
{
	static const uint8_t ack[15] = { 'T', 'E', '3', 0, 10 };
	auto command = [&](int dir, int hub, int code) {
		board.log.clear();
		cio_msg_free(&l.reply);
		l.perform_dir = (uint8_t)dir, l.perform_hub = (uint8_t)hub, l.perform_cmd = (uint8_t)code;
		EXPECT_EQ(cio_line_command(&l), 0);
		EXPECT_EQ(l.perform_cmd, 0);
		EXPECT_EQ(l.reply.len, 15u);
		EXPECT_EQ(memcmp(l.reply.buf, ack, 15), 0);
	};

	// Code 7 to hub 5 of line 3: gaps of 177.49 ms and 192.38 ms, then
	// the sound path back on the dispatcher's line and a pause.
	l.snd_dir = 3;
	command(3, 5, 7);
	EXPECT_EQ(board.log, lines_of({ "sound -1", "freq 16384", "read 1", "si 4", "read 328", "si 0", "read 2908",
					"si 4", "read 328", "si 0", "read 3152", "si 4", "read 328", "si 0", "sound 2",
					"4wire 0", "read 17152" }));
	EXPECT_NEAR(2908 / 16384.0, 0.17749, 0.000005);
	EXPECT_NEAR(3152 / 16384.0, 0.19238, 0.000005);

	// Code 1 to hub 1: 52.49 ms and 4.88 ms. The latency shortens both.
	l.snd_dir = 0;
	command(1, 1, 1);
	EXPECT_EQ(board.log[6], "read 860");
	EXPECT_EQ(board.log[10], "read 80");
	EXPECT_EQ(board.log.size(), 15u);
	board.latency = 2000000; // 32.768 samples
	command(8, 32, 64);
	EXPECT_EQ(board.log[3], "si 128");
	EXPECT_EQ(board.log[6], "read " + std::to_string((int)((1021240234 - 2000000) * 16384.0 / 1e9 + 0.5)));
	EXPECT_EQ(board.log[10], "read " + std::to_string((int)((1973632813 - 2000000) * 16384.0 / 1e9 + 0.5)));
	// A latency longer than a gap leaves no gap.
	board.latency = 10000000;
	command(1, 1, 1);
	EXPECT_EQ(board.log[10], "read 0");

	board.fail = "si 0";
	l.perform_cmd = 9;
	testing::internal::CaptureStderr();
	EXPECT_EQ(cio_line_command(&l), -EIO);
	EXPECT_EQ(testing::internal::GetCapturedStderr(), "SI generation failed!\n");
	EXPECT_EQ(l.perform_cmd, 9);
}

TEST_F(Cio, LinePacketTransmission)
{
	ASSERT_EQ(vgd_sem_trylock(SEM_COMMAND), 0);
	l.pkt_locked = true;
	cio_line_packet(s.pkt_data, 5, 0x47);
	s.pkt_len = 6;
	s.pkt_dir = 2;
	l.snd_dir = 4;
	l.four_wire = true;
	ASSERT_EQ(cio_packet_transmit(&l), 0);
	EXPECT_EQ(board.log, lines_of({ "freq 16384", "sound -1", "pktch 1", "4wire 0", "prepare 5f0402404773",
					"read 3277", "si 2", "read 328", "si 0", "read 21299", "send", "pktch -1",
					"sound 3", "4wire 1" }));
	EXPECT_EQ(s.pkt_len, 0);
	EXPECT_FALSE(l.pkt_locked);
	EXPECT_EQ(PrivateIpc::value(SEM_COMMAND), 1);
	EXPECT_EQ(l.reply.len, 15u);

	// A queue emptied behind the loop's back only gives the lock back.
	cio_msg_free(&l.reply);
	board.log.clear();
	ASSERT_EQ(vgd_sem_trylock(SEM_COMMAND), 0);
	l.pkt_locked = true;
	ASSERT_EQ(cio_packet_transmit(&l), 0);
	EXPECT_TRUE(board.log.empty());
	EXPECT_FALSE(l.pkt_locked);
	EXPECT_EQ(PrivateIpc::value(SEM_COMMAND), 1);
	EXPECT_EQ(l.reply.buf, nullptr);
}

TEST_F(Cio, LinePacketOfEveryCode)
{
	// Bytes 1 to 5 sum to 0 modulo 256, for every hub and code.
	uint8_t p[6];
	for (int hub = 1; hub <= 32; hub++)
		for (int code = 65; code <= 255; code++) {
			cio_line_packet(p, (uint8_t)hub, (uint8_t)code);
			ASSERT_EQ(p[0], 0x5F);
			ASSERT_EQ(p[1], hub - 1);
			ASSERT_EQ((p[1] + p[2] + p[3] + p[4] + p[5]) % 256, 0) << hub << " " << code;
		}
}

TEST_F(Cio, SpecialCommands)
{
	auto cmd = [&](std::initializer_list<uint8_t> bytes) {
		uint8_t c[4];
		std::copy(bytes.begin(), bytes.end(), c);
		l.cmd_sync = false;
		board.log.clear();
		EXPECT_EQ(cio_command(&l, c), 0);
		EXPECT_TRUE(l.cmd_sync);
	};

	cmd({ 0xFF, 0, 0, 0 });
	EXPECT_TRUE(l.block_si);
	cmd({ 0xFF, 0xFF, 0xFF, 0xFF });
	EXPECT_FALSE(l.block_si);
	// Any other FF command is an ordinary one.
	cmd({ 0xFF, 1, 0, 0 });
	EXPECT_TRUE(board.log.empty());

	cmd({ 0, 5, 0, 1 });
	EXPECT_TRUE(l.cmd_test);
	EXPECT_TRUE(board.log.empty());
	l.snd_dir = 3, l.four_wire = true, l.block_si = true;
	cmd({ 0, 0, 0, 0 });
	EXPECT_EQ(board.log, lines_of({ "filter 0", "sound -1", "4wire 0" }));
	EXPECT_FALSE(l.cmd_test || l.four_wire || l.block_si);
	EXPECT_EQ(l.snd_dir, 0);
}

TEST_F(Cio, OrdinaryCommands)
{
	auto cmd = [&](uint8_t pgs, uint8_t dir, uint8_t hub, uint8_t code) {
		const uint8_t c[4] = { pgs, dir, hub, code };
		board.log.clear();
		EXPECT_EQ(cio_command(&l, c), 0);
	};

	cmd(1, 3, 5, 7);
	EXPECT_EQ(board.log, lines_of({ "filter 0" }));
	EXPECT_EQ(l.snd_dir, 3);
	EXPECT_FALSE(l.four_wire);
	EXPECT_EQ(l.perform_cmd, 7);
	EXPECT_EQ(l.perform_dir, 3);
	EXPECT_EQ(l.perform_hub, 5);
	l.perform_cmd = 0;

	// The sound request's low bits; bit 2 is four-wire unless overridden.
	cmd(6, 2, 0, 0);
	EXPECT_EQ(board.log, lines_of({ "filter 1" }));
	EXPECT_TRUE(l.four_wire);
	for (int pgs : { 0, 3, 4, 0x80, 0xFB }) {
		cmd((uint8_t)pgs, 2, 0, 0);
		EXPECT_TRUE(board.log.empty()) << pgs;
	}
	s.mod_override = 1;
	s.mod_modes = 0x02;
	cmd(1, 2, 0, 0);
	EXPECT_TRUE(l.four_wire);
	cmd(5, 1, 0, 0);
	EXPECT_FALSE(l.four_wire);
	s.mod_override = 0;

	// Lines and hubs out of range do nothing on the lines, nor does code 0.
	// The filter still follows the request; a line the board lacks takes
	// the sound path off the line it had, as line 0 does.
	for (auto [dir, hub, code] : { std::tuple{ 0, 5, 7 }, { 9, 5, 7 }, { 255, 5, 7 }, { 3, 33, 7 }, { 3, 0, 7 },
					  { 3, 5, 0 } }) {
		l.snd_dir = 1;
		cmd(1, (uint8_t)dir, (uint8_t)hub, (uint8_t)code);
		EXPECT_EQ(board.log, lines_of({ "filter 0" })) << dir;
		EXPECT_EQ(l.perform_cmd, 0) << dir << " " << hub << " " << code;
		EXPECT_EQ(l.snd_dir, dir == 3 ? 3 : 0) << dir;
		EXPECT_FALSE(l.pkt_locked);
	}
	// Overridden, such a line is two-wire.
	s.mod_override = 1;
	s.mod_modes = 0xFF;
	l.four_wire = true;
	cmd(0, 9, 1, 0);
	EXPECT_FALSE(l.four_wire);
	l.four_wire = true;
	cmd(0, 0, 1, 0);
	EXPECT_FALSE(l.four_wire);
	s.mod_override = 0;

	// Above 64 a code is a line packet, one at a time.
	cmd(0, 4, 9, 200);
	EXPECT_TRUE(l.pkt_locked);
	EXPECT_EQ(s.pkt_len, 6);
	EXPECT_EQ(s.pkt_dir, 4);
	const uint8_t first[6] = { 0x5F, 8, 2, 0x40, 200, (uint8_t)(0xBE - 200 - 8) };
	EXPECT_EQ(memcmp(s.pkt_data, first, 6), 0);
	cmd(0, 2, 1, 100);
	EXPECT_EQ(s.pkt_dir, 4);
	EXPECT_EQ(memcmp(s.pkt_data, first, 6), 0);
	vgd_sem_unlock(SEM_COMMAND);
	l.pkt_locked = false;

	// A board without a transmitter takes only the sound part.
	use(8, false, false);
	s.pkt_len = 0;
	cmd(2, 6, 1, 65);
	EXPECT_EQ(board.log, lines_of({ "filter 1" }));
	EXPECT_EQ(l.snd_dir, 6);
	EXPECT_EQ(s.pkt_len, 0);
	EXPECT_EQ(l.perform_cmd, 0);
}

} // namespace
