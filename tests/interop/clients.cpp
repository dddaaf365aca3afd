// Real clients as bounded child processes in private scratch directories.
#include "clients.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <linux/close_range.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>

namespace {

// Debian's programs only: no user tool chains (pyenv shims and the like).
constexpr const char* client_path_dirs[] = {"/usr/bin", "/bin", "/usr/sbin", "/sbin"};
constexpr int removal_open_fds = 32;
constexpr Millis reap_interval{20};

std::string find_program(const std::string& name) {
    if (name.find('/') != std::string::npos) return name;
    for (const char* dir : client_path_dirs) {
        std::string candidate = std::string(dir) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return name;
}

int remove_entry(const char* path, const struct stat*, int, FTW*) {
    if (remove(path) < 0) std::fprintf(stderr, "client home: cannot remove %s: %s\n", path, std::strerror(errno));
    return 0;
}

bool make_parents(const std::string& path) {
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        std::string prefix = path.substr(0, slash);
        if (mkdir(prefix.c_str(), 0755) < 0 && errno != EEXIST) return false;
    }
    return true;
}

// In the child: becomes the client.
[[noreturn]] void become_client(const std::string& program, const std::vector<std::string>& arguments,
                                const std::vector<std::string>& environment, const std::string& cwd,
                                int output_fd, int errors_fd) {
    setpgid(0, 0);
    int null_fd = open("/dev/null", O_RDONLY);
    if (null_fd < 0 || dup2(null_fd, 0) < 0 || dup2(output_fd, 1) < 0 || dup2(errors_fd, 2) < 0) _exit(126);
    syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int signal_number = 1; signal_number < NSIG; ++signal_number) signal(signal_number, SIG_DFL);
    if (chdir(cwd.c_str()) < 0) {
        std::fprintf(stderr, "chdir %s: %s\n", cwd.c_str(), std::strerror(errno));
        _exit(126);
    }
    std::vector<char*> argv;
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);
    execve(program.c_str(), argv.data(), envp.data());
    std::fprintf(stderr, "exec %s: %s\n", program.c_str(), std::strerror(errno));
    _exit(127);
}

struct RunningClient {
    std::optional<SiteChild> process{};
    std::string output_path{};
    std::string errors_path{};
    std::optional<Deadline> deadline{};
    bool done = false;
};

}  // namespace

ClientHome::ClientHome() {
    char templ[] = "/tmp/wharfd-clients-XXXXXX";
    if (mkdtemp(templ) == nullptr) {
        ok_ = false;
        ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
        return;
    }
    dir_ = templ;
    for (const char* part : {"/home", "/work", "/output"}) {
        if (mkdir((dir_ + part).c_str(), 0755) < 0) {
            ok_ = false;
            ADD_FAILURE() << "mkdir " << dir_ << part << ": " << std::strerror(errno);
        }
    }
}

ClientHome::~ClientHome() {
    if (!dir_.empty()) nftw(dir_.c_str(), remove_entry, removal_open_fds, FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
}

std::string ClientHome::work(std::string_view relative) const {
    std::string path = dir_ + "/work";
    if (!relative.empty()) path += "/" + std::string(relative);
    return path;
}

bool ClientHome::write(std::string_view relative, std::string_view content) const {
    return write_file(work(relative), content);
}

std::ostream& operator<<(std::ostream& out, const ClientResult& result) {
    out << "client:";
    for (const std::string& argument : result.argv) out << " [" << argument << "]";
    return out << "\n  " << result.status << "\n  stdout: " << result.output << "\n  stderr: " << result.errors
               << "\n";
}

std::vector<ClientResult> run_clients(const ClientHome& home, const std::vector<ClientCommand>& commands,
                                      SuperServer* super) {
    static int run_number = 0;
    std::vector<std::string> environment = {"HOME=" + home.home(), "TZ=UTC", "LC_ALL=C", "TERM=dumb",
                                            "PATH=/usr/bin:/bin:/usr/sbin:/sbin"};
    std::vector<ClientResult> results(commands.size());
    std::vector<RunningClient> running(commands.size());
    for (std::size_t i = 0; i < commands.size(); ++i) {
        const ClientCommand& command = commands[i];
        results[i].argv = command.argv;
        RunningClient& client = running[i];
        std::string stem = home.output_dir() + "/" + std::to_string(++run_number);
        client.output_path = stem + ".out";
        client.errors_path = stem + ".err";
        Fd output(open(client.output_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        Fd errors(open(client.errors_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (command.argv.empty() || !output.valid() || !errors.valid()) {
            ADD_FAILURE() << "cannot start client " << i;
            client.done = true;
            continue;
        }
        std::string program = find_program(command.argv[0]);
        std::string cwd = command.cwd.empty() ? home.work() : command.cwd;
        pid_t pid = fork();
        if (pid < 0) {
            ADD_FAILURE() << "fork: " << std::strerror(errno);
            client.done = true;
            continue;
        }
        if (pid == 0) {
            std::vector<std::string> client_environment = environment;
            client_environment.insert(client_environment.end(), command.environment.begin(),
                                      command.environment.end());
            become_client(program, command.argv, client_environment, cwd, output.get(), errors.get());
        }
        setpgid(pid, pid);
        client.process.emplace(pid, Fd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0))));
        client.deadline.emplace(command.timeout);
    }

    for (;;) {
        bool all_done = true;
        std::vector<pollfd> watched;
        int wait_ms = static_cast<int>(reap_interval.count());
        for (std::size_t i = 0; i < running.size(); ++i) {
            RunningClient& client = running[i];
            if (client.done) continue;
            ExitStatus status = client.process->wait_exit(Millis(0));
            if (status.kind == ExitStatus::running && client.deadline->expired()) {
                ADD_FAILURE() << "client " << commands[i].argv[0] << " still running after "
                              << commands[i].timeout.count() << " ms; killed";
                client.process->kill_and_reap();
                status = client.process->wait_exit(Millis(0));
            }
            if (status.kind != ExitStatus::running) {
                results[i].status = status;
                results[i].output = read_file(client.output_path).value_or("");
                results[i].errors = read_file(client.errors_path).value_or("");
                client.done = true;
                continue;
            }
            all_done = false;
            watched.push_back({.fd = client.process->pidfd(), .events = POLLIN, .revents = 0});
            wait_ms = std::min(wait_ms, std::max(1, client.deadline->remaining_ms()));
        }
        if (all_done) break;
        if (super != nullptr) {
            for (int fd : super->listeners()) watched.push_back({.fd = fd, .events = POLLIN, .revents = 0});
        }
        wait_any(watched, Deadline(Millis(wait_ms)));
        if (super != nullptr) super->serve_ready();
    }
    return results;
}

ClientResult run_client(const ClientHome& home, const ClientCommand& command, SuperServer* super) {
    return run_clients(home, {command}, super).front();
}

std::optional<std::string> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

bool write_file(const std::string& path, std::string_view content) {
    if (!make_parents(path)) return false;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    return static_cast<bool>(out);
}

std::string checksum(std::string_view data) {
    std::uint64_t hash = 14695981039346656037ULL;
    for (char c : data) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ULL;
    }
    char text[64];
    std::snprintf(text, sizeof text, "%zu bytes, fnv %016llx", data.size(),
                  static_cast<unsigned long long>(hash));
    return text;
}

std::map<std::string, std::string> tree_checksums(const std::string& dir, std::string_view skip) {
    std::map<std::string, std::string> files;
    std::function<void(const std::string&)> walk = [&](const std::string& relative) {
        std::string path = relative.empty() ? dir : dir + "/" + relative;
        DIR* stream = opendir(path.c_str());
        if (stream == nullptr) return;
        std::vector<std::string> names;
        while (dirent* entry = readdir(stream)) {
            std::string name = entry->d_name;
            if (name != "." && name != ".." && name != skip) names.push_back(name);
        }
        closedir(stream);
        for (const std::string& name : names) {
            std::string child = relative.empty() ? name : relative + "/" + name;
            struct stat status {};
            if (lstat((dir + "/" + child).c_str(), &status) < 0) continue;
            if (S_ISDIR(status.st_mode)) walk(child);
            else if (S_ISREG(status.st_mode)) files[child] = checksum(read_file(dir + "/" + child).value_or(""));
        }
    };
    walk("");
    return files;
}

std::string patterned(std::size_t size, unsigned seed) {
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        data[i] = static_cast<char>((i * (7 + 2 * seed) + i / 251 + seed * 13) & 0xff);
    return data;
}
