#include <cerrno>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "fileio.h"
#include "tmpdir.h"

namespace {

TEST(FileIo, ReadsTheFirstLine)
{
	TmpDir dir;
	dir.write("v", "0x10\nsecond\n");
	char *s = file_reads(dir.path("v").c_str());
	ASSERT_NE(s, nullptr);
	EXPECT_STREQ(s, "0x10\n");
	free(s);

	dir.write("long", std::string(5000, 'x'));
	s = file_reads(dir.path("long").c_str());
	ASSERT_NE(s, nullptr);
	EXPECT_EQ(strlen(s), 4095u);
	free(s);

	dir.write("empty", "");
	EXPECT_EQ(file_reads(dir.path("empty").c_str()), nullptr);
	EXPECT_EQ(file_reads(dir.path("missing").c_str()), nullptr);
}

TEST(FileIo, Numbers)
{
	TmpDir dir;
	int32_t i = -1;
	double d = -1;

	dir.write("int", "0x10\n");
	EXPECT_EQ(file_readint(dir.path("int").c_str(), &i), 0);
	EXPECT_EQ(i, 16);
	dir.write("int", "017");
	EXPECT_EQ(file_readint(dir.path("int").c_str(), &i), 0);
	EXPECT_EQ(i, 15);
	dir.write("int", "junk\n");
	EXPECT_EQ(file_readint(dir.path("int").c_str(), &i), -EINVAL);
	dir.write("int", "4294967296\n");
	EXPECT_EQ(file_readint(dir.path("int").c_str(), &i), -ERANGE);
	EXPECT_EQ(file_readint(dir.path("none").c_str(), &i), -EIO);
	EXPECT_EQ(i, 15);

	dir.write("dbl", "36.6\n");
	EXPECT_EQ(file_readdbl(dir.path("dbl").c_str(), &d), 0);
	EXPECT_DOUBLE_EQ(d, 36.6);
	dir.write("dbl", "\n");
	EXPECT_EQ(file_readdbl(dir.path("dbl").c_str(), &d), -EINVAL);
	EXPECT_EQ(file_readdbl(dir.path("none").c_str(), &d), -EIO);
}

TEST(FileIo, Writes)
{
	TmpDir dir;
	std::string p = dir.path("attr");

	// file_write never creates: sysfs attributes exist or the write is wrong.
	EXPECT_EQ(file_write(p.c_str(), "1", 1), -ENOENT);
	EXPECT_FALSE(file_exists(p.c_str()));

	ASSERT_EQ(file_writes(p.c_str(), "%s=%d\n", "x", 7), 0);
	EXPECT_EQ(dir.read("attr"), "x=7\n");
	ASSERT_EQ(file_write(p.c_str(), "out", 3), 0);
	EXPECT_EQ(dir.read("attr"), "out\n"); // in place, not truncated
	EXPECT_TRUE(file_exists(p.c_str()));

	EXPECT_EQ(file_writes(dir.path("no/such/dir").c_str(), "x"), -ENOENT);
	EXPECT_EQ(file_write("/dev/full", "x", 1), -ENOSPC);
}

TEST(FileIo, SecretsKeptFromOthers)
{
	TmpDir dir;
	std::string p = dir.path("secret");

	dir.write("secret", "hunter2\n");
	for (mode_t mode : { 0600, 0400, 0620, 0602 }) {
		ASSERT_EQ(chmod(p.c_str(), mode), 0);
		EXPECT_EQ(file_private(p.c_str()), 0) << std::oct << mode;
	}
	for (mode_t mode : { 0640, 0604, 0644, 0444 }) {
		ASSERT_EQ(chmod(p.c_str(), mode), 0);
		EXPECT_EQ(file_private(p.c_str()), -EPERM) << std::oct << mode;
	}
	EXPECT_EQ(file_private(dir.path("none").c_str()), -ENOENT);
}

} // namespace
