// Starting the real server the way a super-server does, inside a private mount
// namespace that shows it the test site's world, and ending it again.
//
// The test makes a loopback connection, forks, and the child
//   - enters its own mount namespace (mounts made private, so nothing leaks out),
//   - binds the site's run/ over /run (/var/run links there), its wtmp over
//     /var/log/wtmp, its passwd, group, shells, hosts and nsswitch.conf over the
//     files of /etc, and its pam.d/ over /etc/pam.d,
//   - mounts a tmpfs on /dev with null, zero and urandom, and binds a syslog
//     capture socket there as /dev/log,
//   - puts the accepted socket on descriptors 0, 1 and 2 and execs the server with
//     "-c <site>/etc" and the test's arguments, TZ=UTC and a plain PATH.
// The parent keeps the client end and the child's pid; the child is killed (its
// process group, by id) and reaped when the ServerProcess goes away.
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <ostream>
#include <cstdint>
#include <string>
#include <vector>

#include "fd.h"
#include "ftp_client.h"
#include "syslog_capture.h"
#include "test_site.h"

// How the test's client reaches the server.
enum class Connection {
    ipv4,         // 127.0.0.1
    ipv6,         // ::1
    ipv4_mapped,  // an IPv4 client on an IPv6 socket: the server sees ::ffff:127.0.0.1
};

struct ServerOptions {
    std::vector<std::string> arguments{};  // after "-c <site>/etc"
    Connection connection = Connection::ipv4;
    bool config_dir_option = true;       // false: no "-c <site>/etc" in front
    std::string program = WHARFD_BINARY;
    std::vector<std::string> environment{};  // extra "NAME=value" entries
    std::uint16_t port = 0;                // the server's end of the control connection, 0: any
};

// How a process ended, or that it has not (yet).
struct ExitStatus {
    enum Kind { running, exited, signalled };
    Kind kind = running;
    int value = 0;  // the exit code or the signal number

    static ExitStatus exit_code(int code) { return {exited, code}; }
    static ExitStatus killed_by(int signal_number) { return {signalled, signal_number}; }
    static ExitStatus from_wait_status(int status);
    friend bool operator==(const ExitStatus&, const ExitStatus&) = default;
};
std::ostream& operator<<(std::ostream& out, const ExitStatus& status);

class ServerProcess {
public:
    // Starts the server for `site`; null when anything failed, with the reason
    // recorded as a test failure.
    static std::unique_ptr<ServerProcess> start(const TestSite& site, const ServerOptions& options = {});

    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;
    ~ServerProcess();

    // The control connection.
    FtpClient& client() { return client_; }
    // What the server sent to syslog.
    SyslogCapture& log() { return *log_; }
    pid_t pid() const { return pid_; }

    bool send_signal(int signal_number);
    // Waits until the server is blocked reading descriptor 0, i.e. it has written its
    // last reply and waits for input. A signal sent right after a reply could
    // otherwise land while stdio is still flushing it. False (and a test failure)
    // when that does not happen in time.
    bool wait_until_reading(Millis timeout = default_timeout);
    // Waits at most `timeout` for the server to end; `running` when it has not.
    ExitStatus wait_exit(Millis timeout = default_timeout);

private:
    ServerProcess(pid_t pid, Fd pidfd, FtpClient client, std::unique_ptr<SyslogCapture> log);

    pid_t pid_;
    Fd pidfd_;
    FtpClient client_;
    std::unique_ptr<SyslogCapture> log_;
    bool reaped_ = false;
    ExitStatus status_;
};

// Runs `body` in a child process that sees the site exactly as a server does
// (accounts, PAM service, hosts, /run, /dev) and returns how it ended; the body's
// return value is the exit code. For checking the site itself and for tests that
// need the site's world in-process.
ExitStatus run_in_site(const TestSite& site, const std::function<int()>& body,
                       Millis timeout = default_timeout);
