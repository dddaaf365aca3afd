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
#include <optional>
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

// A process started in a site's world (start_in_site). When it goes away, its
// process group and the process itself are killed (by id) and it is reaped.
class SiteChild {
public:
    SiteChild(pid_t pid, Fd pidfd) : pid_(pid), pidfd_(std::move(pidfd)) {}
    SiteChild(SiteChild&& other) noexcept;
    SiteChild& operator=(SiteChild&& other) noexcept;
    SiteChild(const SiteChild&) = delete;
    SiteChild& operator=(const SiteChild&) = delete;
    ~SiteChild() { kill_and_reap(); }

    pid_t pid() const { return pid_; }
    // Readable once the process has ended (a pidfd); -1 when the kernel has none.
    int pidfd() const { return pidfd_.get(); }
    // Waits at most `timeout` (0: only looks) for the process to end and reaps it;
    // `running` when it has not ended. Once reaped, the status stays.
    ExitStatus wait_exit(Millis timeout = default_timeout);
    bool reaped() const { return reaped_; }
    // Kills the process group and the process, and reaps the process.
    void kill_and_reap();

private:
    pid_t pid_ = -1;
    Fd pidfd_;
    bool reaped_ = false;
    ExitStatus status_;
};

// What start_in_site runs.
struct SiteCommand {
    std::vector<std::string> argv{};         // argv[0] is the program's path
    std::vector<std::string> environment{};  // the whole environment
    int stdio[3] = {-1, -1, -1};  // descriptors (above 2) for 0, 1 and 2; -1: /dev/null
    std::string syslog_socket{};  // bound as /dev/log; empty: no /dev/log
};

// Starts `command` the way ServerProcess::start starts the server: in its own
// process group, in a private mount namespace showing the site's world, with only
// its three standard descriptors open. None (and a test failure) when any step
// before exec fails.
std::optional<SiteChild> start_in_site(const TestSite& site, const SiteCommand& command);
// The command line and the environment that ServerProcess::start gives the server.
std::vector<std::string> server_arguments(const TestSite& site, const ServerOptions& options);
std::vector<std::string> server_environment(const ServerOptions& options);

class ServerProcess {
public:
    // Starts the server for `site`; null when anything failed, with the reason
    // recorded as a test failure.
    static std::unique_ptr<ServerProcess> start(const TestSite& site, const ServerOptions& options = {});

    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // The control connection.
    FtpClient& client() { return client_; }
    // What the server sent to syslog.
    SyslogCapture& log() { return *log_; }
    pid_t pid() const { return child_.pid(); }

    bool send_signal(int signal_number);
    // Waits until the server is blocked reading descriptor 0, i.e. it has written its
    // last reply and waits for input. A signal sent right after a reply could
    // otherwise land while stdio is still flushing it. False (and a test failure)
    // when that does not happen in time.
    bool wait_until_reading(Millis timeout = default_timeout);
    // Waits at most `timeout` for the server to end; `running` when it has not.
    ExitStatus wait_exit(Millis timeout = default_timeout) { return child_.wait_exit(timeout); }

private:
    ServerProcess(SiteChild child, FtpClient client, std::unique_ptr<SyslogCapture> log)
        : child_(std::move(child)), client_(std::move(client)), log_(std::move(log)) {}

    SiteChild child_;
    FtpClient client_;
    std::unique_ptr<SyslogCapture> log_;
};

// Runs `body` in a child process that sees the site exactly as a server does
// (accounts, PAM service, hosts, /run, /dev) and returns how it ended; the body's
// return value is the exit code. For checking the site itself and for tests that
// need the site's world in-process.
ExitStatus run_in_site(const TestSite& site, const std::function<int()>& body,
                       Millis timeout = default_timeout);
