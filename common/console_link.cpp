#include "console_link.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "errmsg.h"
#include "fileio.h"
#include "rootpath.h"

// By console_tr_mode.
static const char *const tr_words[] = { "tr_auto", "tr_on", "tr_off" };

static console_line console_linef(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

static console_line console_linef(const char *fmt, ...)
{
	console_line line;
	va_list ap;
	int n;

	va_start(ap, fmt);
	n = vsnprintf(line.text, sizeof(line.text), fmt, ap);
	va_end(ap);
	// Every line fits: its words are fixed and the number is an int.
	line.len = n < 0 ? 0 : (size_t)n;
	return line;
}

console_line console_line_call(int intercom)
{
	return console_linef(CONSOLE_CMD_CALL " " CONSOLE_INTERCOM_PARTY "%d\n", intercom);
}

console_line console_line_hangup(void)
{
	return console_linef(CONSOLE_CMD_HANGUP "\n");
}

console_line console_line_tcmd(console_tr_mode mode)
{
	return console_linef(CONSOLE_CMD_TCMD " %s\n", console_tr_word(mode));
}

const char *console_tr_word(console_tr_mode mode)
{
	return tr_words[mode];
}

int console_tr_parse(const char *word)
{
	for (int mode = CONSOLE_TR_AUTO; mode <= CONSOLE_TR_OFF; mode++)
		if (!strcasecmp(word, tr_words[mode]))
			return mode;
	return -EINVAL;
}

// The status bits as the states file shows them, in its order.
static const unsigned shown_bits[] = { 0, 1, 2, 3, 5, 6, 7 };
#define IC_SHOWN_BITS (sizeof(shown_bits) / sizeof(shown_bits[0]))

unsigned ic_test_level(uint16_t result)
{
	return (unsigned)(std::sqrt((double)result) * 0.78125);
}

// Appends to the text in buf as far as it fits, counting all of it.
static void states_append(char *buf, size_t size, size_t *len, const char *fmt, ...)
	__attribute__((format(printf, 4, 5)));

static void states_append(char *buf, size_t size, size_t *len, const char *fmt, ...)
{
	va_list ap;
	int n;

	va_start(ap, fmt);
	n = *len < size ? vsnprintf(buf + *len, size - *len, fmt, ap) : vsnprintf(nullptr, 0, fmt, ap);
	va_end(ap);
	if (n > 0)
		*len += (size_t)n;
}

size_t ic_states_format(const ic_states *s, char *buf, size_t size)
{
	size_t len = 0;

	if (size)
		buf[0] = '\0';
	states_append(buf, size, &len, "# cb_cur,inp1,inp2,rel,pulses,audio,cb_pend,rcause\n");
	for (unsigned a = 0; a < IC_STATES_INTERCOMS; a++) {
		const uint16_t w = s->state[a];

		if (!w)
			continue;
		states_append(buf, size, &len, "rs%u=", a);
		for (unsigned bit : shown_bits)
			states_append(buf, size, &len, "%u,", (w >> bit) & 1u);
		states_append(buf, size, &len, "%u\n", (w >> 8) & 0x7Fu);
	}
	states_append(buf, size, &len, "# res,time\n");
	for (unsigned a = 0; a < IC_STATES_INTERCOMS; a++)
		if (s->tested[a])
			states_append(buf, size, &len, "test%u=%u,%lu\n", a, (unsigned)s->test_level[a],
				      (unsigned long)s->test_age[a]);
	states_append(buf, size, &len, "call=%d\n", s->call);
	return len;
}

// A decimal number at *p, which moves past it; false without digits.
static bool states_number(const char **p, unsigned long long *value)
{
	char *end;

	if (**p < '0' || **p > '9')
		return false;
	errno = 0;
	*value = strtoull(*p, &end, 10);
	*p = end;
	return errno == 0;
}

// "<prefix><address>=": the address, with *p past the "=".
static bool states_key(const char **p, const char *prefix, unsigned *address)
{
	const size_t n = strlen(prefix);
	unsigned long long a;

	if (strncmp(*p, prefix, n) != 0)
		return false;
	*p += n;
	if (!states_number(p, &a) || **p != '=' || a >= IC_STATES_INTERCOMS)
		return false;
	(*p)++;
	*address = (unsigned)a;
	return true;
}

// count numbers separated by commas, and then the end of the line.
static bool states_fields(const char *p, unsigned long long *values, unsigned count)
{
	for (unsigned i = 0; i < count; i++) {
		if ((i && *p++ != ',') || !states_number(&p, &values[i]))
			return false;
	}
	return *p == '\n' || *p == '\0';
}

// An intercom's line: as many of its fields as it gives. A status bit is
// set when its field begins with a 1, as the daemon has always read them.
static void states_intercom(const char *p, ic_states *s, unsigned a)
{
	uint16_t w = IC_STATE_PRESENT;
	unsigned n = 0;

	for (;;) {
		const char *field = p;
		unsigned long long cause;

		p += strcspn(p, ",\n");
		if (n < IC_SHOWN_BITS && *field == '1')
			w |= (uint16_t)(1u << shown_bits[n]);
		else if (n == IC_SHOWN_BITS && states_number(&field, &cause))
			w |= (uint16_t)((cause & 0x7F) << 8);
		n++;
		if (*p != ',')
			break;
		p++;
	}
	s->state[a] = w;
	s->fields[a] = (uint8_t)std::min(n, 1 + (unsigned)IC_SHOWN_BITS);
}

// One line; *call_seen once a "call=" line has been, which the first gives.
static void states_line(const char *p, ic_states *s, bool *call_seen)
{
	unsigned long long v[2];
	unsigned a;

	if (states_key(&p, CONSOLE_INTERCOM_PARTY, &a)) {
		states_intercom(p, s, a);
	} else if (states_key(&p, "test", &a)) {
		if (!states_fields(p, v, 2))
			return;
		s->tested[a] = true;
		s->test_level[a] = (uint16_t)std::min<unsigned long long>(v[0], UINT16_MAX);
		s->test_age[a] = v[1];
	} else if (!strncmp(p, "call=", 5) && !*call_seen) {
		*call_seen = true;
		s->call = states_fields(p + 5, v, 1) && v[0] <= INT_MAX ? (int)v[0] : -1;
	}
}

void ic_states_parse(const char *text, ic_states *s)
{
	bool call_seen = false;

	memset(s, 0, sizeof(*s));
	s->call = IC_CALL_NONE;
	for (const char *p = text; *p; p++) {
		states_line(p, s, &call_seen);
		p = strchr(p, '\n');
		if (!p)
			break;
	}
}

int ic_states_input(const ic_states *s, int address, int input)
{
	// After the call button: inp1, inp2, rel, pulses, audio, cb_pend.
	if (address < 0 || address >= IC_STATES_INTERCOMS || input < 0 || input + 1 >= (int)IC_SHOWN_BITS ||
	    input + 1 >= s->fields[address])
		return -1;
	return (s->state[address] >> shown_bits[input + 1]) & 1;
}

int ic_states_publish(ic_states_file *f, const char *text, size_t len)
{
	const char *path = kel_path(IC_STATES_FILE);
	char tmp[PATH_MAX];
	struct stat st;
	int fd;
	int r;

	if (snprintf(tmp, sizeof(tmp), "%s.XXXXXX", path) >= (int)sizeof(tmp))
		return -ENAMETOOLONG;
	fd = mkostemp(tmp, O_CLOEXEC);
	if (fd < 0)
		return neg_errno();
	// No fsync: the file lives in /run, which nothing survives, and a
	// reader sees it whole anyway.
	r = fchmod(fd, 0660) == 0 ? 0 : neg_errno();
	if (r == 0)
		r = fd_write_all(fd, text, len);
	if (r == 0 && fstat(fd, &st) != 0)
		r = neg_errno();
	if (close(fd) != 0 && r == 0)
		r = neg_errno();
	if (r == 0 && rename(tmp, path) != 0)
		r = neg_errno();
	if (r < 0) {
		unlink(tmp);
		return r;
	}
	f->dev = st.st_dev;
	f->ino = st.st_ino;
	f->written = true;
	return 0;
}

bool ic_states_in_place(const ic_states_file *f)
{
	struct stat st;

	return f->written && lstat(kel_path(IC_STATES_FILE), &st) == 0 && st.st_dev == f->dev && st.st_ino == f->ino;
}

void ic_states_remove(ic_states_file *f)
{
	if (ic_states_in_place(f))
		unlink(kel_path(IC_STATES_FILE));
	f->written = false;
}

int speaker_state_create(void)
{
	int fd = open(kel_path(SPEAKER_STATE_FILE), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0444);

	return fd < 0 ? neg_errno() : fd;
}

int speaker_state_write(int fd, bool speaking)
{
	if (fd < 0)
		return 0;
	return pwrite(fd, speaking ? "1" : "0", 1, 0) == 1 ? 0 : neg_errno();
}

void speaker_state_remove(int fd)
{
	if (fd >= 0)
		close(fd);
	unlink(kel_path(SPEAKER_STATE_FILE));
}

bool speaker_state_present(void)
{
	return file_exists(kel_path(SPEAKER_STATE_FILE));
}
