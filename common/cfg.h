// Key=value configuration files with a per-process cache.
//
// A line is a key, "=" and a value; blanks around both are dropped, a value
// in matching single or double quotes loses them, a line without "=" is a
// key with an empty value, and the last of several lines with one key wins.
// There is no comment syntax: any other line is kept as it is on rewrite.
//
// A file is read into the cache the first time one of its keys is asked for
// and is never read again; this process's own writes update the cache. The
// cache is guarded by a lock of the process, so threads may share it; a
// value read stays valid until the same process writes that key again. A
// write decides on the file as it is on disk, never on the cache.
#pragma once

#include <cstdint>
#include <cstdio>

struct cfg_entry {
	const char *cfile; // path of the file, kept by reference: it must outlive the process's use of the cache
	char *key;         // none on the marker of a missing or empty file
	char *value;
	cfg_entry *next;
};

// The longest line read as one; a longer line is read as several.
#define CFG_LINE_MAX 4095

// The value of key in the file, or def when it has none.
const char *cfg_read_str(const char *path, const char *key, const char *def);

// Stores the value in *val (automatic base: 0x hexadecimal, leading 0 octal).
// -ENOENT when absent, -EINVAL without digits, -ERANGE outside int32_t;
// *val is untouched on failure, so callers preset their default in it.
int cfg_read_int(const char *path, const char *key, int32_t *val);

// Rewrites the file atomically with key=value, unless it already holds that
// value. The file gets mode 0600. Writers of one file, in any process of
// either program, take turns: each reads the file as the one before it left
// it, so no setting is lost. The new version goes through a temporary file in
// /etc that no killed writer leaves behind. -ETIMEDOUT when another writer
// kept the file for 10 s.
int cfg_write_str(const char *path, const char *key, const char *value);
int cfg_write_int(const char *path, const char *key, int32_t value);

// The first cached entry of the file, or none before it has been read.
cfg_entry *cfg_file_start(const char *path);

// Without out: reads the file into the cache. With out: writes the file to
// out with key set to value; -ECANCELED when nothing would change.
int cfg_readwrite(const char *path, const char *key, const char *value, FILE *out);

// Inserts a cache entry; key and value are copied and may be none.
int cfg_add_entry(const char *path, const char *key, const char *value);

// Forgets every cached file. For tests and fuzzing: a daemon never drops its
// cache.
void cfg_cache_drop(void);
