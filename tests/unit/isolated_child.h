// Test fixture: run code in a forked child that has its own mount namespace, a
// private /dev whose /dev/log is a datagram socket we read, and test files
// bind-mounted over system files (passwd, group, hosts, ...). The machine's real
// files and syslog are never touched.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace isolated {

// One syslog line the child wrote.
struct LogLine {
    int priority = 0;  // facility | level
    std::string text;  // the message after "ident[pid]: "
};

struct Result {
    std::string setup_error;   // empty when the namespace was set up
    int status = -1;           // exit status of the work, -1 when it was killed
    std::string output;        // what the work returned
    std::vector<LogLine> log;  // syslog lines in the order they came
};

// Files to lay over system paths (source, target) inside the child.
using Binds = std::vector<std::pair<std::string, std::string>>;

// The work returns a text the parent gets in Result::output; it may also exec.
using Work = std::function<std::string()>;

// The longest a child may take before it is killed.
constexpr int time_limit_seconds = 30;
constexpr std::size_t datagram_max = 4096;

inline void write_all(int fd, const void* data, std::size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = write(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
}

inline std::string read_all(int fd) {
    std::string text;
    char buffer[4096];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return text;
        text.append(buffer, static_cast<std::size_t>(n));
    }
}

// Records to the parent: kind byte, 32-bit number, 32-bit length, bytes.
inline void send_record(int fd, char kind, std::int32_t number, const std::string& text) {
    auto length = static_cast<std::uint32_t>(text.size());
    write_all(fd, &kind, 1);
    write_all(fd, &number, sizeof number);
    write_all(fd, &length, sizeof length);
    write_all(fd, text.data(), text.size());
}

inline LogLine parse_datagram(const std::string& datagram) {
    LogLine line;
    std::size_t close = datagram.find('>');
    if (datagram.size() > 1 && datagram[0] == '<' && close != std::string::npos) {
        line.priority = std::atoi(datagram.c_str() + 1);
    }
    std::size_t start = datagram.find("]: ");
    line.text = start == std::string::npos ? datagram : datagram.substr(start + 3);
    return line;
}

[[noreturn]] inline void fail_setup(int fd, const char* what) {
    send_record(fd, 'E', errno, what);
    _exit(0);
}

// The child: namespace, mounts, log socket, then the work in a grandchild while
// this process drains the log socket (its queue is short; a full queue would
// block the writer).
[[noreturn]] inline void run_child(int report, const Binds& binds, const Work& work) {
    if (unshare(CLONE_NEWNS) != 0) fail_setup(report, "unshare");
    if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) fail_setup(report, "private /");
    for (const auto& [source, target] : binds) {
        if (mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) {
            fail_setup(report, target.c_str());
        }
    }
    if (mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755") != 0) fail_setup(report, "tmpfs /dev");
    if (mknod("/dev/null", S_IFCHR | 0666, makedev(1, 3)) != 0) fail_setup(report, "/dev/null");
    int log_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, "/dev/log");
    if (log_fd < 0 || bind(log_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        fail_setup(report, "/dev/log");
    }
    int output_pipe[2];
    if (pipe2(output_pipe, O_CLOEXEC) != 0) fail_setup(report, "pipe");
    pid_t worker = fork();
    if (worker < 0) fail_setup(report, "fork");
    if (worker == 0) {
        close(output_pipe[0]);
        close(log_fd);
        closelog();  // a connection inherited from the test process goes elsewhere
        openlog("wharfd", LOG_PID | LOG_NDELAY, LOG_FTP);
        std::string output = work();
        write_all(output_pipe[1], output.data(), output.size());
        _exit(0);
    }
    close(output_pipe[1]);
    std::string output;
    std::vector<LogLine> log;
    char buffer[datagram_max];
    auto drain = [&](int flags) {
        ssize_t n = 0;
        while ((n = recv(log_fd, buffer, sizeof buffer, flags | MSG_DONTWAIT)) > 0) {
            log.push_back(parse_datagram(std::string(buffer, static_cast<std::size_t>(n))));
        }
    };
    time_t deadline = time(nullptr) + time_limit_seconds;
    bool output_open = true;
    while (output_open && time(nullptr) < deadline) {
        pollfd fds[2] = {{log_fd, POLLIN, 0}, {output_pipe[0], POLLIN, 0}};
        if (poll(fds, 2, 1000) < 0 && errno != EINTR) break;
        drain(0);
        if ((fds[1].revents & (POLLIN | POLLHUP)) != 0) {
            ssize_t n = read(output_pipe[0], buffer, sizeof buffer);
            if (n > 0) output.append(buffer, static_cast<std::size_t>(n));
            else if (n == 0 || errno != EINTR) output_open = false;
        }
    }
    if (output_open) kill(worker, SIGKILL);
    int status = 0;
    int exit_status = -1;
    if (waitpid(worker, &status, 0) == worker && WIFEXITED(status)) exit_status = WEXITSTATUS(status);
    drain(0);
    send_record(report, 'S', exit_status, "");
    send_record(report, 'O', 0, output);
    for (const LogLine& line : log) send_record(report, 'L', line.priority, line.text);
    _exit(0);
}

// Run `work` isolated; `binds` are laid over their targets first.
inline Result run(const Work& work, const Binds& binds = {}) {
    Result result;
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        result.setup_error = "pipe";
        return result;
    }
    std::fflush(nullptr);  // nothing buffered may be written twice
    pid_t child = fork();
    if (child < 0) {
        result.setup_error = "fork";
        return result;
    }
    if (child == 0) {
        close(report[0]);
        run_child(report[1], binds, work);
    }
    close(report[1]);
    std::string data = read_all(report[0]);
    close(report[0]);
    int status = 0;
    waitpid(child, &status, 0);
    std::size_t at = 0;
    const std::size_t header = 1 + 2 * sizeof(std::uint32_t);
    while (at + header <= data.size()) {
        char kind = data[at];
        std::int32_t number = 0;
        std::uint32_t length = 0;
        std::memcpy(&number, data.data() + at + 1, sizeof number);
        std::memcpy(&length, data.data() + at + 1 + sizeof number, sizeof length);
        std::string text = data.substr(at + header, length);
        at += header + length;
        if (kind == 'E') result.setup_error = text + ": " + std::strerror(number);
        else if (kind == 'S') result.status = number;
        else if (kind == 'O') result.output = text;
        else if (kind == 'L') result.log.push_back({number, text});
    }
    if (data.empty()) result.setup_error = "child reported nothing";
    return result;
}

// A temporary directory removed with its files when the owner goes.
class TempDir {
public:
    TempDir() {
        char name[] = "/tmp/wharfd-test-XXXXXX";
        if (mkdtemp(name) != nullptr) path_ = name;
    }
    ~TempDir() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    // Write `content` to `name` inside the directory; returns its path.
    std::string write(const std::string& name, const std::string& content) const {
        std::ofstream(file(name), std::ios::binary) << content;
        return file(name);
    }

private:
    std::string path_;
};

}  // namespace isolated
