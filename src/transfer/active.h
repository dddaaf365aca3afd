// Active-mode destinations: PORT, LPRT, EPRT and their checks; the wire numbers of
// address families.
#pragma once

// Check the destination that PORT, LPRT or EPRT left in active_dest; `family` is
// the family the command stands for, -1 for EPRT. Sends exactly one reply.
void check_port_command(const char* command, int family);

// Parse an EPRT argument "<d>proto<d>address<d>port<d>" into active_dest. Returns
// 0 when the destination was set, -1 when refused (the reply has been sent).
int cmd_eprt(const char* argument);

// EPSV/EPRT protocol numbers: 1 IPv4, 2 IPv6; -1 for anything else.
int family_to_epsv_proto(int family);
int epsv_proto_to_family(int protocol);

// 522 "<text>, use (<n>)" with the control connection's protocol number, or 501
// "<text>" when it has none.
void reply_epsv_unsupported(const char* text);
