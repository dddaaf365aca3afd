// The server's own record of the current directory as a path.
#pragma once

#include <cstddef>
#include <string>

constexpr std::size_t logical_cwd_size = 1024;
extern char logical_cwd[logical_cwd_size];  // refreshed by every successful CWD (files)

// After a successful change to `path`: take the system's current directory, or
// build it from the previous record, resolving symbolic links.
void refresh_logical_cwd(const char* path);

// The path of `path` entered from `previous`, with "//", "/./", symbolic links and
// "/../" resolved. False when a step would not fit the 1024-byte room.
bool build_logical_path(const char* previous, const char* path, std::string& result);
