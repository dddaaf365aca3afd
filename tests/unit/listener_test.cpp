// The standalone listener through the real binary: "wharfd -D" on port 21 of a
// private network namespace that this test process enters for the duration of
// each test, so nothing binds or leaves on the machine's own network. The server
// runs in its own mount namespace with a private hosts file, /run and /dev/log.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "isolated_child.h"
#include "platform/socket_address.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int ftp_port = 21;
constexpr auto start_limit = 5s;   // for the listener to bind
constexpr auto reply_limit = 5s;   // for one reply line
constexpr auto reap_limit = 10s;   // for sessions to end and be gone
constexpr int short_sessions = 20;

constexpr const char* test_hosts =
    "127.0.0.1 wharf-v4.test\n"
    "::1 wharf-v6.test\n";
constexpr const char* test_nsswitch =
    "passwd: files\ngroup: files\nhosts: files\nservices: files\n";
constexpr const char* greeting_v4 = "220 wharf-v4.test FTP server (quorvel 20231001) ready.";
constexpr const char* greeting_v6 = "220 wharf-v6.test FTP server (quorvel 20231001) ready.";

SocketAddress loopback(int family, int port) {
    SocketAddress address;
    if (family == AF_INET) {
        address.in4.sin_family = AF_INET;
        address.in4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.length = sizeof(sockaddr_in);
    } else {
        address.in6.sin6_family = AF_INET6;
        address.in6.sin6_addr = in6addr_loopback;
        address.length = sizeof(sockaddr_in6);
    }
    address.set_port(htons(static_cast<in_port_t>(port)));
    return address;
}

SocketAddress wildcard(int family, int port) {
    SocketAddress address = loopback(family, port);
    if (family == AF_INET) address.in4.sin_addr.s_addr = htonl(INADDR_ANY);
    else address.in6.sin6_addr = in6addr_any;
    return address;
}

// A connected socket, or -1 with errno set.
int connect_to(int family) {
    int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    SocketAddress address = loopback(family, ftp_port);
    if (connect(fd, &address.sa, address.length) != 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

// The first reply line whose code is followed by a blank, without CR LF; empty
// when none came in time.
std::string read_final_line(int fd) {
    std::string text;
    const auto deadline = Clock::now() + reply_limit;
    while (Clock::now() < deadline) {
        std::size_t end = 0;
        while ((end = text.find("\r\n")) != std::string::npos) {
            std::string line = text.substr(0, end);
            text.erase(0, end + 2);
            if (line.size() >= 4 && line[3] == ' ') return line;
        }
        pollfd p{.fd = fd, .events = POLLIN, .revents = 0};
        if (poll(&p, 1, 100) <= 0) continue;
        char buffer[1024];
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    return "";
}

// The fields of /proc/<pid>/stat that the tests need.
struct ProcessInfo {
    pid_t pid = 0;
    char state = '?';
    pid_t parent = 0;
    pid_t session = 0;
    std::string name;
};

std::optional<ProcessInfo> process_info(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(file, text)) return std::nullopt;
    // The name is in parentheses and may itself hold blanks and parentheses.
    std::size_t open = text.find('(');
    std::size_t close = text.rfind(')');
    if (open == std::string::npos || close == std::string::npos) return std::nullopt;
    ProcessInfo info;
    info.pid = pid;
    info.name = text.substr(open + 1, close - open - 1);
    std::istringstream rest(text.substr(close + 1));
    pid_t group = 0;
    rest >> info.state >> info.parent >> group >> info.session;
    if (!rest) return std::nullopt;
    return info;
}

std::vector<ProcessInfo> children_of(pid_t parent) {
    std::vector<ProcessInfo> children;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return children;
    while (dirent* entry = readdir(proc)) {
        char* end = nullptr;
        long pid = std::strtol(entry->d_name, &end, 10);
        if (pid <= 0 || *end != '\0') continue;
        std::optional<ProcessInfo> info = process_info(static_cast<pid_t>(pid));
        if (info && info->parent == parent) children.push_back(*info);
    }
    closedir(proc);
    return children;
}

// The exit status of `pid` once it ends within `limit`; nullopt if it is still running.
std::optional<int> wait_for_exit(pid_t pid, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        int status = 0;
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (done < 0 || Clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(20ms);
    }
}

class ListenerTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.path().empty());
        original_net_ = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        ASSERT_GE(original_net_, 0) << std::strerror(errno);
        ASSERT_EQ(unshare(CLONE_NEWNET), 0) << "unshare: " << std::strerror(errno);
        in_private_net_ = true;
        bring_loopback_up();
        if (HasFatalFailure()) return;
        etc_ = dir_.file("etc");
        ASSERT_TRUE(std::filesystem::create_directory(etc_));
        dir_.write("etc/wharfd.conf", "");
        hosts_ = dir_.write("hosts", test_hosts);
        nsswitch_ = dir_.write("nsswitch.conf", test_nsswitch);
        log_path_ = dir_.file("log");
        log_fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        ASSERT_LT(log_path_.size(), sizeof address.sun_path);
        std::strcpy(address.sun_path, log_path_.c_str());
        ASSERT_EQ(bind(log_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    }

    void TearDown() override {
        for (int fd : clients_) close(fd);
        for (int fd : blockers_) close(fd);
        if (server_ > 0) {
            kill(server_, SIGKILL);
            waitpid(server_, nullptr, 0);
        }
        if (log_fd_ >= 0) close(log_fd_);
        if (in_private_net_ && setns(original_net_, CLONE_NEWNET) != 0)
            ADD_FAILURE() << "cannot return to the original network namespace";
        if (original_net_ >= 0) close(original_net_);
    }

    static void bring_loopback_up() {
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(fd, 0);
        ifreq request{};
        std::strcpy(request.ifr_name, "lo");
        ASSERT_EQ(ioctl(fd, SIOCGIFFLAGS, &request), 0) << std::strerror(errno);
        request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
        ASSERT_EQ(ioctl(fd, SIOCSIFFLAGS, &request), 0) << std::strerror(errno);
        close(fd);
    }

    // Start "wharfd -D -c <etc>" with `options` in a mount namespace of its own.
    // Returns the pid of the process started.
    pid_t start_server(const std::vector<std::string>& options) {
        std::vector<std::string> arguments = {WHARFD_BINARY, "-D", "-c", etc_};
        arguments.insert(arguments.end(), options.begin(), options.end());
        std::fflush(nullptr);
        pid_t pid = fork();
        if (pid == 0) {
            enter_private_mounts();
            int null_fd = open("/dev/null", O_RDWR);
            if (null_fd < 0) _exit(126);
            dup2(null_fd, 0);
            dup2(null_fd, 1);
            dup2(null_fd, 2);
            std::vector<char*> argv;
            for (std::string& argument : arguments) argv.push_back(argument.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        server_ = pid;
        return pid;
    }

    // In the server's child before exec: our hosts and nsswitch files, an empty
    // /run (no nologin file, no pid files of the machine), and a /dev whose log
    // socket is ours. Any failure ends the child with status 125.
    void enter_private_mounts() const {
        auto must = [](bool ok) {
            if (!ok) _exit(125);
        };
        must(unshare(CLONE_NEWNS) == 0);
        must(mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0);
        must(mount(hosts_.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) == 0);
        must(mount(nsswitch_.c_str(), "/etc/nsswitch.conf", nullptr, MS_BIND, nullptr) == 0);
        must(mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") == 0);
        must(mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755") == 0);
        must(mknod("/dev/null", S_IFCHR | 0666, makedev(1, 3)) == 0);
        int target = open("/dev/log", O_CREAT | O_WRONLY | O_CLOEXEC, 0666);
        must(target >= 0);
        close(target);
        must(mount(log_path_.c_str(), "/dev/log", nullptr, MS_BIND, nullptr) == 0);
    }

    // Wait until a connection of `family` is accepted by the server and return the
    // greeting's line; the connection stays open until the test ends.
    std::string greeting(int family) {
        const auto deadline = Clock::now() + start_limit;
        while (Clock::now() < deadline) {
            int fd = connect_to(family);
            if (fd >= 0) {
                clients_.push_back(fd);
                return read_final_line(fd);
            }
            std::this_thread::sleep_for(20ms);
        }
        return "no connection: " + std::string(std::strerror(errno));
    }

    // Make `address` busy with a listening socket of our own.
    void take(int family) {
        int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(fd, 0);
        int on = 1;
        // A listening socket blocks the port even with SO_REUSEADDR, which keeps
        // the connections of an earlier case from blocking ours.
        ASSERT_EQ(setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on), 0);
        if (family == AF_INET6) {
            ASSERT_EQ(setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on), 0);
        }
        SocketAddress address = wildcard(family, ftp_port);
        ASSERT_EQ(bind(fd, &address.sa, address.length), 0) << std::strerror(errno);
        ASSERT_EQ(listen(fd, 1), 0);
        blockers_.push_back(fd);
    }

    std::vector<isolated::LogLine> log_lines() {
        char buffer[isolated::datagram_max];
        ssize_t n = 0;
        while ((n = recv(log_fd_, buffer, sizeof buffer, 0)) > 0)
            log_.push_back(isolated::parse_datagram(std::string(buffer, static_cast<std::size_t>(n))));
        return log_;
    }

    std::vector<std::string> error_log() {
        std::vector<std::string> errors;
        for (const isolated::LogLine& line : log_lines()) {
            if ((line.priority & LOG_PRIMASK) <= LOG_ERR) errors.push_back(line.text);
        }
        return errors;
    }

    isolated::TempDir dir_;
    std::string etc_, hosts_, nsswitch_, log_path_;
    int original_net_ = -1;
    bool in_private_net_ = false;
    int log_fd_ = -1;
    pid_t server_ = -1;
    std::vector<int> clients_;
    std::vector<int> blockers_;
    std::vector<isolated::LogLine> log_;
};

TEST_F(ListenerTest, BothFamiliesAreServedInTheForeground) {
    pid_t server = start_server({"-f"});
    EXPECT_EQ(greeting(AF_INET), greeting_v4);
    EXPECT_EQ(greeting(AF_INET6), greeting_v6);
    // A session answers commands, not only the greeting.
    ASSERT_EQ(write(clients_[1], "NOOP\r\n", 6), 6);
    EXPECT_EQ(read_final_line(clients_[1]), "200 NOOP command successful.");
    // -f: the process we started is the listener and has not left our session.
    std::optional<ProcessInfo> info = process_info(server);
    ASSERT_TRUE(info.has_value());
    EXPECT_NE(info->state, 'Z');
    EXPECT_NE(info->session, server);
    EXPECT_EQ(error_log(), std::vector<std::string>{});
    // The sessions hold no listening socket: with the listener gone, while both
    // sessions still run, nobody accepts on the port any more.
    kill(server, SIGKILL);
    waitpid(server, nullptr, 0);
    server_ = -1;
    for (int family : {AF_INET, AF_INET6}) {
        errno = 0;
        int fd = connect_to(family);
        EXPECT_EQ(fd, -1) << family;
        EXPECT_EQ(errno, ECONNREFUSED) << family;
        if (fd >= 0) close(fd);
    }
}

TEST_F(ListenerTest, FamilyOptionLimitsTheListeners) {
    struct Case {
        const char* option;
        int served;
        int refused;
        const char* greeting;
    };
    const Case cases[] = {
        {"-4", AF_INET, AF_INET6, greeting_v4},
        {"-6", AF_INET6, AF_INET, greeting_v6},
    };
    for (const Case& c : cases) {
        pid_t server = start_server({"-f", c.option});
        EXPECT_EQ(greeting(c.served), c.greeting) << c.option;
        errno = 0;
        int fd = connect_to(c.refused);
        EXPECT_EQ(fd, -1) << c.option;
        EXPECT_EQ(errno, ECONNREFUSED) << c.option;
        if (fd >= 0) close(fd);
        kill(server, SIGKILL);
        waitpid(server, nullptr, 0);
        server_ = -1;
        for (int client : clients_) close(client);
        clients_.clear();
    }
}

TEST_F(ListenerTest, AnAddressInUseIsSkippedSilently) {
    struct Case {
        int taken;
        int served;
        const char* greeting;
    };
    const Case cases[] = {
        {AF_INET, AF_INET6, greeting_v6},
        {AF_INET6, AF_INET, greeting_v4},
    };
    for (const Case& c : cases) {
        take(c.taken);
        pid_t server = start_server({"-f"});
        EXPECT_EQ(greeting(c.served), c.greeting);
        EXPECT_FALSE(wait_for_exit(server, 200ms).has_value()) << "the listener ended";
        EXPECT_EQ(error_log(), std::vector<std::string>{});
        kill(server, SIGKILL);
        waitpid(server, nullptr, 0);
        server_ = -1;
        for (int fd : clients_) close(fd);
        for (int fd : blockers_) close(fd);
        clients_.clear();
        blockers_.clear();
    }
}

TEST_F(ListenerTest, WithEveryAddressInUseTheListenerExits1) {
    take(AF_INET);
    take(AF_INET6);
    pid_t server = start_server({"-f"});
    std::optional<int> status = wait_for_exit(server, start_limit);
    ASSERT_TRUE(status.has_value()) << "the listener is still running";
    server_ = -1;
    EXPECT_EQ(*status, 1);
    EXPECT_EQ(error_log(), std::vector<std::string>{std::strerror(EADDRINUSE)});
}

TEST_F(ListenerTest, ShortSessionsLeaveNoZombies) {
    pid_t server = start_server({"-f"});
    for (int i = 0; i < short_sessions; ++i) {
        int family = i % 2 == 0 ? AF_INET : AF_INET6;
        ASSERT_EQ(greeting(family), family == AF_INET ? greeting_v4 : greeting_v6) << i;
        // Closing the control connection ends the session.
        close(clients_.back());
        clients_.pop_back();
    }
    const auto deadline = Clock::now() + reap_limit;
    std::vector<ProcessInfo> children = children_of(server);
    while (!children.empty() && Clock::now() < deadline) {
        std::this_thread::sleep_for(50ms);
        children = children_of(server);
    }
    int zombies = 0;
    for (const ProcessInfo& child : children) zombies += child.state == 'Z' ? 1 : 0;
    EXPECT_EQ(zombies, 0);
    EXPECT_EQ(children.size(), 0u);
    // The listener itself goes on serving.
    EXPECT_EQ(greeting(AF_INET), greeting_v4);
}

TEST_F(ListenerTest, WithoutForegroundTheListenerDetaches) {
    // The detached listener's parent exits; as subreaper we inherit the listener
    // and can end it by its pid afterwards.
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    pid_t started = start_server({});
    std::optional<int> status = wait_for_exit(started, start_limit);
    server_ = -1;
    EXPECT_EQ(status, std::optional<int>(0));
    EXPECT_EQ(greeting(AF_INET), greeting_v4);
    std::vector<ProcessInfo> adopted;
    for (const ProcessInfo& child : children_of(getpid())) {
        if (child.name == "wharfd") adopted.push_back(child);
    }
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 0), 0);
    ASSERT_EQ(adopted.size(), 1u);
    server_ = adopted[0].pid;
    // A session leader of its own: it has left the terminal's session.
    EXPECT_EQ(adopted[0].session, adopted[0].pid);
    EXPECT_EQ(error_log(), std::vector<std::string>{});
}

}  // namespace
