// A small FTP client for tests: the control connection with exact reply bytes, and
// data connections by PASV, EPSV, PORT and EPRT.
//
// Every read has a time limit. A failed read (time-out, early end of input, a
// malformed reply) is recorded as a test failure and marks the client broken, so
// later reads fail at once instead of waiting again.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fd.h"

// One complete reply.
struct Reply {
    int code = 0;                    // 0 when no complete reply was read
    std::vector<std::string> lines{};  // every line without its CR LF
    std::string raw{};               // the bytes as received, line ends included

    bool complete() const { return code != 0; }
    // The text of the last line, after "NNN ".
    std::string text() const;
};
std::ostream& operator<<(std::ostream& out, const Reply& reply);

// A host and port for data connections.
struct Endpoint {
    int family = 0;       // AF_INET or AF_INET6
    std::string address{};  // numeric
    std::uint16_t port = 0;
};

// "(h1,h2,h3,h4,p1,p2)" in a 227 reply.
std::optional<Endpoint> parse_pasv_reply(const Reply& reply);
// "(|||port|)" in a 229 reply.
std::optional<std::uint16_t> parse_epsv_reply(const Reply& reply);

// Listens on `endpoint`; port 0 lets the system choose and stores the port chosen.
// An IPv4-mapped IPv6 address gets a dual-stack socket that accepts IPv4 clients.
std::optional<Fd> listen_on(Endpoint& endpoint);
// Connects to `endpoint`; none (and a test failure) when that fails in time.
std::optional<Fd> connect_to(const Endpoint& endpoint, Millis timeout = default_timeout);
// Reads `fd` to its end; none (and a test failure) on a time-out.
std::optional<std::string> read_stream(int fd, Millis timeout = default_timeout);
// Writes all of `data`; false (and a test failure) when that fails in time.
bool write_all(int fd, std::string_view data, Millis timeout = default_timeout);

class FtpClient {
public:
    explicit FtpClient(Fd control) : control_(std::move(control)) {}

    int fd() const { return control_.get(); }
    // The two ends of the control connection.
    Endpoint local_endpoint() const;
    Endpoint peer_endpoint() const;

    // Sends `line` and CR LF.
    bool send_line(std::string_view line);
    // Sends the bytes as they are.
    bool send_raw(std::string_view bytes);
    // Sends the bytes as urgent data: TCP marks the last one urgent.
    bool send_urgent(std::string_view bytes);
    // The usual way to send ABOR or STAT during a transfer: Telnet IP, the synch
    // (IAC, then DM sent urgent), then the line and CR LF.
    bool send_urgent_line(std::string_view line);
    // Ends our writing side; the server sees end of input.
    bool shutdown_write();

    // Reads one complete reply: one line "NNN text", or "NNN-text" through the next
    // line that starts with the same "NNN ".
    Reply read_reply(Millis timeout = default_timeout);
    // send_line, then read_reply.
    Reply command(std::string_view line, Millis timeout = default_timeout);
    // Exactly `count` bytes (e.g. a Telnet answer).
    std::optional<std::string> read_bytes(std::size_t count, Millis timeout = default_timeout);
    // Everything up to the end of the connection (a reset counts as the end).
    std::optional<std::string> read_until_eof(Millis timeout = default_timeout);

    // PASV: expects 227 and connects to the announced address.
    std::optional<Fd> open_passive(Millis timeout = default_timeout);
    // EPSV: expects 229 and connects to the announced port on the server's address.
    std::optional<Fd> open_extended_passive(Millis timeout = default_timeout);

private:
    bool fill(const Deadline& deadline, const char* waiting_for);
    std::optional<std::string> read_line(const Deadline& deadline);
    bool broken(const char* what);

    Fd control_;
    std::string received_;  // read from the socket, not yet handed out
    bool at_eof_ = false;
    bool broken_ = false;
};

// A listener for active-mode data connections, on the address of the client's end
// of the control connection, port chosen by the system.
class ActiveListener {
public:
    static std::optional<ActiveListener> open(const FtpClient& control);

    const Endpoint& endpoint() const { return endpoint_; }
    // "h1,h2,h3,h4,p1,p2" for PORT (IPv4 only).
    std::string port_argument() const;
    // "|1|address|port|" or "|2|address|port|" for EPRT.
    std::string eprt_argument() const;
    // Accepts the server's connection.
    std::optional<Fd> accept(Millis timeout = default_timeout);

private:
    ActiveListener(Fd listener, Endpoint endpoint)
        : listener_(std::move(listener)), endpoint_(std::move(endpoint)) {}

    Fd listener_;
    Endpoint endpoint_;
};
