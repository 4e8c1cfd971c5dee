#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "snmp_pipe.h"

namespace {

// A sub-agent: the pipe and its reading end.
class Snmp : public SnmpPipe {
protected:
	void SetUp() override
	{
		SnmpPipe::SetUp();
		s.vbatt = 13250;
		s.vpsu = 12.3456;
		s.temperature = 40;
	}
};

TEST_F(Snmp, StaticDescription)
{
	ASSERT_EQ(snmp_write_cfg(0, 2), 0);
	EXPECT_EQ(dir.read("etc/velta-snmp.conf"), "num_modules=0\nnum_tsensors=2\n");

	cfg_cache_drop();
	dir.write("etc/device.conf", "cio=0\n");
	std::filesystem::remove(dir.path("etc/velta-snmp.conf"));
	testing::internal::CaptureStderr();
	EXPECT_EQ(snmp_write_cfg(0, 2), -ENOENT);
	testing::internal::GetCapturedStderr();
	EXPECT_FALSE(std::filesystem::exists(dir.path("etc/velta-snmp.conf")));
}

TEST_F(Snmp, GpioRecordOncePerSecondAndOnlyWhenTaken)
{
	ASSERT_EQ(snmp_write_cfg(0, 2), 0);
	agent();
	s.inputs_valid = 1;
	s.num_tsensors = 2;
	s.temp_mask = 1;
	s.temp_sensors[0] = 21.7;
	s.temp_sensors[1] = 99;

	ASSERT_EQ(snmp_worker(false), 0);
	EXPECT_EQ(record(), "devtype=kel\ndevrev=5\nbatt=13250\nauxpwr=1\nauxvol=12345\ntemp=40\n"
			    "etemp0=21\netemp_lr0=1\netemp_err0=0\n"
			    "etemp_err1=-1\n");
	ASSERT_EQ(snmp_worker(false), 0);
	EXPECT_EQ(record(), ""); // not a second yet

	sleep(1);
	ASSERT_EQ(snmp_worker(false), 0);
	std::string first = record();
	EXPECT_FALSE(first.empty());
	sleep(1);
	ASSERT_EQ(snmp_worker(false), 0); // the reader lags: this one stays unread
	sleep(1);
	ASSERT_EQ(snmp_worker(false), 0);
	EXPECT_EQ(record(), first); // one record, not two
}

// Whatever a record left by another program says, the worker stays within
// the arrays.
TEST_F(Snmp, BoundedByTheRecord)
{
	agent();
	s.cio_inputs_valid = 1;
	s.mod_num = 200;
	memset(s.addr_server, 'a', sizeof(s.addr_server));
	s.addr_len = 100000;
	ASSERT_EQ(snmp_worker(false), 0);
	std::string r = record();
	EXPECT_NE(r.find("disp_addr=" + std::string(257, 'a') + "\n"), std::string::npos);
	EXPECT_NE(r.find("mod_vol7="), std::string::npos);
	EXPECT_EQ(r.find("mod_vol8="), std::string::npos);
}

TEST_F(Snmp, NoPipeNoReaderNoData)
{
	s.inputs_valid = 1;
	EXPECT_EQ(snmp_worker(false), 0); // no pipe
	snmp_close();
	ASSERT_EQ(mkfifo(dir.path("run/velta-snmp").c_str(), 0600), 0);
	EXPECT_EQ(snmp_worker(false), 0); // a pipe nobody reads: never blocks
	snmp_close();

	reader = open(dir.path("run/velta-snmp").c_str(), O_RDONLY | O_NONBLOCK);
	s.inputs_valid = 0;
	EXPECT_EQ(snmp_worker(false), 0); // no valid data yet
	EXPECT_EQ(record(), "");
}

} // namespace
