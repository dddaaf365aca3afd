// Network notation: the C library's reader for IPv4, our own for IPv6, which the
// C library's inet_net_pton does not handle.
#include "platform/network_notation.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cstring>

namespace {

constexpr int ipv6_bits = 128;
constexpr std::size_t ipv6_bytes = 16;
// Longest IPv6 text inet_pton can accept (a full address with an IPv4 tail).
constexpr std::size_t ipv6_text_max = INET6_ADDRSTRLEN;

// Decimal prefix length 0..128: digits only, no sign, no leading zeros.
int parse_prefix_length(const char* text) {
    if (text[0] == '\0' || (text[0] == '0' && text[1] != '\0')) return -1;
    int bits = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return -1;
        bits = bits * 10 + (*p - '0');
        if (bits > ipv6_bits) return -1;
    }
    return bits;
}

int parse_ipv6_network(const char* text, unsigned char* network, std::size_t size) {
    if (size < ipv6_bytes) return -1;
    const char* slash = std::strchr(text, '/');
    std::size_t address_length = slash != nullptr ? static_cast<std::size_t>(slash - text)
                                                   : std::strlen(text);
    if (address_length == 0 || address_length >= ipv6_text_max) return -1;
    char address_text[ipv6_text_max];
    std::memcpy(address_text, text, address_length);
    address_text[address_length] = '\0';
    int bits = ipv6_bits;
    if (slash != nullptr && (bits = parse_prefix_length(slash + 1)) < 0) return -1;
    in6_addr address{};
    if (inet_pton(AF_INET6, address_text, &address) != 1) return -1;
    std::memcpy(network, &address, ipv6_bytes);
    return bits;
}

}  // namespace

int parse_network(int family, const char* text, unsigned char* network, std::size_t size) {
    if (family == AF_INET) return inet_net_pton(AF_INET, text, network, size);
    if (family == AF_INET6) return parse_ipv6_network(text, network, size);
    return -1;
}
