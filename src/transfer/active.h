// Active-mode destinations: PORT, LPRT, EPRT and their checks.
#pragma once

// Check the destination a PORT, LPRT or EPRT command set in active_dest;
// `family` is the family the command stands for, -1 for EPRT.
void check_port_command(const char* command, int family);
// Parse an EPRT argument into active_dest; 0 when the destination was set.
int cmd_eprt(const char* argument);
// The address family of an EPSV protocol number, -1 when unknown.
int epsv_proto_to_family(int protocol);
