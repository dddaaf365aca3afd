// Command pipes: the built-in lister in a forked child, or a program through vfork
// and execv, with every argument but the first expanded by glob and no shell.
#include "pipe/command_pipe.h"

#include <bsd/stringlist.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <initializer_list>

#include "lister/lister.h"
#include "login/identity.h"
#include "login/login_state.h"
#include "platform/bounded_glob.h"
#include "server/control.h"

namespace {

constexpr const char* builtin_lister = "/bin/ls";

// Child process per stream descriptor; 0 where no command pipe is open.
pid_t* command_pids = nullptr;
int command_pid_slots = 0;

bool make_pid_table() {
    if (command_pids != nullptr) return true;
    int slots = getdtablesize();
    if (slots <= 0) return false;
    command_pids = static_cast<pid_t*>(std::calloc(static_cast<std::size_t>(slots), sizeof(pid_t)));
    if (command_pids == nullptr) return false;
    command_pid_slots = slots;
    return true;
}

// The child's argument list: argv[0] as it is, the others glob-expanded.
StringList* build_arguments(const char* const* argv) {
    StringList* list = sl_init();
    if (list == nullptr) fatal_error("Local resource failure: malloc");
    sl_add(list, strdup_or_die(argv[0]));
    for (int i = 1; argv[i] != nullptr; ++i) {
        glob_t expansion {};
        int flags = GLOB_BRACE | GLOB_NOCHECK | GLOB_TILDE;
        if (bounded_glob(argv[i], flags, &expansion) == 0 && expansion.gl_pathc > 0) {
            for (std::size_t j = 0; j < expansion.gl_pathc; ++j)
                sl_add(list, strdup_or_die(expansion.gl_pathv[j]));
        } else {
            sl_add(list, strdup_or_die(argv[i]));
        }
        globfree(&expansion);
    }
    sl_add(list, nullptr);
    return list;
}

void move_descriptor(int from, int to) {
    if (from == to) return;
    dup2(from, to);
    close(from);
}

// In the child: descriptors in place, then the lister or the program.
// `empty_input` is the read end of a pipe whose write end is closed.
[[noreturn]] void run_child(StringList* list, bool reading, int ends[2], int error_fd, bool builtin,
                            int empty_input) {
    if (reading) {
        // Descriptor 0 is the client's control connection: a command that reads its
        // input must not eat the client's commands, so it reads an empty pipe.
        move_descriptor(empty_input, 0);
        move_descriptor(ends[1], 1);
        if (error_fd == command_error_to_output) dup2(1, 2);
        else if (error_fd != -1) dup2(error_fd, 2);
        else close(2);
        close(ends[0]);
    } else {
        move_descriptor(ends[0], 0);
        close(ends[1]);
    }
    // The child is not the session: the session's handlers (a broken pipe would end
    // the "session" from the child), ignored signals and its armed alarm must not
    // reach it or the program it runs.
    alarm(0);
    for (int signal_number : {SIGPIPE, SIGALRM, SIGURG, SIGHUP, SIGINT, SIGQUIT, SIGTERM})
        std::signal(signal_number, SIG_DFL);
    if (!builtin) {
        // A program started for the user runs as the user for real: with root as
        // its real id it could take root back.
        if (user_account != nullptr && !become_user_in_child(user_account->pw_uid, user_account->pw_gid))
            _exit(1);
        execv(list->sl_str[0], list->sl_str);
        _exit(1);
    }
    // A fresh option parser for the lister, and no syslog connection of the server.
    optind = 0;
    closelog();
    int status = lister_main(static_cast<int>(list->sl_cur) - 1, list->sl_str);
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(status);
}

}  // namespace

FILE* open_command_pipe(const char* const* argv, const char* type, int error_fd) {
    bool reading = std::strcmp(type, "r") == 0;
    if (!reading && std::strcmp(type, "w") != 0) {
        errno = EINVAL;
        return nullptr;
    }
    if (!make_pid_table()) return nullptr;
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) < 0) return nullptr;
    // An input that is at its end at once (no /dev/null is needed inside a chroot).
    int empty[2] = {-1, -1};
    if (reading && pipe2(empty, O_CLOEXEC) < 0) {
        int saved = errno;
        close(ends[0]);
        close(ends[1]);
        errno = saved;
        return nullptr;
    }
    if (empty[1] != -1) close(empty[1]);
    StringList* list = build_arguments(argv);
    bool builtin = std::strcmp(list->sl_str[0], builtin_lister) == 0;
    // The lister runs the server's own code and needs its own copy of the memory.
    std::fflush(nullptr);
    pid_t pid = builtin ? fork() : vfork();
    if (pid < 0) {
        int saved = errno;
        close(ends[0]);
        close(ends[1]);
        if (empty[0] != -1) close(empty[0]);
        sl_free(list, 1);
        errno = saved;
        return nullptr;
    }
    if (pid == 0) run_child(list, reading, ends, error_fd, builtin, empty[0]);
    sl_free(list, 1);
    if (empty[0] != -1) close(empty[0]);
    int kept = reading ? ends[0] : ends[1];
    close(reading ? ends[1] : ends[0]);
    FILE* stream = fdopen(kept, type);
    if (stream == nullptr || kept >= command_pid_slots) {
        // No stream for the caller: the child is ended and reaped, not left behind.
        int saved = stream == nullptr ? errno : EMFILE;
        if (stream != nullptr) std::fclose(stream);
        else close(kept);
        kill(pid, SIGKILL);
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        errno = saved;
        return nullptr;
    }
    command_pids[kept] = pid;
    return stream;
}

int close_command_pipe(FILE* stream) {
    int fd = fileno(stream);
    if (command_pids == nullptr || fd < 0 || fd >= command_pid_slots || command_pids[fd] == 0)
        return -1;
    pid_t pid = command_pids[fd];
    std::fclose(stream);
    sigset_t held;
    sigset_t previous;
    sigemptyset(&held);
    sigaddset(&held, SIGINT);
    sigaddset(&held, SIGQUIT);
    sigaddset(&held, SIGHUP);
    sigprocmask(SIG_BLOCK, &held, &previous);
    int status = 0;
    pid_t waited = 0;
    do {
        waited = waitpid(pid, &status, 0);
    } while (waited < 0 && errno == EINTR);
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    command_pids[fd] = 0;
    if (waited < 0) return -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 1;
}
