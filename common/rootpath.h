// Every fixed path of both programs (/etc, /run, /var/run, /sys, /dev,
// /bin/button_bell) is looked up through kel_path(). When the environment
// names a root directory in KEL_ROOT, it is put in front of the path, so that
// tests and the virtual terminal run the real programs against a sandbox
// tree. Paths given on a command line do not go through here.
#pragma once

#include <cstddef>

// The sandbox root, or none when KEL_ROOT is unset or empty.
const char *kel_root(void);

// The path under KEL_ROOT, or the path itself when KEL_ROOT is unset or
// empty. The result stays valid for the life of the process.
const char *kel_path(const char *path);

// Formats a path and puts KEL_ROOT in front, into buf. Returns the length, or
// -ENAMETOOLONG when it does not fit.
int kel_pathf(char *buf, size_t size, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
