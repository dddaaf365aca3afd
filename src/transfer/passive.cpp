// Passive mode listeners.
#include "transfer/passive.h"

#include <arpa/inet.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "config/class_settings.h"
#include "server/control.h"
#include "server/log.h"
#include "server/settings.h"
#include "transfer/active.h"
#include "transfer/data_channel.h"
#include "transfer/errno_reply.h"

namespace {

void close_listener() {
    if (data_channel.pasv_fd != -1) close(data_channel.pasv_fd);
    data_channel.pasv_fd = -1;
}

void fail_passive() {
    int saved = errno;
    close_listener();
    errno = saved;
    reply_with_errno(425, "Can't open passive connection");
}

bool try_bind(int port) {
    SocketAddress& address = data_channel.passive_addr;
    address.set_port(htons(static_cast<in_port_t>(port)));
    return bind(data_channel.pasv_fd, &address.sa, address.length) == 0;
}

// Make a listener of `family` bound as the class asks; false with errno set.
bool open_listener(int family) {
    close_listener();
    data_channel.pasv_fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (data_channel.pasv_fd < 0) return false;
    data_channel.passive_addr = local_addr;
    if (bind_passive_port() < 0) return false;
    SocketAddress& address = data_channel.passive_addr;
    address.length = sizeof address.storage;
    return getsockname(data_channel.pasv_fd, &address.sa, &address.length) == 0;
}

const SocketAddress& announced_address() {
    return curclass.advertise.length != 0 ? curclass.advertise : data_channel.passive_addr;
}

}  // namespace

int bind_passive_port() {
    if (curclass.portmin == 0 && curclass.portmax == 0) return try_bind(0) ? 0 : -1;
    int& last = data_channel.last_passive_port;
    int low = static_cast<int>(curclass.portmin);
    int high = static_cast<int>(curclass.portmax);
    if (last == 0) {
        // The first port must not be guessable from the process id: a third party
        // who knows where the listener will be can race the client to it.
        unsigned int random = 0;
        if (getrandom(&random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
            std::srand(static_cast<unsigned>(getpid()) ^ static_cast<unsigned>(time(nullptr)));
            random = static_cast<unsigned int>(std::rand());
        }
        last = low + static_cast<int>(random % static_cast<unsigned int>(high - low));
    }
    const int start = last;
    // Every port of the range once, starting after the last one bound.
    for (int port = start + 1;; ++port) {
        if (port > high) port = low;
        if (port == start) {
            errno = EAGAIN;
            return -1;
        }
        if (try_bind(port)) {
            last = port;
            return 0;
        }
        if (errno != EADDRINUSE) return -1;
    }
}

void cmd_pasv() {
    if (data_channel.epsv_all != 0) {
        send_reply(501, "%s disallowed after EPSV ALL", "PASV");
        return;
    }
    if (!open_listener(AF_INET)) {
        fail_passive();
        return;
    }
    if (curclass.recvbufsize != 0) {
        int size = static_cast<int>(curclass.recvbufsize);
        if (setsockopt(data_channel.pasv_fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size) < 0)
            log_message(LOG_WARNING, "setsockopt(SO_RCVBUF, %d): %m", size);
    }
    if (listen(data_channel.pasv_fd, 1) < 0) {
        fail_passive();
        return;
    }
    const SocketAddress& shown = announced_address();
    const unsigned char* a = shown.address_bytes();
    const unsigned char* p = data_channel.passive_addr.port_bytes();
    send_reply(227, "Entering Passive Mode (%d,%d,%d,%d,%d,%d)", a[0], a[1], a[2], a[3], p[0], p[1]);
}

void cmd_long_passive(const char* command, int family) {
    if (family != 0 && family != local_addr.family()) {
        reply_epsv_unsupported("Network protocol mismatch");
        return;
    }
    if (!open_listener(local_addr.family()) || listen(data_channel.pasv_fd, 1) < 0) {
        fail_passive();
        return;
    }
    SocketAddress& bound = data_channel.passive_addr;
    const unsigned char* p = bound.port_bytes();
    if (command[0] == 'L') {
        const SocketAddress& shown = announced_address();
        const unsigned char* a = shown.address_bytes();
        if (shown.family() == AF_INET) {
            send_reply(228, "Entering Long Passive Mode (%d,%d,%d,%d,%d,%d,%d,%d,%d)", 4, 4, a[0],
                       a[1], a[2], a[3], 2, p[0], p[1]);
            return;
        }
        if (shown.family() == AF_INET6) {
            send_reply(228,
                       "Entering Long Passive Mode "
                       "(%d,%d,%d,%d,%d,%d,%d,%d,%d,%d,%d,%d,%d,%d,%d,%d,%d,%d,%d,%d,%d)",
                       6, 16, a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8], a[9], a[10],
                       a[11], a[12], a[13], a[14], a[15], 2, p[0], p[1]);
            return;
        }
        errno = EAFNOSUPPORT;
        fail_passive();
        return;
    }
    if (bound.family() != AF_INET && bound.family() != AF_INET6) {
        errno = EAFNOSUPPORT;
        fail_passive();
        return;
    }
    send_reply(229, "Entering Extended Passive Mode (|||%d|)", ntohs(bound.port()));
}
