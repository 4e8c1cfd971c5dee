// Small text files: sysfs attributes, state files, one-line values.
#pragma once

#include <cstddef>
#include <cstdint>

// Writes all bytes to the descriptor, riding out short writes and signals;
// 0 or a negated errno value, without a message.
int fd_write_all(int fd, const void *buf, size_t len);

// Writes all bytes into an existing file (never creates it).
int file_write(const char *path, const void *buf, size_t len);

// Creates or truncates the file and writes the formatted text.
int file_writes(const char *path, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// The first line of the file (at most 4095 bytes, line end kept), newly
// allocated; none for an empty or unreadable file. The caller frees it.
char *file_reads(const char *path);

// The first line as a number (automatic base); -EIO when unreadable.
int file_readint(const char *path, int32_t *val);

// The first line as a floating-point number; -EIO when unreadable, -EINVAL
// without digits.
int file_readdbl(const char *path, double *val);

bool file_exists(const char *path);

// Whether a file of secrets (a password, a private key) is kept from
// everyone but its owner: 0 when neither its group nor others may read it,
// -EPERM when they may, another negated errno when it cannot be looked at.
int file_private(const char *path);
