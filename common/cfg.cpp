#include "cfg.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <libgen.h>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "errmsg.h"
#include "fileio.h"
#include "rootpath.h"
#include "util.h"

// The cache: entries follow the head, newest first, so that the last line
// of a file is met before the earlier lines with the same key.
static cfg_entry cfg_entries;
// The console reads and writes its files from several threads. Recursive:
// the public functions call each other.
static std::recursive_mutex cfg_cache_lock;

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
	std::lock_guard<std::recursive_mutex> hold(cfg_cache_lock);
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
	std::lock_guard<std::recursive_mutex> hold(cfg_cache_lock);
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
	std::lock_guard<std::recursive_mutex> hold(cfg_cache_lock);
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
	std::lock_guard<std::recursive_mutex> hold(cfg_cache_lock);
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
	std::lock_guard<std::recursive_mutex> hold(cfg_cache_lock);
	cfg_entry *e = cfg_find(path, key);

	return e ? e->value : def;
}

int cfg_read_int(const char *path, const char *key, int32_t *val)
{
	std::lock_guard<std::recursive_mutex> hold(cfg_cache_lock);
	const char *s = cfg_read_str(path, key, nullptr);

	return s ? str_to_int32(s, val) : -ENOENT;
}

// Rewrites of one file are serialised between processes by an exclusive
// flock() on the file itself, so that each writer reads what the one before
// it wrote. A rewrite replaces the file by rename: a lock won on a file that
// is no longer the one at the path locks nothing and is taken again. The
// wait is bounded, so a writer that hangs cannot stop every other for good.
#define CFG_LOCK_WAIT_MS 10000

static int cfg_flock(int fd)
{
	struct timespec start, now;
	useconds_t delay = 1000;

	if (clock_gettime(CLOCK_MONOTONIC, &start) != 0)
		return neg_errno();
	while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
		if (errno != EWOULDBLOCK && errno != EINTR)
			return neg_errno();
		if (clock_gettime(CLOCK_MONOTONIC, &now) != 0)
			return neg_errno();
		if (ts_elapsed_ns(&start, &now) / NSEC_PER_MSEC >= CFG_LOCK_WAIT_MS)
			return -ETIMEDOUT;
		usleep(delay);
		delay = std::min<useconds_t>(delay * 2, 20000);
	}
	return 0;
}

// The locked descriptor of the file. A missing file is created empty (which
// reads the same); *created says so, for the caller to take it back.
static int cfg_lock(const char *path, bool *created)
{
	for (;;) {
		struct stat held, current;
		int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
		int r;

		*created = false;
		if (fd < 0 && errno == ENOENT) {
			fd = open(path, O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0600);
			*created = fd >= 0;
		}
		if (fd < 0) {
			if (errno == EEXIST)
				continue; // another writer created it meanwhile
			return neg_errno();
		}
		r = cfg_flock(fd);
		if (r == 0 && fstat(fd, &held) != 0)
			r = neg_errno();
		if (r == 0 && stat(path, &current) == 0 && current.st_dev == held.st_dev &&
		    current.st_ino == held.st_ino)
			return fd;
		close(fd);
		if (r < 0)
			return r;
		// Replaced or removed while we waited: lock the file there now.
	}
}

// The name under which a new version of the file becomes visible just before
// it is renamed over the file: one per file, so that the next writer of that
// file removes it when a writer was killed between the two steps.
static int cfg_tmp_name(char *buf, size_t size, const char *path)
{
	static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
	uint32_t h = str_hash32(path);
	char suffix[7];

	for (int i = 0; i < 6; i++, h /= 62)
		suffix[i] = digits[h % 62];
	suffix[6] = '\0';
	return kel_pathf(buf, size, "/etc/kelvgd%s", suffix) < 0 ? -ENAMETOOLONG : 0;
}

// Makes the rename itself last through a power cut. Best effort: a failure
// here takes nothing back from what the rename has already shown.
static void cfg_sync_dir(const char *path)
{
	char dir[PATH_MAX];
	int fd;

	if (snprintf(dir, sizeof(dir), "%s", path) >= (int)sizeof(dir))
		return;
	fd = open(dirname(dir), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (fd >= 0) {
		fsync(fd);
		close(fd);
	}
}

// Makes text the file's new content in one step. It is written into a file
// without a name (O_TMPFILE), which vanishes with its writer whatever kills
// it; only once complete and on disk does it get the temporary name and
// replace the file by rename, so that a reader, a crash or a full disk sees
// either the old file or the new one. File systems without unnamed files
// get the named file at once.
static int cfg_replace(const char *path, const char *text, size_t len)
{
	char tmp[PATH_MAX];
	char link[32];
	bool named = false;
	int fd;
	int r;

	if ((r = cfg_tmp_name(tmp, sizeof(tmp), path)) < 0)
		return r;
	if (unlink(tmp) != 0 && errno != ENOENT)
		return neg_errno();

	fd = open(kel_path("/etc"), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
	if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR)) {
		fd = open(tmp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
		named = fd >= 0;
	}
	if (fd < 0)
		return neg_errno();

	r = fd_write_all(fd, text, len);
	if (r == 0 && fsync(fd) != 0)
		r = neg_errno();
	if (r == 0 && !named) {
		snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
		if (linkat(AT_FDCWD, link, AT_FDCWD, tmp, AT_SYMLINK_FOLLOW) != 0)
			r = neg_errno();
		named = r == 0;
	}
	if (close(fd) != 0 && r == 0)
		r = neg_errno();
	if (r == 0 && rename(tmp, path) != 0)
		r = neg_errno();
	if (r < 0 && named)
		unlink(tmp);
	if (r == 0)
		cfg_sync_dir(path);
	return r;
}

// Under the file's lock: the file as it is now, with key set to value.
static int cfg_rewrite(const char *path, const char *key, const char *value)
{
	char *text = nullptr;
	size_t len = 0;
	FILE *out = open_memstream(&text, &len);
	int r;

	if (!out)
		return neg_errno();
	r = cfg_readwrite(path, key, value, out);
	if (fclose(out) != 0 && r >= 0)
		r = neg_errno();
	if (r >= 0)
		r = cfg_replace(path, text, len);
	free(text);
	return r;
}

int cfg_write_str(const char *path, const char *key, const char *value)
{
	std::lock_guard<std::recursive_mutex> hold(cfg_cache_lock);
	cfg_entry *e = cfg_find(path, key);
	bool created;
	char *copy;
	int fd;
	int r;

	// Allocated first: once the file is renamed, the cache must follow.
	copy = strdup(value);
	if (!copy)
		return -ENOMEM;
	fd = cfg_lock(path, &created);
	if (fd < 0) {
		free(copy);
		return fd;
	}
	// The decision whether anything changes is taken on the file as it is
	// under the lock, not on this process's cache, which may be old.
	r = cfg_rewrite(path, key, value);
	if (r == -ECANCELED)
		r = 0; // the file already holds the value: left as it is
	else if (r < 0 && created)
		unlink(path);
	close(fd);
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
