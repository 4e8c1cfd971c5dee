// The daemon's side of the SNMP state files in a scratch root: its state
// record, its hardware identity, and the records' pipe with the reading
// end that a sub-agent holds.
#pragma once

#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "cfg.h"
#include "private_ipc.h"
#include "snmp.h"
#include "tmpdir.h"

class SnmpPipe : public ::testing::Test {
protected:
	TmpDir dir;
	PrivateIpc ipc;
	shared_state &s = ipc.state();
	int reader = -1;

	void SetUp() override
	{
		std::filesystem::create_directories(dir.path("run"));
		dir.write("etc/device.conf", "cio=0\nrevision=5\n");
	}
	void TearDown() override
	{
		snmp_close();
		if (reader >= 0)
			close(reader);
		cfg_cache_drop();
	}

	// The pipe, as the sub-agent makes and opens it.
	void agent()
	{
		ASSERT_EQ(mkfifo(dir.path("run/velta-snmp").c_str(), 0600), 0);
		reader = open(dir.path("run/velta-snmp").c_str(), O_RDONLY | O_NONBLOCK);
		ASSERT_GE(reader, 0);
	}

	// What the pipe holds.
	std::string record()
	{
		char buf[4096];
		ssize_t n = read(reader, buf, sizeof(buf));
		return n > 0 ? std::string(buf, (size_t)n) : "";
	}
};
