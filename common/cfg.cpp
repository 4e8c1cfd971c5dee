#include "cfg.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "errmsg.h"
#include "rootpath.h"
#include "util.h"

// The cache: entries follow the head, newest first, so that the last line
// of a file is met before the earlier lines with the same key.
static cfg_entry cfg_entries;

static bool cfg_blank(char c)
{
	signed char s = (signed char)c;

	return s <= 32 && s != 0;
}

// Reads one line of at most CFG_LINE_MAX bytes, its end included. Returns the
// number of bytes (which may include NULs), 0 at the end, or -EIO.
static int cfg_getline(FILE *f, char line[CFG_LINE_MAX + 1])
{
	int n = 0;
	int c;

	while (n < CFG_LINE_MAX && (c = getc(f)) != EOF) {
		line[n++] = (char)c;
		if (c == '\n')
			break;
	}
	line[n] = '\0';
	if (n == 0 && ferror(f))
		return -EIO;
	return n;
}

// Splits a line in place into key and value.
static void cfg_split(char *line, char **key, char **value)
{
	char *s = line;
	char *e;
	char *eq;
	size_t n;

	while (cfg_blank(*s))
		s++;
	e = s + strlen(s);
	while (e > s && cfg_blank(e[-1]))
		*--e = '\0';

	*key = s;
	eq = strchr(s, '=');
	if (!eq) {
		*value = e;
		return;
	}
	for (e = eq; e > s && cfg_blank(e[-1]); e--)
		;
	*e = '\0';
	*eq = '\0';

	s = eq + 1;
	while (cfg_blank(*s))
		s++;
	n = strlen(s);
	if (n >= 2 && (s[0] == '"' || s[0] == '\'') && s[n - 1] == s[0]) {
		s[n - 1] = '\0';
		s++;
	}
	*value = s;
}

int cfg_add_entry(const char *path, const char *key, const char *value)
{
	cfg_entry *e = (cfg_entry *)calloc(1, sizeof(*e));

	if (!e)
		return -ENOMEM;
	e->cfile = path;
	if ((key && !(e->key = strdup(key))) || (value && !(e->value = strdup(value)))) {
		free(e->key);
		free(e);
		return -ENOMEM;
	}
	e->next = cfg_entries.next;
	cfg_entries.next = e;
	return 0;
}

void cfg_cache_drop(void)
{
	cfg_entry *e = cfg_entries.next;

	while (e) {
		cfg_entry *next = e->next;

		free(e->key);
		free(e->value);
		free(e);
		e = next;
	}
	cfg_entries.next = nullptr;
}

cfg_entry *cfg_file_start(const char *path)
{
	for (cfg_entry *e = cfg_entries.next; e && e->cfile; e = e->next)
		if (!strcmp(e->cfile, path))
			return e;
	return nullptr;
}

// Rewrite mode writes line by line; a replaced or appended line must start a
// line of its own even where the file's last line had no line end.
struct cfg_out {
	FILE *f;
	bool at_line_start;
};

static int cfg_put_raw(cfg_out *o, const char *line, size_t n)
{
	if (fwrite(line, 1, n, o->f) != n) {
		errno = EIO;
		return neg_errno_msg("%s(): fputs() failed\n", "cfg_readwrite");
	}
	o->at_line_start = n ? line[n - 1] == '\n' : o->at_line_start;
	return 0;
}

static int cfg_put_pair(cfg_out *o, const char *key, const char *value)
{
	if (fprintf(o->f, "%s%s=%s\n", o->at_line_start ? "" : "\n", key, value) < 0) {
		errno = EIO;
		return neg_errno_msg("%s(): fprintf() failed\n", "cfg_readwrite");
	}
	o->at_line_start = true;
	return 0;
}

int cfg_readwrite(const char *path, const char *key, const char *value, FILE *out)
{
	char line[CFG_LINE_MAX + 1];
	char work[CFG_LINE_MAX + 1];
	cfg_out o = { out, true };
	bool read_any = false;
	bool found = false;
	bool changed = false;
	FILE *in;
	int r = 0;
	int n = 0;

	in = fopen(path, "re");
	if (!in && errno != ENOENT)
		return neg_errno();

	while (in && (n = cfg_getline(in, line)) > 0) {
		char *k, *v;

		read_any = true;
		memcpy(work, line, (size_t)n + 1);
		cfg_split(work, &k, &v);

		if (!out)
			r = cfg_add_entry(path, k, v);
		else if (strcmp(k, key))
			r = cfg_put_raw(&o, line, (size_t)n);
		else if (found)
			changed = true; // a later line with the key is dropped
		else {
			found = true;
			if (!strcmp(v, value))
				r = cfg_put_raw(&o, line, (size_t)n);
			else {
				changed = true;
				r = cfg_put_pair(&o, key, value);
			}
		}
		if (r < 0)
			break;
	}
	if (in) {
		if (r == 0 && n < 0)
			r = n;
		fclose(in);
	}
	if (r < 0)
		return r;

	if (!out)
		return read_any ? 0 : cfg_add_entry(path, nullptr, nullptr);
	if (!found) {
		changed = true;
		r = cfg_put_pair(&o, key, value);
	}
	// Only when the file would come out exactly as it is: an earlier line
	// holding the value does not count while a later one overrides it.
	return r < 0 ? r : changed ? 0 : -ECANCELED;
}

static cfg_entry *cfg_find(const char *path, const char *key)
{
	cfg_entry *e = cfg_file_start(path);

	if (!e) {
		if (cfg_readwrite(path, nullptr, nullptr, nullptr) < 0)
			return nullptr;
		e = cfg_file_start(path);
	}
	for (; e && e->cfile; e = e->next)
		if (e->key && !strcmp(e->cfile, path) && !strcmp(e->key, key))
			return e;
	return nullptr;
}

const char *cfg_read_str(const char *path, const char *key, const char *def)
{
	cfg_entry *e = cfg_find(path, key);

	return e ? e->value : def;
}

int cfg_read_int(const char *path, const char *key, int32_t *val)
{
	const char *s = cfg_read_str(path, key, nullptr);

	return s ? str_to_int32(s, val) : -ENOENT;
}

// Writes the rewritten file into a new temporary file beside the real ones
// and renames it over the real file, so that a reader, a crash or a full
// disk sees either the old file or the new one, never a mixture.
static int cfg_rewrite(const char *path, const char *key, const char *value)
{
	char tmp[PATH_MAX];
	FILE *out;
	int fd;
	int r;

	if (kel_pathf(tmp, sizeof(tmp), "/etc/kelvgdXXXXXX") < 0)
		return -ENAMETOOLONG;
	fd = mkostemp(tmp, O_CLOEXEC);
	if (fd < 0)
		return neg_errno();
	out = fdopen(fd, "w");
	if (!out) {
		r = neg_errno();
		close(fd);
		unlink(tmp);
		return r;
	}

	r = cfg_readwrite(path, key, value, out);
	if (r == -ECANCELED) {
		// Another process already wrote this value after we read the
		// file: nothing to change, and the setting holds.
		fclose(out);
		unlink(tmp);
		return 0;
	}
	if (r >= 0 && (fflush(out) != 0 || fsync(fileno(out)) != 0))
		r = neg_errno();
	if (fclose(out) != 0 && r >= 0)
		r = neg_errno();
	if (r >= 0 && rename(tmp, path) != 0)
		r = neg_errno();
	if (r < 0)
		unlink(tmp);
	return r;
}

int cfg_write_str(const char *path, const char *key, const char *value)
{
	cfg_entry *e = cfg_find(path, key);
	char *copy;
	int r;

	if (e && !strcmp(e->value, value))
		return 0;

	// Allocated first: once the file is renamed, the cache must follow.
	copy = strdup(value);
	if (!copy)
		return -ENOMEM;
	r = cfg_rewrite(path, key, value);
	if (r < 0) {
		free(copy);
		return r;
	}
	if (e) {
		free(e->value);
		e->value = copy;
		return 0;
	}
	r = cfg_add_entry(path, key, nullptr);
	if (r < 0) {
		free(copy);
		return r;
	}
	cfg_entries.next->value = copy;
	return 0;
}

int cfg_write_int(const char *path, const char *key, int32_t value)
{
	char s[16];

	snprintf(s, sizeof(s), "%d", value);
	return cfg_write_str(path, key, s);
}
