// The standalone listener: listens on the FTP port of every wildcard address and
// forks one session process per accepted connection.
#include "server/listener.h"

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "server/control.h"
#include "server/log.h"
#include "server/settings.h"

namespace {

constexpr const char* ftp_service = "ftp";
constexpr int listen_backlog = 12;

// The listening sockets: the array handed to poll, and the same descriptors
// again for the child to close. Both are sized by the resolver's result.
struct Listeners {
    pollfd* polled = nullptr;
    int* fds = nullptr;
    nfds_t count = 0;
};

void ignore_children() {
    // Finished sessions are reaped by the kernel; the listener keeps no record.
    struct sigaction action {};
    action.sa_handler = SIG_IGN;
    action.sa_flags = SA_NOCLDWAIT;
    sigemptyset(&action.sa_mask);
    if (sigaction(SIGCHLD, &action, nullptr) < 0) log_message(LOG_WARNING, "sigaction SIGCHLD: %m");
}

void set_option(int fd, int level, int option, const char* name) {
    int on = 1;
    if (setsockopt(fd, level, option, &on, sizeof on) < 0)
        log_message(LOG_WARNING, "setsockopt (%s): %m", name);
}

// A listening socket for `address`, or -1 with errno set.
int open_listener(const addrinfo& address) {
    // Non-blocking, so that a connection that vanishes between poll and accept
    // cannot stall the listener in accept.
    int fd = socket(address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                    address.ai_protocol);
    if (fd < 0) return -1;
    set_option(fd, SOL_SOCKET, SO_REUSEADDR, "SO_REUSEADDR");
    // Linux lets an IPv6 wildcard socket take IPv4 too, which would make the
    // IPv4 wildcard's bind fail; each family gets its own socket instead.
    if (address.ai_family == AF_INET6) set_option(fd, IPPROTO_IPV6, IPV6_V6ONLY, "IPV6_V6ONLY");
    if (bind(fd, address.ai_addr, address.ai_addrlen) < 0 || listen(fd, listen_backlog) < 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

Listeners open_listeners() {
    addrinfo hints{};
    hints.ai_flags = AI_PASSIVE;
    hints.ai_family = listen_family;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* results = nullptr;
    int error = getaddrinfo(nullptr, ftp_service, &hints, &results);
    if (error != 0) {
        log_message(LOG_ERR, "getaddrinfo: %s", gai_strerror(error));
        end_session(1);
    }
    if (results == nullptr) {
        log_message(LOG_ERR, "no addresses available");
        end_session(1);
    }
    std::size_t size = 0;
    for (const addrinfo* a = results; a != nullptr; a = a->ai_next) ++size;
    Listeners listeners;
    listeners.polled = static_cast<pollfd*>(std::calloc(size, sizeof(pollfd)));
    listeners.fds = static_cast<int*>(std::calloc(size, sizeof(int)));
    if (listeners.polled == nullptr || listeners.fds == nullptr) {
        log_message(LOG_ERR, "malloc: %m");
        end_session(1);
    }
    int last_error = 0;
    for (const addrinfo* a = results; a != nullptr; a = a->ai_next) {
        int fd = open_listener(*a);
        if (fd < 0) {
            last_error = errno;
            continue;
        }
        listeners.polled[listeners.count] = {.fd = fd, .events = POLLIN, .revents = 0};
        listeners.fds[listeners.count] = fd;
        ++listeners.count;
    }
    if (listeners.count == 0) {
        errno = last_error;
        log_message(LOG_ERR, "%m");
        end_session(1);
    }
    freeaddrinfo(results);
    return listeners;
}

// In the child: the connection becomes descriptors 0, 1 and 2, and nothing of
// the listener stays open.
void become_session(int connection, const Listeners& listeners) {
    // The listening sockets go first: the connection is a different descriptor,
    // so it survives even when a listener sits on 0, 1 or 2.
    for (nfds_t i = 0; i < listeners.count; ++i) close(listeners.fds[i]);
    for (int target = 0; target <= 2; ++target) {
        if (connection != target && dup2(connection, target) < 0) {
            log_message(LOG_ERR, "dup2: %m");
            end_session(1);
        }
    }
    if (connection > 2) close(connection);
}

}  // namespace

void run_standalone_listener() {
    if (!stay_foreground && daemon(1, 0) < 0) {
        log_message(LOG_ERR, "failed to daemonize: %m");
        end_session(1);
    }
    ignore_children();
    Listeners listeners = open_listeners();
    for (;;) {
        if (poll(listeners.polled, listeners.count, -1) < 0) {
            if (errno == EINTR) continue;
            log_message(LOG_ERR, "poll: %m");
            end_session(1);
        }
        for (nfds_t i = 0; i < listeners.count; ++i) {
            if ((listeners.polled[i].revents & POLLIN) == 0) continue;
            int connection = accept(listeners.polled[i].fd, nullptr, nullptr);
            if (connection < 0) {
                // Nothing waiting any more is no failure.
                if (errno != EAGAIN && errno != EWOULDBLOCK) log_message(LOG_ERR, "accept: %m");
                continue;
            }
            pid_t pid = fork();
            if (pid == 0) {
                become_session(connection, listeners);
                return;
            }
            if (pid < 0) log_message(LOG_ERR, "fork: %m");
            close(connection);
        }
    }
}
