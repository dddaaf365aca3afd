// Starting the server under test in the site's private world, and ending it.
#include "server_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/close_range.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <utility>

extern char** environ;

namespace {

constexpr Millis child_poll_interval{10};
constexpr Millis idle_poll_interval{2};
constexpr const char* child_path = "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
constexpr const char* child_time_zone = "TZ=UTC";
constexpr mode_t child_umask = 022;

// What the child binds over the system's files, in this order.
struct SiteWorld {
    std::vector<std::pair<std::string, std::string>> binds;  // source, target
    std::string syslog_socket;                                // empty: no /dev/log
};

SiteWorld world_of(const TestSite& site, std::string syslog_socket) {
    SiteWorld world;
    world.binds = {
        {site.run_path(), "/run"},
        {site.file_path("wtmp"), "/var/log/wtmp"},
        {site.file_path("passwd"), "/etc/passwd"},
        {site.file_path("group"), "/etc/group"},
        {site.file_path("shells"), "/etc/shells"},
        {site.file_path("hosts"), "/etc/hosts"},
        {site.file_path("nsswitch.conf"), "/etc/nsswitch.conf"},
        {site.file_path("pam.d"), "/etc/pam.d"},
    };
    // Debian links /var/run to /run; elsewhere it needs a bind of its own.
    struct stat status {};
    if (lstat("/var/run", &status) == 0 && S_ISDIR(status.st_mode))
        world.binds.insert(world.binds.begin() + 1, {site.run_path(), "/var/run"});
    world.syslog_socket = std::move(syslog_socket);
    return world;
}

std::string failure(const std::string& what) { return what + ": " + std::strerror(errno); }

bool make_device(const char* path, unsigned major_number, unsigned minor_number) {
    return mknod(path, S_IFCHR | 0666, makedev(major_number, minor_number)) == 0 &&
           chmod(path, 0666) == 0;
}

// In the child: a private mount namespace showing the site's world. Returns what
// failed, or an empty text.
std::string enter_world(const SiteWorld& world) {
    if (unshare(CLONE_NEWNS) < 0) return failure("unshare(CLONE_NEWNS)");
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) < 0)
        return failure("making mounts private");
    for (const auto& [source, target] : world.binds) {
        if (mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) < 0)
            return failure("bind " + source + " on " + target);
    }
    if (mount("tmpfs", "/dev", "tmpfs", MS_NOSUID | MS_NOEXEC, "mode=0755") < 0)
        return failure("tmpfs on /dev");
    if (!make_device("/dev/null", 1, 3) || !make_device("/dev/zero", 1, 5) ||
        !make_device("/dev/urandom", 1, 9))
        return failure("device nodes in /dev");
    if (!world.syslog_socket.empty()) {
        Fd placeholder(open("/dev/log", O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
        if (!placeholder.valid()) return failure("create /dev/log");
        if (mount(world.syslog_socket.c_str(), "/dev/log", nullptr, MS_BIND, nullptr) < 0)
            return failure("bind " + world.syslog_socket + " on /dev/log");
    }
    if (chdir("/") < 0) return failure("chdir /");
    umask(child_umask);
    return "";
}

void reset_signals() {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int signal_number = 1; signal_number < NSIG; ++signal_number) signal(signal_number, SIG_DFL);
}

[[noreturn]] void report_and_exit(int report_fd, const std::string& message) {
    if (write(report_fd, message.data(), message.size()) < 0) {
        // Nothing more can be done in the child.
    }
    _exit(127);
}

// In the child: becomes `command` in the site's world.
[[noreturn]] void become(const SiteWorld& world, const SiteCommand& command, int report_fd) {
    setpgid(0, 0);
    std::string problem = enter_world(world);
    if (!problem.empty()) report_and_exit(report_fd, problem);
    for (int target = 0; target <= 2; ++target) {
        int source = command.stdio[target];
        // /dev/null of the private /dev.
        Fd null_device;
        if (source < 0) {
            null_device = Fd(open("/dev/null", O_RDWR));
            source = null_device.get();
        }
        if (source < 0 || dup2(source, target) < 0) report_and_exit(report_fd, failure("dup2"));
    }
    // Nothing else of the test process reaches the program; the report pipe stays
    // usable until exec.
    if (syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC) < 0)
        report_and_exit(report_fd, failure("close_range"));
    reset_signals();
    std::vector<char*> argv;
    for (const std::string& argument : command.argv) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& entry : command.environment) envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);
    execve(argv[0], argv.data(), envp.data());
    report_and_exit(report_fd, failure(std::string("exec ") + argv[0]));
}

std::vector<std::string> child_environment_of(const ServerOptions& options) {
    std::vector<std::string> environment = {child_time_zone, child_path};
    // Sanitizer builds keep their settings.
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string_view text(*entry);
        if (text.starts_with("ASAN_OPTIONS=") || text.starts_with("UBSAN_OPTIONS=") ||
            text.starts_with("LSAN_OPTIONS="))
            environment.emplace_back(text);
    }
    environment.insert(environment.end(), options.environment.begin(), options.environment.end());
    return environment;
}

Fd open_pidfd(pid_t pid) { return Fd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0))); }

// Waits at most `timeout` for the child to end and reaps it.
ExitStatus wait_for_child(pid_t pid, const Fd& pidfd, Millis timeout) {
    Deadline deadline(timeout);
    for (;;) {
        int status = 0;
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) return ExitStatus::from_wait_status(status);
        if (done < 0 && errno != EINTR) {
            ADD_FAILURE() << "waitpid " << pid << ": " << std::strerror(errno);
            return {};
        }
        if (deadline.expired()) return {};
        if (pidfd.valid()) wait_ready(pidfd.get(), POLLIN, deadline);
        else wait_ready(-1, 0, Deadline(std::min(child_poll_interval, Millis(deadline.remaining_ms()))));
    }
}

// Reads the child's report until exec closes the pipe; empty when exec succeeded.
std::string read_report(int report_fd) {
    std::string report;
    Deadline deadline(default_timeout);
    char buffer[512];
    while (wait_ready(report_fd, POLLIN, deadline)) {
        ssize_t got = read(report_fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return report;
        report.append(buffer, static_cast<std::size_t>(got));
    }
    return report.empty() ? "no word from the child before exec" : report;
}

Endpoint listen_endpoint(Connection connection) {
    switch (connection) {
        case Connection::ipv6: return {.family = AF_INET6, .address = "::1"};
        case Connection::ipv4_mapped: return {.family = AF_INET6, .address = "::ffff:127.0.0.1"};
        case Connection::ipv4: break;
    }
    return {.family = AF_INET, .address = "127.0.0.1"};
}

// A connected pair over loopback: the client end and the server's accepted end.
std::optional<std::pair<Fd, Fd>> connect_pair(Connection connection, std::uint16_t port) {
    Endpoint endpoint = listen_endpoint(connection);
    endpoint.port = port;
    std::optional<Fd> listener = listen_on(endpoint);
    if (!listener) return std::nullopt;
    Endpoint target = endpoint;
    if (connection == Connection::ipv4_mapped) target = {.family = AF_INET, .address = "127.0.0.1", .port = endpoint.port};
    std::optional<Fd> client = connect_to(target);
    if (!client) return std::nullopt;
    if (!wait_ready(listener->get(), POLLIN, Deadline(default_timeout))) {
        ADD_FAILURE() << "loopback accept timed out";
        return std::nullopt;
    }
    Fd accepted(accept4(listener->get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!accepted.valid()) {
        ADD_FAILURE() << "accept: " << std::strerror(errno);
        return std::nullopt;
    }
    return std::make_pair(std::move(*client), std::move(accepted));
}

}  // namespace

ExitStatus ExitStatus::from_wait_status(int status) {
    if (WIFEXITED(status)) return exit_code(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return killed_by(WTERMSIG(status));
    return {};
}

std::ostream& operator<<(std::ostream& out, const ExitStatus& status) {
    switch (status.kind) {
        case ExitStatus::exited: return out << "exit status " << status.value;
        case ExitStatus::signalled: return out << "killed by signal " << status.value;
        case ExitStatus::running: break;
    }
    return out << "still running";
}

SiteChild::SiteChild(SiteChild&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), pidfd_(std::move(other.pidfd_)),
      reaped_(other.reaped_), status_(other.status_) {}

SiteChild& SiteChild::operator=(SiteChild&& other) noexcept {
    if (this != &other) {
        kill_and_reap();
        pid_ = std::exchange(other.pid_, -1);
        pidfd_ = std::move(other.pidfd_);
        reaped_ = other.reaped_;
        status_ = other.status_;
    }
    return *this;
}

ExitStatus SiteChild::wait_exit(Millis timeout) {
    if (reaped_ || pid_ < 0) return status_;
    ExitStatus status = wait_for_child(pid_, pidfd_, timeout);
    if (status.kind != ExitStatus::running) {
        reaped_ = true;
        status_ = status;
    }
    return status;
}

void SiteChild::kill_and_reap() {
    if (pid_ < 0 || reaped_) return;
    // The whole process group: the program and any child it forked (lister, pipes).
    kill(-pid_, SIGKILL);
    kill(pid_, SIGKILL);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
    status_ = ExitStatus::from_wait_status(status);
}

std::vector<std::string> server_arguments(const TestSite& site, const ServerOptions& options) {
    std::vector<std::string> arguments = {options.program};
    if (options.config_dir_option) arguments.insert(arguments.end(), {"-c", site.etc_path()});
    arguments.insert(arguments.end(), options.arguments.begin(), options.arguments.end());
    return arguments;
}

std::vector<std::string> server_environment(const ServerOptions& options) { return child_environment_of(options); }

std::optional<SiteChild> start_in_site(const TestSite& site, const SiteCommand& command) {
    if (!site.ok()) {
        ADD_FAILURE() << "the test site is not usable";
        return std::nullopt;
    }
    if (command.argv.empty()) {
        ADD_FAILURE() << "start_in_site: no program";
        return std::nullopt;
    }
    SiteWorld world = world_of(site, command.syslog_socket);
    int report[2];
    if (pipe2(report, O_CLOEXEC) < 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return std::nullopt;
    }
    Fd report_read(report[0]);
    Fd report_write(report[1]);
    pid_t pid = fork();
    if (pid < 0) {
        ADD_FAILURE() << "fork: " << std::strerror(errno);
        return std::nullopt;
    }
    if (pid == 0) become(world, command, report_write.get());
    setpgid(pid, pid);  // also done by the child; whichever runs first
    report_write.reset();
    SiteChild child(pid, open_pidfd(pid));
    std::string problem = read_report(report_read.get());
    if (!problem.empty()) {
        ADD_FAILURE() << "starting " << command.argv[0] << ": " << problem;
        return std::nullopt;  // the child is killed and reaped here
    }
    return child;
}

std::unique_ptr<ServerProcess> ServerProcess::start(const TestSite& site, const ServerOptions& options) {
    if (!site.ok()) {
        ADD_FAILURE() << "the test site is not usable";
        return nullptr;
    }
    static int started = 0;
    std::string socket_path = site.file_path("syslog-" + std::to_string(++started));
    std::unique_ptr<SyslogCapture> log = SyslogCapture::open(socket_path);
    if (log == nullptr) return nullptr;
    auto pair = connect_pair(options.connection, options.port);
    if (!pair) return nullptr;

    SiteCommand command{.argv = server_arguments(site, options),
                        .environment = server_environment(options),
                        .stdio = {pair->second.get(), pair->second.get(), pair->second.get()},
                        .syslog_socket = socket_path};
    std::optional<SiteChild> child = start_in_site(site, command);
    if (!child) return nullptr;
    pair->second.reset();
    return std::unique_ptr<ServerProcess>(
        new ServerProcess(std::move(*child), FtpClient(std::move(pair->first)), std::move(log)));
}

bool ServerProcess::send_signal(int signal_number) {
    if (!child_.reaped() && kill(child_.pid(), signal_number) == 0) return true;
    ADD_FAILURE() << "signal " << signal_number << " to server " << child_.pid() << ": "
                  << (child_.reaped() ? "it has ended" : std::strerror(errno));
    return false;
}

bool ServerProcess::wait_until_reading(Millis timeout) {
    // /proc/<pid>/syscall starts with the number and the arguments of the call the
    // process is blocked in: read(0, ...) is "0 0x0 ...".
    std::string path = "/proc/" + std::to_string(child_.pid()) + "/syscall";
    std::string state;
    Deadline deadline(timeout);
    for (;;) {
        Fd file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
        char buffer[128] = "";
        ssize_t got = file.valid() ? read(file.get(), buffer, sizeof buffer - 1) : -1;
        state.assign(buffer, got > 0 ? static_cast<std::size_t>(got) : 0);
        if (state.starts_with("0 0x0 ")) return true;
        if (deadline.expired()) break;
        wait_ready(-1, 0, Deadline(std::min(idle_poll_interval, Millis(deadline.remaining_ms()))));
    }
    ADD_FAILURE() << "server " << child_.pid() << " not waiting for input within " << timeout.count()
                  << " ms; its state: " << state;
    return false;
}

ExitStatus run_in_site(const TestSite& site, const std::function<int()>& body, Millis timeout) {
    SiteWorld world = world_of(site, "");
    pid_t pid = fork();
    if (pid < 0) {
        ADD_FAILURE() << "fork: " << std::strerror(errno);
        return {};
    }
    if (pid == 0) {
        setpgid(0, 0);
        std::string problem = enter_world(world);
        if (!problem.empty()) {
            std::fprintf(stderr, "run_in_site: %s\n", problem.c_str());
            _exit(127);
        }
        _exit(body());
    }
    setpgid(pid, pid);
    Fd pidfd = open_pidfd(pid);
    ExitStatus status = wait_for_child(pid, pidfd, timeout);
    if (status.kind == ExitStatus::running) {
        ADD_FAILURE() << "run_in_site: the child did not end within " << timeout.count() << " ms";
        kill(-pid, SIGKILL);
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    return status;
}
