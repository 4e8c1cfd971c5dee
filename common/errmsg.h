// Error convention of both programs: a function returns 0 (or a count) on
// success and a negated errno value on failure, and callers pass that value
// up unchanged. These helpers print a diagnostic on stderr and return the
// negated errno that was current on entry, so a failure path can be written
// as `return neg_errno_msg(...)`.
#pragma once

// Prints the message; returns -errno as it was on entry.
int neg_errno_msg(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Prints "<system error text> (@<call site>)". The call site is an address
// of the program file, so `addr2line -e <program> <address>` names the line.
int neg_errno_automsg(void);

// Prints "<func>() failed".
int neg_errno_func(const char *func);

// The negated errno value of the last failed call. A failure must never read
// as success, so an errno of 0 (a library that failed without saying why)
// becomes -EIO.
int neg_errno(void);
