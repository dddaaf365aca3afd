// Temporary trees and the child-process runner for the lister tests.
#include "lister_fixture.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace lister_test {

namespace {

constexpr int run_limit_ms = 20000;

void fail_call(const char* what, const std::string& path) {
    ADD_FAILURE() << what << " " << path << ": " << std::strerror(errno);
}

int remove_entry(const char* path, const struct stat*, int, FTW*) {
    std::remove(path);
    return 0;
}

[[noreturn]] void child_failure(const char* what) {
    std::fprintf(stderr, "child set-up: %s: %s\n", what, std::strerror(errno));
    _exit(126);
}

// Read every stream until each reaches end of file, or the limit passes.
void drain(std::vector<std::pair<int, std::string*>> streams) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(run_limit_ms);
    while (!streams.empty()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        end - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) {
            ADD_FAILURE() << "lister output did not end in time";
            return;
        }
        std::vector<pollfd> polls;
        for (auto& stream : streams) polls.push_back({stream.first, POLLIN, 0});
        int ready = poll(polls.data(), polls.size(), static_cast<int>(left));
        if (ready < 0 && errno != EINTR) {
            ADD_FAILURE() << "poll: " << std::strerror(errno);
            return;
        }
        for (std::size_t i = polls.size(); i-- > 0;) {
            if (polls[i].revents == 0) continue;
            char buffer[4096];
            ssize_t count = read(polls[i].fd, buffer, sizeof buffer);
            if (count > 0) {
                streams[i].second->append(buffer, static_cast<std::size_t>(count));
            } else if (count == 0 || errno != EINTR) {
                // End of file; a pseudo-terminal reports EIO once the child is gone.
                streams.erase(streams.begin() + static_cast<std::ptrdiff_t>(i));
            }
        }
    }
}

}  // namespace

RunResult run_lister(const std::vector<std::string>& args, const RunOptions& options) {
    RunResult result;
    std::vector<std::string> argument_texts = {"ls"};
    argument_texts.insert(argument_texts.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& text : argument_texts) argv.push_back(text.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_texts = options.env;
    std::vector<char*> envp;
    for (auto& text : env_texts) envp.push_back(text.data());
    envp.push_back(nullptr);

    int out_pipe[2] = {-1, -1};
    int err_pipe[2] = {-1, -1};
    int terminal_master = -1;
    int terminal_slave = -1;
    if (pipe2(err_pipe, O_CLOEXEC) != 0) {
        fail_call("pipe", "");
        return result;
    }
    if (options.terminal) {
        termios raw{};
        cfmakeraw(&raw);
        winsize window{};
        window.ws_col = options.terminal_columns;
        window.ws_row = 24;
        if (openpty(&terminal_master, &terminal_slave, nullptr, &raw, &window) != 0) {
            fail_call("openpty", "");
            return result;
        }
    } else if (options.stdout_path.empty() && pipe2(out_pipe, O_CLOEXEC) != 0) {
        fail_call("pipe", "");
        return result;
    }

    pid_t child = fork();
    if (child < 0) {
        fail_call("fork", "");
        return result;
    }
    if (child == 0) {
        if (options.terminal) {
            setsid();
            if (dup2(terminal_slave, STDOUT_FILENO) < 0) child_failure("dup2");
            close(terminal_slave);
            close(terminal_master);
        } else if (!options.stdout_path.empty()) {
            int fd = open(options.stdout_path.c_str(), O_WRONLY);
            if (fd < 0 || dup2(fd, STDOUT_FILENO) < 0) child_failure("open stdout");
        } else if (dup2(out_pipe[1], STDOUT_FILENO) < 0) {
            child_failure("dup2");
        }
        if (dup2(err_pipe[1], STDERR_FILENO) < 0) child_failure("dup2");
        int null_fd = open("/dev/null", O_RDONLY);
        if (null_fd >= 0) dup2(null_fd, STDIN_FILENO);
        if (options.in_child && !options.in_child()) _exit(126);
        if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) child_failure("chdir");
        if (options.drop_to_uid) {
            if (setgroups(0, nullptr) != 0 || setgid(options.uid) != 0 ||
                setuid(options.uid) != 0)
                child_failure("setuid");
        }
        execve(WHARFLS_BINARY, argv.data(), envp.data());
        child_failure("execve");
    }

    std::vector<std::pair<int, std::string*>> streams;
    close(err_pipe[1]);
    streams.push_back({err_pipe[0], &result.err});
    if (options.terminal) {
        close(terminal_slave);
        streams.push_back({terminal_master, &result.out});
    } else if (options.stdout_path.empty()) {
        close(out_pipe[1]);
        streams.push_back({out_pipe[0], &result.out});
    }
    drain(streams);
    for (auto& stream : streams) close(stream.first);

    int wait_status = 0;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(run_limit_ms);
    pid_t waited = 0;
    while ((waited = waitpid(child, &wait_status, WNOHANG)) == 0 &&
           std::chrono::steady_clock::now() < end)
        usleep(2000);
    if (waited == 0) {
        kill(child, SIGKILL);
        waitpid(child, &wait_status, 0);
        ADD_FAILURE() << "lister did not end in time";
        return result;
    }
    if (waited > 0 && WIFEXITED(wait_status)) result.status = WEXITSTATUS(wait_status);
    return result;
}

TempTree::TempTree() {
    char templ[] = "/tmp/wharfls-test-XXXXXX";
    if (mkdtemp(templ) == nullptr) {
        fail_call("mkdtemp", templ);
        return;
    }
    root_ = templ;
    // Readable for the runs under another user id.
    if (chmod(root_.c_str(), 0755) != 0) fail_call("chmod", root_);
}

TempTree::~TempTree() {
    if (root_.empty()) return;
    // Make every directory removable again, then remove depth first.
    nftw(root_.c_str(),
         [](const char* path, const struct stat* status, int type, FTW*) {
             if (type == FTW_D || type == FTW_DNR) chmod(path, 0700);
             (void)status;
             return 0;
         },
         16, FTW_PHYS);
    nftw(root_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

void TempTree::file(const std::string& name, std::size_t size, mode_t mode_bits) {
    std::string full = path(name);
    int fd = open(full.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) return fail_call("create", full);
    std::string data(size, 'x');
    if (write(fd, data.data(), data.size()) != static_cast<ssize_t>(data.size()))
        fail_call("write", full);
    close(fd);
    mode(name, mode_bits);
}

void TempTree::sparse_file(const std::string& name, off_t size, mode_t mode_bits) {
    file(name, 0, mode_bits);
    std::string full = path(name);
    if (truncate(full.c_str(), size) != 0) fail_call("truncate", full);
}

void TempTree::write_text(const std::string& name, const std::string& text) {
    std::string full = path(name);
    FILE* stream = std::fopen(full.c_str(), "w");
    if (stream == nullptr) return fail_call("create", full);
    std::fputs(text.c_str(), stream);
    std::fclose(stream);
}

void TempTree::dir(const std::string& name, mode_t mode_bits) {
    std::string full = path(name);
    if (mkdir(full.c_str(), 0700) != 0) return fail_call("mkdir", full);
    mode(name, mode_bits);
}

void TempTree::symlink(const std::string& target, const std::string& name) {
    std::string full = path(name);
    if (::symlink(target.c_str(), full.c_str()) != 0) fail_call("symlink", full);
}

void TempTree::fifo(const std::string& name, mode_t mode_bits) {
    std::string full = path(name);
    if (mkfifo(full.c_str(), 0600) != 0) return fail_call("mkfifo", full);
    mode(name, mode_bits);
}

void TempTree::socket(const std::string& name) {
    std::string full = path(name);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (full.size() >= sizeof address.sun_path) return fail_call("socket path too long", full);
    std::memcpy(address.sun_path, full.c_str(), full.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0) return fail_call("socket", full);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        fail_call("bind", full);
    close(fd);
    mode(name, 0755);
}

void TempTree::device(const std::string& name, mode_t type, unsigned major_number,
                      unsigned minor_number, mode_t mode_bits) {
    std::string full = path(name);
    if (mknod(full.c_str(), type | 0600, makedev(major_number, minor_number)) != 0)
        return fail_call("mknod", full);
    mode(name, mode_bits);
}

void TempTree::owner(const std::string& name, uid_t uid, gid_t gid) {
    std::string full = path(name);
    if (lchown(full.c_str(), uid, gid) != 0) fail_call("lchown", full);
}

void TempTree::mode(const std::string& name, mode_t mode_bits) {
    std::string full = path(name);
    if (chmod(full.c_str(), mode_bits) != 0) fail_call("chmod", full);
}

void TempTree::times(const std::string& name, std::time_t mtime, long mtime_nsec,
                     std::time_t atime) {
    std::string full = path(name);
    timespec stamps[2] = {{atime < 0 ? mtime : atime, atime < 0 ? mtime_nsec : 0},
                          {mtime, mtime_nsec}};
    if (utimensat(AT_FDCWD, full.c_str(), stamps, AT_SYMLINK_NOFOLLOW) != 0)
        fail_call("utimensat", full);
}

bool private_accounts(const std::string& passwd_path, const std::string& group_path) {
    if (unshare(CLONE_NEWNS) != 0) return false;
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
    if (mount(passwd_path.c_str(), "/etc/passwd", nullptr, MS_BIND, nullptr) != 0) return false;
    return mount(group_path.c_str(), "/etc/group", nullptr, MS_BIND, nullptr) == 0;
}

bool mount_squashfs(const std::string& image, const std::string& directory) {
    if (unshare(CLONE_NEWNS) != 0) return false;
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
    int control = open("/dev/loop-control", O_RDWR | O_CLOEXEC);
    if (control < 0) return false;
    int image_fd = open(image.c_str(), O_RDONLY | O_CLOEXEC);
    if (image_fd < 0) return false;
    // Another process may take the free device first; try a few times.
    for (int attempt = 0; attempt < 20; ++attempt) {
        int number = ioctl(control, LOOP_CTL_GET_FREE);
        if (number < 0) return false;
        std::string device = "/dev/loop" + std::to_string(number);
        int loop_fd = open(device.c_str(), O_RDWR | O_CLOEXEC);
        if (loop_fd < 0) continue;
        loop_config config{};
        config.fd = static_cast<__u32>(image_fd);
        // Auto-clear: the device is released when the private mount goes away
        // with the child's mount namespace.
        config.info.lo_flags = LO_FLAGS_READ_ONLY | LO_FLAGS_AUTOCLEAR;
        if (ioctl(loop_fd, LOOP_CONFIGURE, &config) == 0) {
            bool mounted = mount(device.c_str(), directory.c_str(), "squashfs", MS_RDONLY,
                                 nullptr) == 0;
            close(loop_fd);
            close(image_fd);
            close(control);
            return mounted;
        }
        close(loop_fd);
        if (errno != EBUSY) return false;
    }
    return false;
}

std::string date_field(std::time_t t, bool recent) {
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    struct tm parts {};
    gmtime_r(&t, &parts);
    char text[32];
    if (recent)
        std::snprintf(text, sizeof text, "%s %2d %02d:%02d ", months[parts.tm_mon], parts.tm_mday,
                      parts.tm_hour, parts.tm_min);
    else
        std::snprintf(text, sizeof text, "%s %2d  %d ", months[parts.tm_mon], parts.tm_mday,
                      parts.tm_year + 1900);
    return text;
}

void run_cases(const std::vector<ListerCase>& cases, const RunOptions& options) {
    for (const ListerCase& c : cases) {
        std::string shown;
        for (const auto& arg : c.args) shown += arg + " ";
        RunResult result = run_lister(c.args, options);
        EXPECT_EQ(result.out, c.out) << "args: " << shown;
        EXPECT_EQ(result.err, c.err) << "args: " << shown;
        EXPECT_EQ(result.status, c.status) << "args: " << shown;
    }
}

}  // namespace lister_test
