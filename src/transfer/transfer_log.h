// The transfer log: one readable syslog line per event with -l -l, and a record in
// xferlog format for files sent and received (-L file, -X syslog).
#pragma once

#include <sys/time.h>

// Record one event. `word` is "get", "put", "append", or a file operation
// ("delete", "mkdir", "rmdir", "rename"); `size` -1 for events without one;
// `path`, `second_path`, `elapsed` and `error` may be null.
void log_transfer(const char* word, long long size, const char* path, const char* second_path,
                  const timeval* elapsed, const char* error);

// `end` - `start`, with the microseconds borrowed as needed.
timeval elapsed_between(const timeval& start, const timeval& end);
