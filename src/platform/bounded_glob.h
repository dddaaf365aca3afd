// glob with a bound on its work: glibc has no GLOB_LIMIT, so a pattern from a
// client could otherwise make the server read without end or build huge lists.
#pragma once

#include <glob.h>

#include <cstddef>

// Most paths one expansion may produce, and most directory entries it may read.
constexpr std::size_t glob_result_limit = 16384;
constexpr std::size_t glob_entry_limit = 65536;

// glob(3) with the same flags and results, except that an expansion that would
// pass the limits fails with GLOB_NOSPACE (as glob does when memory runs out);
// `results` must then still be released with globfree.
int bounded_glob(const char* pattern, int flags, glob_t* results);
