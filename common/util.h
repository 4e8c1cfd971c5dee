// Small helpers shared by both programs.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#define NSEC_PER_SEC 1000000000LL
#define NSEC_PER_MSEC 1000000LL
#define NSEC_PER_USEC 1000LL

// The nanoseconds from start to end, or to now on the monotonic clock when
// end is null. Whole seconds or milliseconds are its quotient: the seconds
// fields alone may differ by one more than the whole seconds between.
int64_t ts_elapsed_ns(const struct timespec *start, const struct timespec *end);

// Converts a number with automatic base ("0x" hexadecimal, leading 0 octal)
// and ignores what follows its digits. -EINVAL without digits, -ERANGE
// outside int32_t; *val is untouched on failure.
int str_to_int32(const char *s, int32_t *val);

// FNV-1a, 32 bits, over the string up to its NUL: a name for a path that
// stays the same for as long as the path does.
uint32_t str_hash32(const char *s);

// The value of a hexadecimal digit, or -EINVAL.
int fromhex(char c);

// How split_words() separates the words of a line.
enum word_rule {
	// Every single blank or tab separates, so adjacent ones leave an empty
	// word: the intercom control lines and a call's user input count their
	// arguments by position.
	WORDS_POSITIONAL,
	// Runs of blanks, tabs and carriage returns separate, except between
	// double quotes, which stay in the word for unquote() to drop: the
	// console's command lines, whose SIP addresses may hold blanks.
	WORDS_QUOTED,
};

// The words of a command line, as views into it.
std::vector<std::string_view> split_words(std::string_view line, word_rule rule = WORDS_POSITIONAL);

// A word of WORDS_QUOTED without its double quotes ("" is an empty word).
std::string unquote(std::string_view word);

// TCP keep-alive: 3 probes 10 s apart after 30 s of silence, so a dead peer
// is noticed about a minute after the last traffic.
int socket_keepalive_enable(int fd);
