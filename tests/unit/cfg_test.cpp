#include <atomic>
#include <cerrno>
#include <csignal>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <vector>
#include <unistd.h>

#include "cfg.h"
#include "tmpdir.h"

namespace {

class Cfg : public ::testing::Test {
protected:
	TmpDir dir;
	std::string conf = dir.path("etc/test.conf");

	void TearDown() override { cfg_cache_drop(); }

	const char *str(const char *key) { return cfg_read_str(conf.c_str(), key, nullptr); }
	int write(const char *key, const char *value) { return cfg_write_str(conf.c_str(), key, value); }
	struct stat stat_conf()
	{
		struct stat st = {};
		stat(conf.c_str(), &st);
		return st;
	}
};

TEST_F(Cfg, LineSyntax)
{
	dir.write("etc/test.conf",
		  "  a = 1 \n"
		  "b='x y'\n"
		  "q='\n"
		  "dq=\"\"\n"
		  "mixed='x\"\n"
		  "x\n"
		  "# c=3\n"
		  "dup=first\n"
		  "dup=last\n"
		  "\x01\xa0k\x7f\xff=\xe0v\xfe\r\n"
		  "eq=a=b\n"
		  "last=no newline");
	EXPECT_STREQ(str("a"), "1");
	EXPECT_STREQ(str("b"), "x y");
	EXPECT_STREQ(str("q"), "'"); // one quote alone is kept
	EXPECT_STREQ(str("dq"), "");
	EXPECT_STREQ(str("mixed"), "'x\"");
	EXPECT_STREQ(str("x"), "");
	EXPECT_STREQ(str("# c"), "3"); // no comment syntax
	EXPECT_STREQ(str("dup"), "last");
	EXPECT_STREQ(str("k\x7f"), "v"); // bytes 128..255 and controls are blanks
	EXPECT_STREQ(str("eq"), "a=b");
	EXPECT_STREQ(str("last"), "no newline");
	EXPECT_EQ(str("c"), nullptr);
	EXPECT_STREQ(cfg_read_str(conf.c_str(), "missing", "dflt"), "dflt");
}

TEST_F(Cfg, MissingEmptyAndBinaryFilesReadAsEmpty)
{
	EXPECT_EQ(str("a"), nullptr);
	ASSERT_NE(cfg_file_start(conf.c_str()), nullptr); // counts as read
	cfg_cache_drop();

	dir.write("etc/test.conf", "");
	EXPECT_EQ(str("a"), nullptr);
	cfg_cache_drop();

	dir.write("etc/test.conf", std::string("a=1\0b=2\nc\0=3\n\0\0\0", 17));
	EXPECT_STREQ(str("a"), "1");
	EXPECT_EQ(str("b"), nullptr);
	EXPECT_STREQ(str("c"), "");
}

TEST_F(Cfg, LongLinesAreReadInPieces)
{
	dir.write("etc/test.conf", std::string(CFG_LINE_MAX, 'x') + "k=v\n" + std::string(9000, 'y'));
	EXPECT_STREQ(str("k"), "v");
	EXPECT_EQ(str("y"), nullptr);
}

TEST_F(Cfg, ReadInt)
{
	dir.write("etc/test.conf", "dec=42\nhex=0x1F\noct=010\nneg=-7\nsuffix=12ab\nnone=abc\n"
				   "big=2147483648\nsmall=-2147483649\nhuge=99999999999999999999\n");
	int32_t v = 5;
	EXPECT_EQ(cfg_read_int(conf.c_str(), "dec", &v), 0);
	EXPECT_EQ(v, 42);
	EXPECT_EQ(cfg_read_int(conf.c_str(), "hex", &v), 0);
	EXPECT_EQ(v, 31);
	EXPECT_EQ(cfg_read_int(conf.c_str(), "oct", &v), 0);
	EXPECT_EQ(v, 8);
	EXPECT_EQ(cfg_read_int(conf.c_str(), "neg", &v), 0);
	EXPECT_EQ(v, -7);
	EXPECT_EQ(cfg_read_int(conf.c_str(), "suffix", &v), 0);
	EXPECT_EQ(v, 12);

	v = 5;
	EXPECT_EQ(cfg_read_int(conf.c_str(), "none", &v), -EINVAL);
	EXPECT_EQ(cfg_read_int(conf.c_str(), "big", &v), -ERANGE);
	EXPECT_EQ(cfg_read_int(conf.c_str(), "small", &v), -ERANGE);
	EXPECT_EQ(cfg_read_int(conf.c_str(), "huge", &v), -ERANGE);
	EXPECT_EQ(cfg_read_int(conf.c_str(), "absent", &v), -ENOENT);
	EXPECT_EQ(v, 5);
}

TEST_F(Cfg, WriteKeepsOtherLinesAndReplacesInPlace)
{
	dir.write("etc/test.conf", "# settings\nx\na=1\nb = 2\na=1\n\nc=3");
	chmod(conf.c_str(), 0644);
	ASSERT_EQ(write("a", "2"), 0);
	EXPECT_EQ(dir.read("etc/test.conf"), "# settings\nx\na=2\nb = 2\n\nc=3");
	EXPECT_EQ(stat_conf().st_mode & 07777, 0600u);
	EXPECT_EQ(dir.others_in_etc("test.conf"), 0);
	EXPECT_STREQ(str("a"), "2");

	// Appended after a last line without line end, on a line of its own.
	ASSERT_EQ(write("d", "4"), 0);
	EXPECT_EQ(dir.read("etc/test.conf"), "# settings\nx\na=2\nb = 2\n\nc=3\nd=4\n");

	// The cache follows the writes; a fresh read agrees.
	cfg_cache_drop();
	EXPECT_STREQ(str("a"), "2");
	EXPECT_STREQ(str("d"), "4");
}

TEST_F(Cfg, WriteOfTheSameValueLeavesTheFileUntouched)
{
	dir.write("etc/test.conf", "a = '1'\n");
	chmod(conf.c_str(), 0644);
	struct timespec old[2] = { { 1000000, 0 }, { 1000000, 0 } };
	utimensat(AT_FDCWD, conf.c_str(), old, 0);

	ASSERT_EQ(write("a", "1"), 0);
	struct stat st = stat_conf();
	EXPECT_EQ(st.st_mtim.tv_sec, 1000000);
	EXPECT_EQ(st.st_mode & 07777, 0644u);
	EXPECT_EQ(dir.read("etc/test.conf"), "a = '1'\n");
}

TEST_F(Cfg, WriteCreatesAMissingFile)
{
	ASSERT_EQ(cfg_write_int(conf.c_str(), "a", 5), 0);
	EXPECT_EQ(dir.read("etc/test.conf"), "a=5\n");
	EXPECT_EQ(stat_conf().st_mode & 07777, 0600u);
	ASSERT_EQ(cfg_write_int(conf.c_str(), "n", -12), 0);
	EXPECT_EQ(dir.read("etc/test.conf"), "a=5\nn=-12\n");
}

// An earlier line that already holds the value must not stop the rewrite
// while a later line overrides it: the setting would never take effect.
TEST_F(Cfg, WriteOverridesALaterDuplicate)
{
	dir.write("etc/test.conf", "a=1\nb=0\na=2\n");
	ASSERT_STREQ(str("a"), "2");
	ASSERT_EQ(write("a", "1"), 0);
	EXPECT_EQ(dir.read("etc/test.conf"), "a=1\nb=0\n");
	cfg_cache_drop();
	EXPECT_STREQ(str("a"), "1");
}

// Another process wrote the same value after this one read the file.
TEST_F(Cfg, WriteOfAValueAlreadyOnDiskSucceeds)
{
	dir.write("etc/test.conf", "a=1\n");
	ASSERT_STREQ(str("a"), "1");
	dir.write("etc/test.conf", "a=2\n");
	ASSERT_EQ(write("a", "2"), 0);
	EXPECT_STREQ(str("a"), "2");
	EXPECT_EQ(dir.others_in_etc("test.conf"), 0);
}

// A rewrite that fails half-way (here: the file size limit) leaves the old
// file as it was and no temporary file behind.
TEST_F(Cfg, FailedRewriteLeavesTheOldFile)
{
	std::string old = "# " + std::string(3000, '-') + "\na=1\n";
	dir.write("etc/test.conf", old);

	pid_t pid = fork();
	ASSERT_GE(pid, 0);
	if (pid == 0) {
		struct rlimit lim = { 1024, 1024 };
		signal(SIGXFSZ, SIG_IGN);
		setrlimit(RLIMIT_FSIZE, &lim);
		_exit(write("a", "2") == -EFBIG ? 0 : 1);
	}
	int status;
	waitpid(pid, &status, 0);
	EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
	EXPECT_EQ(dir.read("etc/test.conf"), old);
	EXPECT_EQ(dir.others_in_etc("test.conf"), 0);
}

// Runs f in a child process; its exit status.
template <typename F> int in_child(F f)
{
	pid_t pid = fork();
	int status;

	if (pid == 0)
		_exit(f());
	if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
		return -1;
	return WEXITSTATUS(status);
}

TEST_F(Cfg, FailedFirstWriteLeavesNoFile)
{
	EXPECT_EQ(in_child([this] {
			  struct rlimit lim = { 0, 0 };
			  signal(SIGXFSZ, SIG_IGN);
			  setrlimit(RLIMIT_FSIZE, &lim);
			  return write("a", "1") == -EFBIG ? 0 : 1;
		  }),
		  0);
	EXPECT_FALSE(std::filesystem::exists(conf));
	EXPECT_EQ(dir.others_in_etc(""), 0);
}

// Another process changed the value after this one cached it: writing the
// cached value again must still reach the file.
TEST_F(Cfg, AnOldCacheDoesNotSkipAWrite)
{
	dir.write("etc/test.conf", "a=1\n");
	ASSERT_STREQ(str("a"), "1");
	dir.write("etc/test.conf", "a=2\n");
	ASSERT_EQ(write("a", "1"), 0);
	EXPECT_EQ(dir.read("etc/test.conf"), "a=1\n");
}

// A writer waits for the one before it, and then writes on what that one
// left, even though it waited on the file that was there before.
TEST_F(Cfg, WritersTakeTurns)
{
	dir.write("etc/test.conf", "a=1\n");
	int held = open(conf.c_str(), O_RDONLY);
	ASSERT_EQ(flock(held, LOCK_EX), 0);

	pid_t pid = fork();
	ASSERT_GE(pid, 0);
	if (pid == 0) {
		close(held); // the parent's lock, not the child's
		_exit(write("b", "2") == 0 ? 0 : 1);
	}
	usleep(200000);
	EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), 0) << "wrote without the lock";
	dir.write("etc/test.conf.new", "a=9\n");
	ASSERT_EQ(rename(dir.path("etc/test.conf.new").c_str(), conf.c_str()), 0);
	close(held);

	int status;
	ASSERT_EQ(waitpid(pid, &status, 0), pid);
	EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
	EXPECT_EQ(dir.read("etc/test.conf"), "a=9\nb=2\n");
	EXPECT_EQ(dir.others_in_etc("test.conf"), 0);
}

TEST_F(Cfg, UnreadableFileIsNotRewritten)
{
	std::filesystem::create_directory(conf); // reading it fails
	EXPECT_LT(write("a", "1"), 0);
	EXPECT_TRUE(std::filesystem::is_directory(conf));
	EXPECT_EQ(dir.others_in_etc("test.conf"), 0);
}

// The console's threads share the cache: readers of one file while another
// thread rewrites a second one, and every value comes out whole.
TEST_F(Cfg, ThreadsShareTheCache)
{
	std::string other = dir.path("etc/other.conf");
	dir.write("etc/other.conf", "cio=0\nrevision=5\n");
	std::vector<std::thread> readers;
	std::atomic<int> wrong{ 0 };
	for (int t = 0; t < 3; t++)
		readers.emplace_back([&] {
			for (int i = 0; i < 2000; i++) {
				int32_t rev = -1;
				if (cfg_read_int(other.c_str(), "revision", &rev) != 0 || rev != 5)
					wrong++;
				if (i % 100 == 0)
					cfg_read_str(conf.c_str(), "k0", nullptr);
			}
		});
	for (int i = 0; i < 40; i++)
		ASSERT_EQ(cfg_write_int(conf.c_str(), ("k" + std::to_string(i % 4)).c_str(), i), 0);
	for (auto &r : readers)
		r.join();
	EXPECT_EQ(wrong, 0);
	cfg_cache_drop();
	int32_t v = -1;
	EXPECT_EQ(cfg_read_int(conf.c_str(), "k3", &v), 0);
	EXPECT_EQ(v, 39);
}

TEST_F(Cfg, WriteWithoutEtcFails)
{
	std::filesystem::remove_all(dir.path("etc"));
	EXPECT_EQ(write("a", "1"), -ENOENT);
}

} // namespace
