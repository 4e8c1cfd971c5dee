#include <cerrno>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include "rootpath.h"
#include "util.h"

namespace {

// Whole seconds are the quotient of the time between, not the difference of
// the seconds fields: the health monitor judges its test by them.
TEST(TsElapsed, BorrowsASecond)
{
	const timespec a = { 10, 900000000 };
	auto elapsed = [&](time_t s, long ns) {
		const timespec b = { s, ns };
		return ts_elapsed_ns(&a, &b);
	};

	EXPECT_EQ(elapsed(12, 100000000), 1200000000);
	EXPECT_EQ(elapsed(10, 900000000), 0);
	EXPECT_EQ(elapsed(16, 899999999) / NSEC_PER_SEC, 5);
	EXPECT_EQ(elapsed(16, 900000000) / NSEC_PER_SEC, 6);
	EXPECT_EQ(elapsed(12, 100000000) / NSEC_PER_MSEC, 1200);

	timespec now;
	clock_gettime(CLOCK_MONOTONIC, &now);
	EXPECT_GE(ts_elapsed_ns(&a, nullptr), ts_elapsed_ns(&a, &now));
}

// The console's command lines: runs of blanks separate, quotes keep blanks
// in a word and go; "" is a word of its own. The intercom control lines
// count by position: every blank separates, quotes are text.
TEST(SplitWords, QuotedAndPositional)
{
	auto quoted = [](std::string_view line) {
		std::vector<std::string> words;
		for (std::string_view w : split_words(line, WORDS_QUOTED))
			words.push_back(unquote(w));
		return words;
	};
	using S = std::vector<std::string>;
	using V = std::vector<std::string_view>;

	EXPECT_EQ(quoted("  call \t sip:a@b\r"), (S{ "call", "sip:a@b" }));
	EXPECT_EQ(quoted("call \"sip:a b\"@c x\"y z\" \"\""), (S{ "call", "sip:a b@c", "xy z", "" }));
	EXPECT_EQ(quoted("say \"open end"), (S{ "say", "open end" }));
	EXPECT_EQ(quoted(" \t\r"), S{});
	EXPECT_EQ(split_words("rel  5 \"1\"\r"), (V{ "rel", "", "5", "\"1\"\r" }));
	EXPECT_EQ(split_words(""), (V{ "" }));
}

TEST(FromHex, EveryByte)
{
	const char *digits = "0123456789abcdef";
	for (int c = 0; c < 256; c++) {
		const char *p = c ? strchr(digits, tolower(c)) : nullptr;
		int want = p && isxdigit(c) ? (int)(p - digits) : -EINVAL;
		EXPECT_EQ(fromhex((char)c), want) << c;
	}
}

TEST(Keepalive, SetsTheProbes)
{
	int fd = socket(AF_INET, SOCK_STREAM, 0);
	ASSERT_GE(fd, 0);
	ASSERT_EQ(socket_keepalive_enable(fd), 0);
	auto get = [fd](int level, int name) {
		int v = -1;
		socklen_t len = sizeof(v);
		getsockopt(fd, level, name, &v, &len);
		return v;
	};
	EXPECT_EQ(get(IPPROTO_TCP, TCP_KEEPCNT), 3);
	EXPECT_EQ(get(IPPROTO_TCP, TCP_KEEPIDLE), 30);
	EXPECT_EQ(get(IPPROTO_TCP, TCP_KEEPINTVL), 10);
	EXPECT_EQ(get(SOL_SOCKET, SO_KEEPALIVE), 1);
	close(fd);

	EXPECT_EQ(socket_keepalive_enable(-1), -EBADF);
}

TEST(RootPath, PrefixOnlyWhenSet)
{
	unsetenv("KEL_ROOT");
	const char *fixed = "/etc/kelvgd.conf";
	EXPECT_EQ(kel_path(fixed), fixed);
	setenv("KEL_ROOT", "", 1);
	EXPECT_EQ(kel_path(fixed), fixed);

	setenv("KEL_ROOT", "/tmp/sb", 1);
	const char *p = kel_path(fixed);
	EXPECT_STREQ(p, "/tmp/sb/etc/kelvgd.conf");
	EXPECT_EQ(kel_path(fixed), p); // stable: callers keep it

	char buf[32];
	EXPECT_EQ(kel_pathf(buf, sizeof(buf), "/sys/gpio%d", 17), 18);
	EXPECT_STREQ(buf, "/tmp/sb/sys/gpio17");
	EXPECT_EQ(kel_pathf(buf, 18, "/sys/gpio%d", 17), -ENAMETOOLONG);
	EXPECT_EQ(kel_pathf(buf, 5, "/x"), -ENAMETOOLONG);
	unsetenv("KEL_ROOT");
}

} // namespace
