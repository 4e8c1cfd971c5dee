// The echo canceller driven by synthetic 20 ms frames at 8000 Hz, counting
// microphone samples exactly.
#include <atomic>
#include <filesystem>
#include <gtest/gtest.h>
#include <thread>

#include "echo_canceler.h"
#include "tmpdir.h"

using callfw::MediaFrame;

namespace {

MediaFrame frame(size_t samples, int16_t value)
{
	MediaFrame f;
	f.set_payload_size(2 * samples);
	for (size_t i = 0; i < samples; i++)
		f.samples()[i] = value;
	return f;
}

class EchoCanceler : public ::testing::Test {
protected:
	TmpDir dir;
	KelEchoCanceler ec;

	void SetUp() override
	{
		std::filesystem::create_directories(dir.path("sys/class/gpio/gpio49"));
		std::filesystem::create_directories(dir.path("var/run"));
		dir.write("sys/class/gpio/export", "");
		dir.write("sys/class/gpio/gpio49/value", "0");
		dir.write("sys/class/gpio/gpio49/direction", "in");
		ASSERT_EQ(ec.SetDefState(1), 0);
		ASSERT_EQ(ec.SetGPIONum(49), 0);
		// As at the start of a call's microphone side, with the defaults.
		ec.SetClockRate(8000);
		ec.SetDuplexMode(0);
		ec.SetTransistorMode(0, true);
		ec.SetTXDelay(160);
		ec.SetRXDelay(160);
		ec.SetMicDelay(180);
		ec.SetTestSignal(0, 0);
		ec.SetDataSize(160);
	}

	char line() { return dir.read("sys/class/gpio/gpio49/value")[0]; }
	std::string state() { return dir.read("var/run/parlod.spk"); }
	bool state_file() { return std::filesystem::exists(dir.path("var/run/parlod.spk")); }

	// One 20 ms frame each way; true when the microphone frame passed.
	bool cycle(bool far_speech, size_t samples = 160)
	{
		MediaFrame spk = frame(samples, far_speech ? 1000 : 0);
		ec.SentPacket(spk);
		MediaFrame mic = frame(samples, 7);
		ec.ReceivedPacket(mic);
		return mic.samples()[0] == 7;
	}
};

TEST_F(EchoCanceler, DefaultsSwitchAfterTheDelays)
{
	EXPECT_EQ(line(), '1');
	EXPECT_EQ(state(), "0");
	EXPECT_TRUE(cycle(false));

	// Far-end speech: microphone muted at once, line active after 1280
	// microphone samples (8 frames).
	for (int i = 1; i <= 8; i++) {
		EXPECT_FALSE(cycle(true)) << i;
		EXPECT_EQ(line(), i < 8 ? '1' : '0') << i;
	}
	EXPECT_EQ(state(), "1");
	// Silence: line idle after 1280 more, microphone free after 1440.
	for (int i = 1; i <= 9; i++) {
		bool passed = cycle(false);
		EXPECT_EQ(line(), i < 8 ? '0' : '1') << i;
		EXPECT_FALSE(passed) << i; // the frame in which the hold ends is muted too
	}
	EXPECT_EQ(state(), "0");
	EXPECT_TRUE(cycle(false));
}

TEST_F(EchoCanceler, SpeechThatStopsBeforeTheSwitch)
{
	EXPECT_FALSE(cycle(true));
	EXPECT_FALSE(cycle(true));
	// Silent before the switch: far speech goes on until the switch happens.
	for (int i = 3; i <= 8; i++)
		EXPECT_FALSE(cycle(false)) << i;
	EXPECT_EQ(line(), '0');
	// Then the hold.
	for (int i = 1; i <= 9; i++)
		EXPECT_FALSE(cycle(false)) << i;
	EXPECT_EQ(line(), '1');
	EXPECT_TRUE(cycle(false));
}

TEST_F(EchoCanceler, ZeroDelays)
{
	ec.SetTXDelay(0);
	ec.SetRXDelay(0);
	ec.SetMicDelay(0);
	for (int i = 0; i < 20; i++)
		EXPECT_FALSE(cycle(true));
	EXPECT_EQ(line(), '1'); // never switched
	EXPECT_EQ(state(), "0");
	EXPECT_TRUE(cycle(false)); // no hold

	// A switch delay but no return delay: the line stays active.
	ec.SetTXDelay(20);
	EXPECT_FALSE(cycle(true));
	EXPECT_FALSE(cycle(true));
	EXPECT_EQ(line(), '0');
	for (int i = 0; i < 20; i++)
		cycle(false);
	EXPECT_EQ(line(), '0');
}

// Delays as a configuration file may hold them: a negative one is none,
// not minutes of a muted microphone, and ten minutes is ten minutes.
TEST_F(EchoCanceler, NegativeAndLongDelays)
{
	ec.SetTXDelay(-1);
	ec.SetRXDelay(-160);
	ec.SetMicDelay(-20);
	for (int i = 0; i < 5; i++)
		EXPECT_FALSE(cycle(true));
	EXPECT_EQ(line(), '1'); // never switched
	EXPECT_TRUE(cycle(false)); // no hold

	ec.SetTXDelay(600000);
	for (int i = 0; i < 4000; i++) // 80 s
		cycle(true);
	EXPECT_EQ(line(), '1');
	EXPECT_EQ(state(), "0");
}

TEST_F(EchoCanceler, DuplexNeverMutes)
{
	ec.SetDuplexMode(1);
	for (int i = 0; i < 10; i++)
		EXPECT_TRUE(cycle(true));
	EXPECT_EQ(line(), '0'); // the line still follows
}

TEST_F(EchoCanceler, ForcedModes)
{
	ec.SetTransistorMode(1, false); // tr_on
	EXPECT_EQ(line(), '1');
	EXPECT_EQ(state(), "0");
	for (int i = 0; i < 8; i++)
		cycle(true);
	EXPECT_EQ(line(), '1');  // not moved by the counters
	EXPECT_EQ(state(), "1"); // the file still follows them
	ec.SetTransistorMode(2, false); // tr_off
	EXPECT_EQ(line(), '0');
	EXPECT_EQ(state(), "0");
	ec.SetTransistorMode(0, false); // tr_auto during far-end speech
	EXPECT_EQ(line(), '0');          // the active level at once
	EXPECT_EQ(state(), "1");
	ec.SetTransistorMode(3, false); // held at idle
	EXPECT_EQ(line(), '1');
	for (int i = 0; i < 20; i++)
		cycle(false);
	EXPECT_EQ(line(), '1');

	ec.SetDefState(0);
	EXPECT_EQ(line(), '0');
}

TEST_F(EchoCanceler, TestTone)
{
	ec.SetTestSignal(440, 100);
	MediaFrame f = frame(160, 0);
	ec.SentPacket(f);
	// A period of 18 samples (about 444 Hz): sample 18 repeats sample 0.
	EXPECT_EQ(f.samples()[0], 0);
	EXPECT_EQ(f.samples()[18], f.samples()[0]);
	EXPECT_EQ(f.samples()[22], f.samples()[4]);
	EXPECT_NE(f.samples()[4], 0);

	ec.SetTestSignal(2000, 50);
	f = frame(80, 0); // enlarged to the data size
	ec.SentPacket(f);
	ASSERT_EQ(f.sample_count(), 160u);
	EXPECT_EQ(f.samples()[1], (int16_t)(327.67 * 50)); // a quarter period: the peak
	EXPECT_EQ(f.samples()[5], f.samples()[1]);

	// Level 0 is silence that still counts as speech.
	ec.SetTestSignal(1000, 0);
	EXPECT_FALSE(cycle(false));
	ec.SetTestSignal(9000, 100); // above the clock rate: off
	f = frame(160, 0);
	ec.SentPacket(f);
	EXPECT_EQ(f.samples()[3], 0);
}

TEST_F(EchoCanceler, StateFileLifetime)
{
	EXPECT_TRUE(state_file());
	EXPECT_EQ(ec.ResetGPIO(), 0);
	EXPECT_FALSE(state_file());
	// A stale file is removed even when not open.
	dir.write("var/run/parlod.spk", "1");
	ec.ResetGPIO();
	EXPECT_FALSE(state_file());
}

TEST_F(EchoCanceler, OddAndEmptyFrames)
{
	MediaFrame empty;
	ec.SentPacket(empty);
	ec.ReceivedPacket(empty);
	MediaFrame odd;
	odd.set_payload_size(7);
	ec.SentPacket(odd);
	ec.ReceivedPacket(odd);
	EXPECT_EQ(odd.payload_size(), 7u);
}

// The filters run on the media threads while commands and the start and end
// of a call's media change the settings: the thread sanitizer's pass of the
// suite sees every access that is not ordered by the canceller's locks.
TEST_F(EchoCanceler, SettersRaceTheFiltersSafely)
{
	std::atomic<bool> done{ false };
	std::thread media([&] {
		while (!done) {
			MediaFrame spk = frame(160, 1000), mic = frame(160, 7);
			ec.SentPacket(spk);
			ec.ReceivedPacket(mic);
		}
	});
	for (int i = 0; i < 200; i++) {
		ec.SetClockRate(i % 2 ? 8000 : 16000);
		ec.SetDuplexMode(i % 2);
		ec.SetTransistorMode(i % 4, true);
		ec.SetTXDelay(i);
		ec.SetRXDelay(i);
		ec.SetMicDelay(i);
		ec.SetDataSize(160 + i % 3);
		ec.SetTestSignal(i % 3 ? 1000 : 0, 50);
		if (i % 50 == 49)
			ec.ResetGPIO();
	}
	done = true;
	media.join();
}

TEST(EchoCancelerNoLine, WorksWithoutAGpioLine)
{
	TmpDir dir;
	KelEchoCanceler ec;
	EXPECT_LT(ec.SetGPIONum(77), 0); // no such line
	ec.SetTransistorMode(0, true);
	MediaFrame spk = frame(160, 5);
	ec.SentPacket(spk);
	MediaFrame mic = frame(160, 7);
	ec.ReceivedPacket(mic);
	EXPECT_EQ(mic.samples()[0], 0);
}

} // namespace
