// Opening and closing data connections, passive first, else active.
#include "transfer/data_connection.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "command/grammar.h"
#include "config/class_settings.h"
#include "login/identity.h"
#include "login/login_state.h"
#include "server/control.h"
#include "server/log.h"
#include "server/settings.h"
#include "server/signals.h"
#include "transfer/data_channel.h"
#include "transfer/errno_reply.h"

namespace {

constexpr unsigned connect_retry_sleep = 5;
constexpr unsigned connect_retry_limit = 90;
constexpr unsigned bind_retries = 10;
constexpr int lowest_unprivileged_port = 1024;

void set_option(int fd, int level, int name, int value) {
    setsockopt(fd, level, name, &value, sizeof value);
}

void announce(const char* name, long long size) {
    char size_text[32] = "";
    if (size != -1)
        std::snprintf(size_text, sizeof size_text, " (%lld byte%s)", size, size == 1 ? "" : "s");
    send_reply(150, "Opening %s mode data connection for '%s'%s.",
               transfer_type == TYPE_A ? "ASCII" : "BINARY", name, size_text);
}

// The data connection comes from the client's own host. Anybody who can reach
// the listener could otherwise connect first and read a download or write an
// upload meant for the client.
bool peer_is_the_client(const SocketAddress& peer) {
    if (peer.family() != remote_addr.family()) return false;
    std::size_t length = peer.family() == AF_INET6 ? sizeof(in6_addr) : sizeof(in_addr);
    return std::memcmp(peer.address_bytes(), remote_addr.address_bytes(), length) == 0;
}

FILE* accept_passive(const char* name, long long size, const char* mode) {
    SocketAddress peer;
    peer.length = sizeof peer.storage;
    arm_alarm(curclass.timeout);
    int fd = accept4(data_channel.pasv_fd, &peer.sa, &peer.length, SOCK_CLOEXEC);
    arm_alarm(0);
    if (fd >= 0 && curclass.has(class_flag::checkportcmd) && !peer_is_the_client(peer)) {
        close(fd);
        fd = -1;
    }
    if (fd < 0) {
        send_reply(425, "Can't open data connection.");
        close(data_channel.pasv_fd);
        data_channel.pasv_fd = -1;
        return nullptr;
    }
    close(data_channel.pasv_fd);
    data_channel.pasv_fd = fd;
    if (peer.family() == AF_INET && !ipv4_mapped) set_option(fd, IPPROTO_IP, IP_TOS, IPTOS_THROUGHPUT);
    set_option(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
    announce(name, size);
    FILE* stream = fdopen(fd, mode);
    if (stream == nullptr) {
        // The 150 has gone out; the caller sends nothing more, so leave no socket.
        close(fd);
        data_channel.pasv_fd = -1;
    }
    return stream;
}

// Leave root again after binding; failing to do so must not go unnoticed.
void return_from_root(bool raised) {
    if (!raised) return;
    uid_t uid = user_account != nullptr ? user_account->pw_uid : 0;
    if (!set_effective_user(uid)) {
        log_message(LOG_NOTICE, "user %s: can't seteuid: %m",
                    user_account != nullptr ? user_account->pw_name : "unknown");
        fatal_error("Can't drop privileges.");
    }
}

in_port_t active_local_port() {
    int port = data_port_option != 0 ? data_port_option : ntohs(local_addr.port()) - 1;
    port &= 0xffff;
    if (drop_privileges != 0 && port < lowest_unprivileged_port) port = 0;
    return htons(static_cast<in_port_t>(port));
}

// The local end of an active connection, bound to the data port; null with errno
// set on failure.
FILE* getdatasock(const char* mode) {
    bool raised = false;
    if (drop_privileges == 0 && geteuid() != 0) {
        if (!set_effective_user(0)) {
            log_message(LOG_NOTICE, "getdatasock: can't seteuid 0: %m");
            fatal_error("Can't reset privileges.");
        }
        raised = true;
    }
    int fd = socket(local_addr.family(), SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool ok = fd >= 0;
    if (ok) {
        int on = 1;
        ok = setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
             setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) == 0;
    }
    if (ok) {
        data_channel.active_local_addr = local_addr;
        data_channel.active_local_addr.set_port(active_local_port());
        const SocketAddress& local = data_channel.active_local_addr;
        ok = bind(fd, &local.sa, local.length) == 0;
        for (unsigned retry = 1; !ok && errno == EADDRINUSE && retry <= bind_retries; ++retry) {
            sleep(retry);
            ok = bind(fd, &local.sa, local.length) == 0;
        }
    }
    int saved = errno;
    return_from_root(raised);
    if (!ok) {
        if (fd >= 0) close(fd);
        errno = saved;
        return nullptr;
    }
    if (!ipv4_mapped && local_addr.family() == AF_INET) {
        int tos = IPTOS_THROUGHPUT;
        if (setsockopt(fd, IPPROTO_IP, IP_TOS, &tos, sizeof tos) < 0)
            log_message(LOG_WARNING, "setsockopt (IP_TOS): %m");
    }
    FILE* stream = fdopen(fd, mode);
    if (stream == nullptr) {
        saved = errno;
        close(fd);
        errno = saved;
    }
    return stream;
}

FILE* connect_active(const char* name, long long size, const char* mode) {
    DataChannel& channel = data_channel;
    if (channel.use_default_dest) channel.active_dest = remote_addr;
    channel.use_default_dest = true;
    int last_error = 0;
    for (unsigned waited = 0;;) {
        FILE* stream = getdatasock(mode);
        if (stream == nullptr) {
            int saved = errno;
            char host[1025] = "?";
            char port[32] = "?";
            const SocketAddress& local = channel.active_local_addr;
            if (getnameinfo(&local.sa, local.length, host, sizeof host, port, sizeof port,
                            NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
                std::strcpy(host, "?");
                std::strcpy(port, "?");
            }
            send_reply(425, "Can't create data socket (%s,%s): %s.", host, port,
                       std::strerror(saved));
            return nullptr;
        }
        channel.data_fd = fileno(stream);
        const SocketAddress& dest = channel.active_dest;
        if (connect(channel.data_fd, &dest.sa, dest.length) == 0) {
            announce(name, size);
            return stream;
        }
        last_error = errno;
        std::fclose(stream);
        channel.data_fd = -1;
        if (last_error != EADDRINUSE) break;
        sleep(connect_retry_sleep);
        waited += connect_retry_sleep;
        if (waited > connect_retry_limit) break;
    }
    errno = last_error;
    reply_with_errno(425, "Can't build data connection");
    return nullptr;
}

}  // namespace

FILE* open_data_connection(const char* name, long long size, const char* mode) {
    transfer_size_expected = size;
    transfer_bytes_done = 0;
    FILE* stream = data_channel.pasv_fd != -1 ? accept_passive(name, size, mode)
                                              : connect_active(name, size, mode);
    if (stream != nullptr) set_data_connection_open(true);
    return stream;
}

void close_data_connection(FILE* stream) {
    if (stream == nullptr) return;
    int closed_fd = fileno(stream);
    std::fclose(stream);
    set_data_connection_open(false);
    data_channel.data_fd = -1;
    if (data_channel.pasv_fd != -1 && data_channel.pasv_fd != closed_fd) close(data_channel.pasv_fd);
    data_channel.pasv_fd = -1;
}
