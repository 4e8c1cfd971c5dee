#include <arpa/inet.h>
#include <cerrno>
#include <gtest/gtest.h>
#include <string>

#include "private_ipc.h"
#include "report.h"

namespace {

class Report : public ::testing::Test {
protected:
	PrivateIpc ipc;
	shared_state &s = ipc.state();

	void SetUp() override
	{
		ASSERT_TRUE(ipc.ok());
		s.diode = 0.835;
		s.vbatt = 13250;
		s.vpsu = 12.5;
		s.temperature = 31;
	}

	// A GPIO-mode terminal with 2 inputs, 2 buttons and 4 relays.
	void gpio_terminal()
	{
		s.inputs_valid = 1;
		s.num_discrete = 2;
		s.num_buttons = 2;
		s.num_relays = 4;
		s.rmux = 1000;
		s.discrete[0] = 150;
		s.discrete[1] = 2147483647;
		s.alarm[1] = 1;
		s.buttoncur[0] = 0;
		s.buttoncur[1] = 2147483647;
		s.buttonact[0] = 1;
		s.sound_ch = 0;
		s.vol_mic_min = 1.5;
		s.vol_mic_max = 0;
		s.relays = 0x05;
		s.urate = 2000;
		s.num_serv = 1;
		s.serv_addr.sin_family = AF_INET;
		inet_pton(AF_INET, "10.1.2.3", &s.serv_addr.sin_addr);
		s.temp_mask = 2;
		s.temp_sensors[1] = -5.25;
		s.fmm_active = 1;
	}

	std::string format(size_t size = 4096)
	{
		std::string buf(size, '\x7f');
		result = vgd_format_state(buf.data(), size);
		return result >= 0 ? buf.substr(0, (size_t)result) : std::string(buf.c_str());
	}
	int result = 0;
};

TEST_F(Report, NothingBeforeTheFirstValidCycle)
{
	EXPECT_EQ(format(), "");
	EXPECT_EQ(result, -EAGAIN);
	EXPECT_EQ(PrivateIpc::value(SEM_SSTATE_R), 32767); // lock released
}

TEST_F(Report, GpioTerminal)
{
	gpio_terminal();
	EXPECT_EQ(format(), "diode=0.83500010\n"
			    "batt=13.250000\n"
			    "auxpwr=1\n"
			    "auxvol=12.500000\n"
			    "temp=31\n"
			    "power12v=12.500000\n"
			    "rmux=1000\n"
			    "discrete0=150,0\n"
			    "discrete1=2147483647,1\n"
			    "call_button0=0,1\n"
			    "call_button1=2147483647,0\n"
			    "sound_ch=-1\n"
			    "mic_v_min=1.5\n"
			    "mic_v_max=0\n"
			    "spk_cur_min=0\n"
			    "spk_cur_max=0\n"
			    "relay1=1\n"
			    "relay2=0\n"
			    "relay3=1\n"
			    "relay4=0\n"
			    "urate=2.000000\n"
			    "push_ip=10.1.2.3\n"
			    "ext_temp2=-5.250000\n"
			    "ext_temp2_time=1\n"
			    "fmm=1\n");
	EXPECT_EQ(result, (int)format().size());
}

TEST_F(Report, ConditionalLines)
{
	gpio_terminal();
	s.temperature = -273;
	s.sound_ch = 3;
	s.num_serv = 0;
	s.vpsu = 6.0;
	s.diode = 1.234567;
	s.temp_mask = 0;
	std::string r = format();
	EXPECT_NE(r.find("diode=1.23456795\n"), std::string::npos);
	EXPECT_NE(r.find("temp=-273\n"), std::string::npos);
	EXPECT_NE(r.find("auxpwr=0\n"), std::string::npos);
	EXPECT_NE(r.find("sound_ch=2\n"), std::string::npos);
	EXPECT_NE(r.find("push_ip=\n"), std::string::npos);
	EXPECT_EQ(r.find("ext_temp"), std::string::npos);

	s.temperature = -274;
	EXPECT_EQ(format().find("temp="), std::string::npos);
}

TEST_F(Report, UnknownCountsWriteNoLines)
{
	gpio_terminal();
	s.num_discrete = s.num_buttons = s.num_relays = 0;
	std::string r = format();
	EXPECT_EQ(r.find("discrete"), std::string::npos);
	EXPECT_EQ(r.find("call_button"), std::string::npos);
	EXPECT_EQ(r.find("relay"), std::string::npos);
}

// A record left by another program must not make the report read past its
// arrays.
TEST_F(Report, CountsAreBoundedByTheRecord)
{
	gpio_terminal();
	s.num_discrete = 255;
	s.num_buttons = 255;
	s.num_relays = 255;
	s.temp_mask = 0xff;
	std::string r = format();
	EXPECT_NE(r.find("discrete21="), std::string::npos);
	EXPECT_EQ(r.find("discrete22="), std::string::npos);
	EXPECT_NE(r.find("call_button7="), std::string::npos);
	EXPECT_EQ(r.find("call_button8="), std::string::npos);
	EXPECT_NE(r.find("relay8="), std::string::npos);
	EXPECT_EQ(r.find("relay9="), std::string::npos);
	EXPECT_EQ(r.find("ext_temp3"), std::string::npos);
}

TEST_F(Report, CioTerminal)
{
	s.cio_inputs_valid = 1;
	s.mod_num = 2;
	s.mod_vol[0] = 48000;
	s.mod_vol[1] = 0;
	s.mod_supply = 24000;
	EXPECT_EQ(format(), "diode=0.83500010\n"
			    "batt=13.250000\n"
			    "auxpwr=1\n"
			    "auxvol=12.500000\n"
			    "temp=31\n"
			    "mod_vol1=48000\n"
			    "mod_vol2=0\n"
			    "mod_supply=24000\n");

	s.mod_num = 200;
	std::string r = format();
	EXPECT_NE(r.find("mod_vol8="), std::string::npos);
	EXPECT_EQ(r.find("mod_vol9="), std::string::npos);
}

TEST_F(Report, TooSmallABuffer)
{
	gpio_terminal();
	size_t full = format().size();
	EXPECT_EQ(format(full + 1).size(), full);
	for (size_t size : { full, full - 1, (size_t)10, (size_t)1, (size_t)0 }) {
		std::string r = format(size);
		EXPECT_EQ(result, -EMSGSIZE) << size;
		if (size) {
			EXPECT_EQ(r, "") << "partial report for size " << size;
		}
	}
	EXPECT_EQ(PrivateIpc::value(SEM_SSTATE_R), 32767);
}

} // namespace
