// File descriptors and bounded waits for the test harness.
#include "fd.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "syslog_capture.h"

void Fd::reset(int fd) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
}

int Deadline::remaining_ms() const {
    auto left = std::chrono::duration_cast<Millis>(end_ - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

bool wait_ready(int fd, short events, const Deadline& deadline) {
    for (;;) {
        std::vector<pollfd> watched;
        watched.push_back({.fd = fd, .events = events, .revents = 0});
        for (int capture_fd : SyslogCapture::open_descriptors())
            watched.push_back({.fd = capture_fd, .events = POLLIN, .revents = 0});
        int ready = poll(watched.data(), watched.size(), deadline.remaining_ms());
        if (ready < 0 && errno != EINTR) return false;
        if (ready > 0) {
            SyslogCapture::drain_open_captures();
            if (watched[0].revents != 0) return true;
        }
        if (deadline.expired()) return false;
    }
}
