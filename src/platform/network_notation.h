// Network notation "address[/prefix]" for IPv4 and IPv6 access-list host parts.
#pragma once

#include <cstddef>

// Parse `text` as a network of `family` (AF_INET or AF_INET6) into `network`
// (`size` bytes; 4 for IPv4 and 16 for IPv6 are enough, bytes past the written
// address are left alone). Returns the prefix length, or -1 when the text is no
// network of that family, the prefix is out of range or `size` is too small.
//   IPv4 follows the C library's inet_net_pton: dotted parts, optionally "/bits",
//   and without "/bits" the classful prefix of the first part, widened to cover
//   every part written.
//   IPv6 is an address as inet_pton reads it, optionally followed by "/bits" with
//   0 to 128 written in decimal without leading zeros; without it the prefix is
//   128. All 16 address bytes are written as given: host bits are not cleared.
int parse_network(int family, const char* text, unsigned char* network, std::size_t size);
