// Sending to the client: RETR of files and conversions, and command output (LIST).
#pragma once

#include <sys/time.h>

#include <cstddef>

// Send the file `name`, or with `argv` (a null-terminated vector the caller owns)
// the output of that command: "/bin/ls" is the built-in lister.
void cmd_retr(const char* const* argv, const char* name);

// The download rate window: bytes left in this second and when the second began.
struct RateWindow {
    long long budget = 0;
    timeval start {};
};

// Write `length` bytes to `fd` in pieces of at most `writesize`, at most the
// class's `rateget` bytes per second, counting them as sent (and as file data with
// `count_as_data`). Returns 0 when all was written, 1 when a write failed.
int write_throttled(int fd, const char* buffer, std::size_t length, RateWindow& window,
                    bool count_as_data);
