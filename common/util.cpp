#include "util.h"

#include <cerrno>
#include <cstdlib>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "errmsg.h"

int64_t ts_elapsed_ns(const struct timespec *start, const struct timespec *end)
{
	struct timespec now;

	if (!end) {
		clock_gettime(CLOCK_MONOTONIC, &now);
		end = &now;
	}
	return (int64_t)(end->tv_sec - start->tv_sec) * NSEC_PER_SEC + (end->tv_nsec - start->tv_nsec);
}

int str_to_int32(const char *s, int32_t *val)
{
	char *end;
	long v;

	errno = 0;
	v = strtol(s, &end, 0);
	if (errno)
		return -errno;
	if (end == s)
		return -EINVAL;
	if (v < INT32_MIN || v > INT32_MAX)
		return -ERANGE;
	*val = (int32_t)v;
	return 0;
}

uint32_t str_hash32(const char *s)
{
	uint32_t h = 2166136261u;

	for (; *s; s++)
		h = (h ^ (uint8_t)*s) * 16777619u;
	return h;
}

int fromhex(char c)
{
	if (c >= '0' && c <= '9')
		return c - '0';
	if (c >= 'A' && c <= 'F')
		return c - 'A' + 10;
	if (c >= 'a' && c <= 'f')
		return c - 'a' + 10;
	return -EINVAL;
}

int socket_keepalive_enable(int fd)
{
	static const struct {
		int level;
		int name;
		int value;
		const char *msg;
	} opts[] = {
		{ IPPROTO_TCP, TCP_KEEPCNT, 3, "setsockopt: cannot set TCP_KEEPCNT\n" },
		{ IPPROTO_TCP, TCP_KEEPIDLE, 30, "setsockopt: cannot set TCP_KEEPIDLE\n" },
		{ IPPROTO_TCP, TCP_KEEPINTVL, 10, "setsockopt: cannot set TCP_KEEPINTVL\n" },
		{ SOL_SOCKET, SO_KEEPALIVE, 1, "setsockopt: cannot set SO_KEEPALIVE\n" },
	};

	for (const auto &o : opts)
		if (setsockopt(fd, o.level, o.name, &o.value, sizeof(o.value)) != 0)
			return neg_errno_msg("%s", o.msg);
	return 0;
}

std::vector<std::string_view> split_words(std::string_view line, word_rule rule)
{
	const std::string_view blanks = rule == WORDS_QUOTED ? " \t\r" : " \t";
	std::vector<std::string_view> words;
	bool quoted = false;
	size_t start = 0;

	for (size_t i = 0; i <= line.size(); i++) {
		const bool end = i == line.size() || (!quoted && blanks.find(line[i]) != std::string_view::npos);

		if (i < line.size() && line[i] == '"' && rule == WORDS_QUOTED)
			quoted = !quoted;
		if (!end)
			continue;
		// A run of separators, or those before the first word, makes none.
		if (rule == WORDS_POSITIONAL || i > start)
			words.push_back(line.substr(start, i - start));
		start = i + 1;
	}
	return words;
}

std::string unquote(std::string_view word)
{
	std::string text;

	for (char c : word)
		if (c != '"')
			text += c;
	return text;
}
