// The per-connection set-up.
#include "server/session_setup.h"

#include <bsd/unistd.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "command/grammar.h"
#include "command/lexer.h"
#include "config/class_settings.h"
#include "config/messages.h"
#include "server/control.h"
#include "server/log.h"
#include "server/settings.h"
#include "server/signals.h"
#include "transfer/data_channel.h"

SocketAddress remote_addr;
SocketAddress local_addr;
bool ipv4_mapped = false;
char client_name[client_name_max + 1] = "";
char utmp_line[utmp_line_max + 1] = "";
char proctitle_prefix[proctitle_prefix_size] = "";
int transfer_log_fd = -1;
bool transfer_log_to_file = false;
char* login_name = nullptr;
std::size_t login_name_size = 0;

namespace {

constexpr long long pre_login_timeout = 300;
constexpr const char* nologin_path = "/var/run/nologin";
constexpr const char* welcome_file = "ftpwelcome";
constexpr mode_t transfer_log_mode = 0660;

bool is_ipv4_mapped(const SocketAddress& address) {
    if (address.family() != AF_INET6) return false;
    const unsigned char* bytes = address.address_bytes();
    static constexpr unsigned char prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    return std::memcmp(bytes, prefix, sizeof prefix) == 0;
}

// Rewrite an IPv4-mapped IPv6 address as the IPv4 address it stands for.
void unmap_ipv4(SocketAddress& address) {
    in_port_t port = address.in6.sin6_port;
    unsigned char bytes[4];
    std::memcpy(bytes, address.address_bytes() + 12, sizeof bytes);
    address.clear();
    address.length = sizeof(sockaddr_in);
    address.in4.sin_family = AF_INET;
    address.in4.sin_port = port;
    std::memcpy(&address.in4.sin_addr, bytes, sizeof bytes);
}

// Name of `address` into `name` (size `size`); false when the lookup fails.
bool host_name_of(const SocketAddress& address, char* name, std::size_t size) {
    int flags = numeric_hosts ? NI_NUMERICHOST : 0;
    return getnameinfo(&address.sa, address.length, name, static_cast<socklen_t>(size), nullptr,
                       0, flags) == 0;
}

void read_addresses(const char* invocation_name) {
    remote_addr.length = sizeof remote_addr.storage;
    if (getpeername(0, &remote_addr.sa, &remote_addr.length) < 0) {
        log_message(errno == ENOTCONN ? LOG_NOTICE : LOG_ERR, "getpeername (%s): %m",
                    invocation_name);
        end_session(1);
    }
    local_addr.length = sizeof local_addr.storage;
    if (getsockname(0, &local_addr.sa, &local_addr.length) < 0) {
        log_message(LOG_ERR, "getsockname (%s): %m", invocation_name);
        end_session(1);
    }
    if (is_ipv4_mapped(remote_addr)) {
        unmap_ipv4(remote_addr);
        unmap_ipv4(local_addr);
        ipv4_mapped = true;
        return;
    }
    ipv4_mapped = false;
    if (remote_addr.family() == AF_INET) {
        int tos = IPTOS_LOWDELAY;
        if (setsockopt(0, IPPROTO_IP, IP_TOS, &tos, sizeof tos) < 0)
            log_message(LOG_WARNING, "setsockopt (IP_TOS): %m");
    }
}

void name_server() {
    if (server_name[0] != '\0') return;
    if (!host_name_of(local_addr, server_name, sizeof server_name)) {
        if (gethostname(server_name, sizeof server_name) < 0) server_name[0] = '\0';
    }
    server_name[server_name_max] = '\0';
}

void set_socket_options() {
    int on = 1;
    if (setsockopt(0, SOL_SOCKET, SO_OOBINLINE, &on, sizeof on) < 0)
        log_message(LOG_WARNING, "setsockopt: %m");
    if (setsockopt(0, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) < 0)
        log_message(LOG_WARNING, "setsockopt (SO_KEEPALIVE): %m");
    if (fcntl(fileno(stdin), F_SETOWN, getpid()) < 0) log_message(LOG_WARNING, "fcntl F_SETOWN: %m");
}

void reset_session() {
    data_channel.data_fd = -1;
    transfer_type = TYPE_A;
    transfer_form = FORM_N;
    structure = STRU_F;
    transfer_mode = MODE_S;
    pending_line[0] = '\0';
    line_replied = false;
    reset_class();
    curclass.timeout = pre_login_timeout;
    curclass.type = REAL;
}

void greet() {
    if (access(nologin_path, F_OK) == 0 && display_message_file(nologin_path, 530) == 1) {
        send_reply(530, "System not available.");
        end_session(0);
    }
    char welcome[1024];
    std::snprintf(welcome, sizeof welcome, "%s/%s", config_dir, welcome_file);
    display_message_file(welcome, 220);
    if (version_string != nullptr && version_string[0] != '\0')
        send_reply(220, "%s FTP server (%s) ready.", server_name, version_string);
    else
        send_reply(220, "%s FTP server ready.", server_name);
}

void open_transfer_log() {
    if (transfer_log_path == nullptr) return;
    transfer_log_fd = open(transfer_log_path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC,
                           transfer_log_mode);
    if (transfer_log_fd < 0) {
        log_message(LOG_WARNING, "open xferlog `%s': %m", transfer_log_path);
        return;
    }
    transfer_log_to_file = true;
}

}  // namespace

void setup_connection(const char* invocation_name) {
    read_addresses(invocation_name);
    name_server();
    std::snprintf(utmp_line, sizeof utmp_line, "ftp%d", static_cast<int>(getpid()));
    // Descriptor 2 is the client's socket under a super-server: whatever a library
    // writes to standard error must not reach the client.
    if (std::freopen("/dev/null", "w", stderr) == nullptr) close(2);
    install_signal_handlers();
    set_socket_options();
    if (!host_name_of(remote_addr, client_name, sizeof client_name)) {
        std::strcpy(client_name, "?");
    }
    client_name[client_name_max] = '\0';
    std::snprintf(proctitle_prefix, sizeof proctitle_prefix, "%s: connected", client_name);
    setproctitle("%s", proctitle_prefix);
    if (logging_level > 0) log_message(LOG_INFO, "connection from %s to %s", client_name, server_name);
    reset_session();
    greet();
    open_transfer_log();
}
