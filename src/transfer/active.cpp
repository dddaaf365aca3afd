// Active-mode destinations: EPRT parsing and the checks every PORT, LPRT and EPRT
// passes before its destination may be used.
#include "transfer/active.h"

#include <netdb.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "config/class_settings.h"
#include "server/control.h"
#include "server/settings.h"
#include "transfer/data_channel.h"

namespace {

constexpr std::size_t numeric_text_size = 1025;
// Destinations below this port are privileged services, never a client's listener.
constexpr unsigned long lowest_client_port = 1024;

// A whole unsigned decimal number, nothing left over.
bool parse_decimal(const char* text, unsigned long& value) {
    if (text[0] == '\0') return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtoul(text, &end, 10);
    return errno == 0 && *end == '\0';
}

void refuse_eprt() {
    send_reply(500, "Invalid argument, rejected.");
    data_channel.use_default_dest = true;
}

// The same host, at a port that is not privileged, in the same IPv6 scope.
bool destination_is_the_client(const SocketAddress& dest) {
    if (dest.family() == AF_INET6 && dest.in6.sin6_scope_id != remote_addr.in6.sin6_scope_id)
        return false;
    char dest_host[numeric_text_size];
    char dest_port[numeric_text_size];
    char client_host[numeric_text_size];
    char client_port[numeric_text_size];
    const int flags = NI_NUMERICHOST | NI_NUMERICSERV;
    if (getnameinfo(&dest.sa, dest.length, dest_host, sizeof dest_host, dest_port,
                    sizeof dest_port, flags) != 0 ||
        getnameinfo(&remote_addr.sa, remote_addr.length, client_host, sizeof client_host,
                    client_port, sizeof client_port, flags) != 0)
        return false;
    unsigned long port = 0;
    if (!parse_decimal(dest_port, port) || port < lowest_client_port) return false;
    return std::strcmp(dest_host, client_host) == 0;
}

}  // namespace

int family_to_epsv_proto(int family) {
    if (family == AF_INET) return 1;
    if (family == AF_INET6) return 2;
    return -1;
}

int epsv_proto_to_family(int protocol) {
    if (protocol == 1) return AF_INET;
    if (protocol == 2) return AF_INET6;
    return -1;
}

void reply_epsv_unsupported(const char* text) {
    int protocol = family_to_epsv_proto(local_addr.family());
    if (protocol == -1) send_reply(501, "%s", text);
    else send_reply(522, "%s, use (%d)", text, protocol);
}

int cmd_eprt(const char* argument) {
    char* copy = strdup_or_die(argument);
    char delimiter = copy[0];
    char* fields[3] = {nullptr, nullptr, nullptr};
    char* cursor = delimiter != '\0' ? copy + 1 : nullptr;
    for (char*& field : fields) {
        char* end = cursor != nullptr ? std::strchr(cursor, delimiter) : nullptr;
        if (end == nullptr) {
            std::free(copy);
            refuse_eprt();
            return -1;
        }
        *end = '\0';
        field = cursor;
        cursor = end + 1;
    }
    const char* protocol_text = fields[0];
    const char* host = fields[1];
    const char* port = fields[2];
    unsigned long port_number = 0;
    unsigned long protocol = 0;
    if (!parse_decimal(port, port_number)) {
        std::free(copy);
        refuse_eprt();
        return -1;
    }
    if (!parse_decimal(protocol_text, protocol) || (protocol != 1 && protocol != 2)) {
        std::free(copy);
        reply_epsv_unsupported("Protocol not supported");
        data_channel.use_default_dest = true;
        return -1;
    }
    addrinfo hints {};
    hints.ai_flags = AI_NUMERICHOST;
    hints.ai_family = epsv_proto_to_family(static_cast<int>(protocol));
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    int status = getaddrinfo(host, port, &hints, &result);
    std::free(copy);
    if (status != 0 || result == nullptr || result->ai_next != nullptr ||
        result->ai_addrlen > sizeof(sockaddr_in6)) {
        if (result != nullptr) freeaddrinfo(result);
        refuse_eprt();
        return -1;
    }
    SocketAddress& dest = data_channel.active_dest;
    dest.clear();
    std::memcpy(&dest.storage, result->ai_addr, result->ai_addrlen);
    dest.length = result->ai_addrlen;
    freeaddrinfo(result);
    if (remote_addr.family() == AF_INET6 && dest.family() == AF_INET6)
        dest.in6.sin6_scope_id = remote_addr.in6.sin6_scope_id;
    return 0;
}

void check_port_command(const char* command, int family) {
    DataChannel& channel = data_channel;
    if (channel.epsv_all != 0) {
        send_reply(501, "%s disallowed after EPSV ALL", command);
        channel.use_default_dest = true;
        return;
    }
    const SocketAddress& dest = channel.active_dest;
    bool acceptable = (family == -1 || family == remote_addr.family()) &&
                      dest.family() == remote_addr.family();
    if (acceptable && curclass.has(class_flag::checkportcmd))
        acceptable = destination_is_the_client(dest);
    if (!acceptable) {
        send_reply(500, "Illegal %s command rejected", command);
        channel.use_default_dest = true;
        return;
    }
    channel.use_default_dest = false;
    if (channel.pasv_fd != -1) {
        close(channel.pasv_fd);
        channel.pasv_fd = -1;
    }
    send_reply(200, "%s command successful.", command);
}
