// Passive mode: PASV, LPSV and EPSV make the server listen for the next data
// connection.
#pragma once

// PASV: an IPv4 listener, announced as 227 with six numbers.
void cmd_pasv();

// LPSV ("LPSV") and EPSV ("EPSV"); `family` 0 means the control connection's
// family, -1 a protocol number the server does not know.
void cmd_long_passive(const char* command, int family);

// Bind data_channel.pasv_fd to passive_addr with a port from the class's range
// (or any port without one). Returns 0, or -1 with errno set (EAGAIN when every
// port of the range is taken).
int bind_passive_port();
