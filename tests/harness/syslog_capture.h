// Syslog capture: a datagram socket that a server under test sees as /dev/log.
//
// The kernel queues only a few unread datagrams per socket (net.unix.max_dgram_qlen,
// often 10) and then blocks the sender, so a server logging every reply would stall
// while the test waits for that reply. Every harness wait therefore drains all open
// captures (see wait_ready in fd.h); the records are kept here until the test reads
// them. A record is sent after the reply it logs: read the log once the server has
// ended (wait_exit), or wait for the record (wait_for).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fd.h"

// One syslog record as the C library sent it.
struct SyslogLine {
    int priority = 0;     // LOG_DEBUG ... LOG_EMERG (the facility removed)
    int facility = 0;     // LOG_FTP, LOG_AUTHPRIV, ... (the priority removed)
    std::string message{};  // the text after "wharfd[pid]: "
    std::string raw{};      // the whole datagram
};

class SyslogCapture {
public:
    // Binds a datagram socket at `path` (which must not exist); null on failure, with
    // a test failure recorded. The socket file is removed with the capture.
    static std::unique_ptr<SyslogCapture> open(const std::string& path);

    SyslogCapture(const SyslogCapture&) = delete;
    SyslogCapture& operator=(const SyslogCapture&) = delete;
    ~SyslogCapture();

    const std::string& path() const { return path_; }

    // Takes every queued record without waiting.
    void drain();
    // Everything received so far (drains first).
    const std::vector<SyslogLine>& lines();
    // The message texts of `lines()`.
    std::vector<std::string> messages();
    // Waits the whole `period`, then returns every message text received.
    std::vector<std::string> collect(Millis period);
    // The first record received so far or arriving within `timeout` whose message
    // contains `needle`; none when the time runs out.
    std::optional<SyslogLine> wait_for(std::string_view needle, Millis timeout = default_timeout);
    // All records, one per line, for failure messages.
    std::string dump();

    // Used by wait_ready: the sockets of every open capture, and draining them all.
    static std::vector<int> open_descriptors();
    static void drain_open_captures();

private:
    SyslogCapture(Fd socket, std::string path);

    Fd socket_;
    std::string path_;
    std::vector<SyslogLine> lines_;
};
