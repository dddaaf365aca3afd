// A socket address that holds IPv4 or IPv6, with the length the system gave.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

// Plain record: the parsers of PORT, LPRT and EPRT and the status report read and
// write the port and address bytes one by one through `in4` and `in6`.
struct SocketAddress {
    union {
        sockaddr sa;
        sockaddr_in in4;
        sockaddr_in6 in6;
        sockaddr_storage storage;
    };
    socklen_t length;  // 16 for IPv4, 28 for IPv6, 0 when empty

    SocketAddress() { clear(); }
    void clear() {
        std::memset(&storage, 0, sizeof storage);
        length = 0;
    }
    int family() const { return sa.sa_family; }
    // Port in network byte order, 0 for an empty address.
    in_port_t port() const {
        if (family() == AF_INET) return in4.sin_port;
        if (family() == AF_INET6) return in6.sin6_port;
        return 0;
    }
    void set_port(in_port_t network_order_port) {
        if (family() == AF_INET) in4.sin_port = network_order_port;
        else if (family() == AF_INET6) in6.sin6_port = network_order_port;
    }
    // Pointer to the port's two bytes, high byte first.
    unsigned char* port_bytes() {
        return family() == AF_INET6 ? reinterpret_cast<unsigned char*>(&in6.sin6_port)
                                    : reinterpret_cast<unsigned char*>(&in4.sin_port);
    }
    const unsigned char* port_bytes() const {
        return const_cast<SocketAddress*>(this)->port_bytes();
    }
    // Pointer to the address bytes (4 for IPv4, 16 for IPv6).
    unsigned char* address_bytes() {
        return family() == AF_INET6 ? reinterpret_cast<unsigned char*>(&in6.sin6_addr)
                                    : reinterpret_cast<unsigned char*>(&in4.sin_addr);
    }
    const unsigned char* address_bytes() const {
        return const_cast<SocketAddress*>(this)->address_bytes();
    }
};
