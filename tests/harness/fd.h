// File descriptors and bounded waits for the test harness. Every wait of the
// harness goes through `wait_ready`, so no test can hang and a server that logs a
// lot never blocks on a full syslog socket (see syslog_capture.h).
#pragma once

#include <poll.h>

#include <chrono>
#include <utility>
#include <vector>

using Millis = std::chrono::milliseconds;

// The limit of one harness wait unless a test asks for another.
constexpr Millis default_timeout{5000};

// Owns one file descriptor and closes it when it goes out of scope.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    Fd& operator=(Fd&& other) noexcept {
        reset(other.release());
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

// A point in time that a wait must not pass.
class Deadline {
public:
    explicit Deadline(Millis limit) : end_(std::chrono::steady_clock::now() + limit) {}
    // Milliseconds left, 0 once the deadline has passed.
    int remaining_ms() const;
    bool expired() const { return remaining_ms() == 0; }

private:
    std::chrono::steady_clock::time_point end_;
};

// Waits until `fd` reports one of `events` (poll flags) or the deadline passes;
// true when it is ready (an error or hang-up counts as ready, so the caller's read
// sees it). With `fd` -1 it only passes the time. Meanwhile it drains every open
// syslog capture.
bool wait_ready(int fd, short events, const Deadline& deadline);
// The same for several descriptors at once: waits until one of `watched` is ready
// (its `revents` set) or the deadline passes, draining the captures meanwhile; the
// number of ready entries, 0 on a time-out.
int wait_any(std::vector<pollfd>& watched, const Deadline& deadline);
