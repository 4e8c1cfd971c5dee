// libre's headers, as the library was built: they take their basic types
// and the size of struct sa (IPv6 included) from these macros.
#pragma once

#ifndef HAVE_INTTYPES_H
#define HAVE_INTTYPES_H 1
#endif
#ifndef HAVE_STDBOOL_H
#define HAVE_STDBOOL_H 1
#endif
#ifndef HAVE_INET6
#define HAVE_INET6 1
#endif

#include <cstdint>

// Volatile parameters, deprecated in C++20, in a header we do not own.
#pragma GCC diagnostic push
#if defined(__clang__)
#pragma GCC diagnostic ignored "-Wdeprecated-volatile"
#else
#pragma GCC diagnostic ignored "-Wvolatile"
#endif
#include <re.h>
#pragma GCC diagnostic pop

#include <string>

namespace sipep {

inline std::string to_string(const pl &p)
{
	return p.p ? std::string(p.p, p.l) : std::string();
}

} // namespace sipep
