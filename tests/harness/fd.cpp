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
    std::vector<pollfd> watched = {{.fd = fd, .events = events, .revents = 0}};
    return wait_any(watched, deadline) > 0;
}

int wait_any(std::vector<pollfd>& watched, const Deadline& deadline) {
    const std::size_t own = watched.size();
    for (;;) {
        std::vector<pollfd> all = watched;
        for (int capture_fd : SyslogCapture::open_descriptors())
            all.push_back({.fd = capture_fd, .events = POLLIN, .revents = 0});
        int ready = poll(all.data(), all.size(), deadline.remaining_ms());
        if (ready < 0 && errno != EINTR) return 0;
        if (ready > 0) {
            SyslogCapture::drain_open_captures();
            int mine = 0;
            for (std::size_t i = 0; i < own; ++i) {
                watched[i].revents = all[i].revents;
                if (all[i].revents != 0) ++mine;
            }
            if (mine > 0) return mine;
        }
        if (deadline.expired()) return 0;
    }
}
