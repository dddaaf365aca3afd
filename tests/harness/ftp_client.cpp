// A small FTP client for tests.
#include "ftp_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <regex>

namespace {

constexpr unsigned char telnet_iac = 255;
constexpr unsigned char telnet_ip = 244;
constexpr unsigned char telnet_dm = 242;
constexpr std::size_t read_chunk = 65536;

// Bytes as a C string literal would show them, for failure messages.
std::string printable(std::string_view bytes) {
    std::string text = "\"";
    for (unsigned char c : bytes) {
        if (c == '\r') text += "\\r";
        else if (c == '\n') text += "\\n";
        else if (c == '"' || c == '\\') text += std::string("\\") + static_cast<char>(c);
        else if (std::isprint(c)) text += static_cast<char>(c);
        else {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02x", c);
            text += escape;
        }
    }
    return text + "\"";
}

struct SocketAddress {
    sockaddr_storage storage{};
    socklen_t length = 0;
    sockaddr* get() { return reinterpret_cast<sockaddr*>(&storage); }
};

std::optional<SocketAddress> address_of(const Endpoint& endpoint) {
    SocketAddress address;
    if (endpoint.family == AF_INET) {
        auto* in4 = reinterpret_cast<sockaddr_in*>(&address.storage);
        in4->sin_family = AF_INET;
        in4->sin_port = htons(endpoint.port);
        if (inet_pton(AF_INET, endpoint.address.c_str(), &in4->sin_addr) != 1) return std::nullopt;
        address.length = sizeof *in4;
    } else {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&address.storage);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(endpoint.port);
        if (inet_pton(AF_INET6, endpoint.address.c_str(), &in6->sin6_addr) != 1) return std::nullopt;
        address.length = sizeof *in6;
    }
    return address;
}

Endpoint endpoint_of(const sockaddr_storage& storage) {
    Endpoint endpoint;
    endpoint.family = storage.ss_family;
    char text[INET6_ADDRSTRLEN] = "";
    if (storage.ss_family == AF_INET) {
        const auto& in4 = reinterpret_cast<const sockaddr_in&>(storage);
        inet_ntop(AF_INET, &in4.sin_addr, text, sizeof text);
        endpoint.port = ntohs(in4.sin_port);
    } else if (storage.ss_family == AF_INET6) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(storage);
        inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof text);
        endpoint.port = ntohs(in6.sin6_port);
    }
    endpoint.address = text;
    return endpoint;
}

Endpoint socket_endpoint(int fd, bool peer) {
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    int result = peer ? getpeername(fd, reinterpret_cast<sockaddr*>(&storage), &length)
                      : getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &length);
    if (result < 0) return {};
    return endpoint_of(storage);
}

std::string describe(const Endpoint& endpoint) {
    return endpoint.address + " port " + std::to_string(endpoint.port);
}

bool set_blocking(int fd, bool blocking) {
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0) return false;
    flags = blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK;
    return fcntl(fd, F_SETFL, flags) == 0;
}

}  // namespace

std::string Reply::text() const {
    if (lines.empty()) return "";
    const std::string& last = lines.back();
    return last.size() > 4 ? last.substr(4) : "";
}

std::ostream& operator<<(std::ostream& out, const Reply& reply) {
    return out << "reply " << reply.code << " " << printable(reply.raw);
}

std::optional<Endpoint> parse_pasv_reply(const Reply& reply) {
    static const std::regex numbers(R"((\d+),(\d+),(\d+),(\d+),(\d+),(\d+))");
    std::smatch match;
    std::string text = reply.text();
    if (reply.code != 227 || !std::regex_search(text, match, numbers)) return std::nullopt;
    int value[6];
    for (int i = 0; i < 6; ++i) {
        value[i] = std::stoi(match[i + 1]);
        if (value[i] > 255) return std::nullopt;
    }
    Endpoint endpoint;
    endpoint.family = AF_INET;
    endpoint.address = std::to_string(value[0]) + "." + std::to_string(value[1]) + "." +
                       std::to_string(value[2]) + "." + std::to_string(value[3]);
    endpoint.port = static_cast<std::uint16_t>(value[4] * 256 + value[5]);
    return endpoint;
}

std::optional<std::uint16_t> parse_epsv_reply(const Reply& reply) {
    static const std::regex port(R"(\(\|\|\|(\d+)\|\))");
    std::smatch match;
    std::string text = reply.text();
    if (reply.code != 229 || !std::regex_search(text, match, port)) return std::nullopt;
    int value = std::stoi(match[1]);
    if (value <= 0 || value > 65535) return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

std::optional<Fd> listen_on(Endpoint& endpoint) {
    auto address = address_of(endpoint);
    if (!address) {
        ADD_FAILURE() << "bad listening address " << endpoint.address;
        return std::nullopt;
    }
    Fd listener(socket(endpoint.family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!listener.valid()) {
        ADD_FAILURE() << "socket: " << std::strerror(errno);
        return std::nullopt;
    }
    if (endpoint.family == AF_INET6) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(address->storage);
        int v6only = IN6_IS_ADDR_V4MAPPED(&in6.sin6_addr) ? 0 : 1;
        setsockopt(listener.get(), IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only);
    }
    if (bind(listener.get(), address->get(), address->length) < 0 || listen(listener.get(), 8) < 0) {
        ADD_FAILURE() << "listen on " << describe(endpoint) << ": " << std::strerror(errno);
        return std::nullopt;
    }
    endpoint = socket_endpoint(listener.get(), false);
    return listener;
}

std::optional<Fd> connect_to(const Endpoint& endpoint, Millis timeout) {
    auto address = address_of(endpoint);
    if (!address) {
        ADD_FAILURE() << "bad address " << endpoint.address;
        return std::nullopt;
    }
    Fd connection(socket(endpoint.family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!connection.valid()) {
        ADD_FAILURE() << "socket: " << std::strerror(errno);
        return std::nullopt;
    }
    int error = 0;
    if (connect(connection.get(), address->get(), address->length) < 0) {
        error = errno;
        if (error == EINPROGRESS) {
            if (!wait_ready(connection.get(), POLLOUT, Deadline(timeout))) {
                ADD_FAILURE() << "connect to " << describe(endpoint) << ": timed out";
                return std::nullopt;
            }
            socklen_t length = sizeof error;
            getsockopt(connection.get(), SOL_SOCKET, SO_ERROR, &error, &length);
        }
    }
    if (error != 0 || !set_blocking(connection.get(), true)) {
        ADD_FAILURE() << "connect to " << describe(endpoint) << ": " << std::strerror(error);
        return std::nullopt;
    }
    return connection;
}

std::optional<std::string> read_stream(int fd, Millis timeout) {
    Deadline deadline(timeout);
    std::string data;
    char buffer[read_chunk];
    for (;;) {
        if (!wait_ready(fd, POLLIN, deadline)) {
            ADD_FAILURE() << "data stream: no end within " << timeout.count() << " ms after "
                          << data.size() << " bytes";
            return std::nullopt;
        }
        ssize_t got = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got == 0) return data;
        if (got > 0) {
            data.append(buffer, static_cast<std::size_t>(got));
        } else if (errno != EAGAIN && errno != EINTR) {
            ADD_FAILURE() << "data stream: " << std::strerror(errno) << " after " << data.size()
                          << " bytes";
            return std::nullopt;
        }
    }
}

bool write_all(int fd, std::string_view data, Millis timeout) {
    Deadline deadline(timeout);
    std::size_t done = 0;
    while (done < data.size()) {
        if (!wait_ready(fd, POLLOUT, deadline)) {
            ADD_FAILURE() << "write: only " << done << " of " << data.size() << " bytes within "
                          << timeout.count() << " ms";
            return false;
        }
        ssize_t sent = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            done += static_cast<std::size_t>(sent);
        } else if (errno != EAGAIN && errno != EINTR) {
            ADD_FAILURE() << "write: " << std::strerror(errno) << " after " << done << " bytes";
            return false;
        }
    }
    return true;
}

Endpoint FtpClient::local_endpoint() const { return socket_endpoint(control_.get(), false); }
Endpoint FtpClient::peer_endpoint() const { return socket_endpoint(control_.get(), true); }

bool FtpClient::send_line(std::string_view line) { return send_raw(std::string(line) + "\r\n"); }

bool FtpClient::send_raw(std::string_view bytes) { return write_all(control_.get(), bytes); }

bool FtpClient::send_urgent(std::string_view bytes) {
    ssize_t sent = send(control_.get(), bytes.data(), bytes.size(), MSG_OOB | MSG_NOSIGNAL);
    if (sent != static_cast<ssize_t>(bytes.size())) {
        ADD_FAILURE() << "urgent send: " << std::strerror(errno);
        return false;
    }
    return true;
}

bool FtpClient::send_urgent_line(std::string_view line) {
    const char interrupt[] = {static_cast<char>(telnet_iac), static_cast<char>(telnet_ip),
                              static_cast<char>(telnet_iac)};
    const char synch = static_cast<char>(telnet_dm);
    return send_raw(std::string_view(interrupt, sizeof interrupt)) &&
           send_urgent(std::string_view(&synch, 1)) && send_line(line);
}

bool FtpClient::shutdown_write() {
    if (shutdown(control_.get(), SHUT_WR) == 0) return true;
    ADD_FAILURE() << "shutdown: " << std::strerror(errno);
    return false;
}

bool FtpClient::broken(const char* what) {
    if (!broken_) ADD_FAILURE() << "control connection: " << what << "; unread bytes " << printable(received_);
    broken_ = true;
    return false;
}

bool FtpClient::fill(const Deadline& deadline, const char* waiting_for) {
    if (broken_) return false;
    if (at_eof_) return broken((std::string("end of connection while waiting for ") + waiting_for).c_str());
    if (!wait_ready(control_.get(), POLLIN, deadline))
        return broken((std::string("timed out waiting for ") + waiting_for).c_str());
    char buffer[read_chunk];
    ssize_t got = recv(control_.get(), buffer, sizeof buffer, MSG_DONTWAIT);
    if (got > 0) received_.append(buffer, static_cast<std::size_t>(got));
    else if (got == 0 || errno == ECONNRESET) at_eof_ = true;
    else if (errno != EAGAIN && errno != EINTR) return broken(std::strerror(errno));
    return true;
}

std::optional<std::string> FtpClient::read_line(const Deadline& deadline) {
    for (;;) {
        std::size_t end = received_.find('\n');
        if (end != std::string::npos) {
            std::string line = received_.substr(0, end + 1);
            received_.erase(0, end + 1);
            return line;
        }
        if (!fill(deadline, "a reply line")) return std::nullopt;
    }
}

Reply FtpClient::read_reply(Millis timeout) {
    Deadline deadline(timeout);
    Reply reply;
    std::string code_prefix;
    for (;;) {
        std::optional<std::string> raw = read_line(deadline);
        if (!raw) {
            reply.code = 0;
            return reply;
        }
        reply.raw += *raw;
        std::string line = *raw;
        line.pop_back();
        if (!line.empty() && line.back() == '\r') line.pop_back();
        reply.lines.push_back(line);
        if (code_prefix.empty()) {
            bool well_formed = line.size() >= 4 && std::isdigit(static_cast<unsigned char>(line[0])) &&
                               std::isdigit(static_cast<unsigned char>(line[1])) &&
                               std::isdigit(static_cast<unsigned char>(line[2])) &&
                               (line[3] == ' ' || line[3] == '-');
            if (!well_formed) {
                broken(("malformed reply line " + printable(*raw)).c_str());
                return reply;
            }
            code_prefix = line.substr(0, 3) + " ";
            if (line[3] == ' ') break;
        } else if (line.compare(0, 4, code_prefix) == 0) {
            break;
        }
    }
    reply.code = std::stoi(code_prefix);
    return reply;
}

Reply FtpClient::command(std::string_view line, Millis timeout) {
    if (!send_line(line)) return {};
    return read_reply(timeout);
}

std::optional<std::string> FtpClient::read_bytes(std::size_t count, Millis timeout) {
    Deadline deadline(timeout);
    while (received_.size() < count) {
        if (!fill(deadline, (std::to_string(count) + " bytes").c_str())) return std::nullopt;
    }
    std::string bytes = received_.substr(0, count);
    received_.erase(0, count);
    return bytes;
}

std::optional<std::string> FtpClient::read_until_eof(Millis timeout) {
    Deadline deadline(timeout);
    while (!at_eof_) {
        if (!fill(deadline, "the end of the connection")) return std::nullopt;
    }
    return std::exchange(received_, std::string());
}

std::optional<Fd> FtpClient::open_passive(Millis timeout) {
    Reply reply = command("PASV", timeout);
    std::optional<Endpoint> endpoint = parse_pasv_reply(reply);
    if (!endpoint) {
        ADD_FAILURE() << "PASV: expected a 227 reply with an address, got " << reply;
        return std::nullopt;
    }
    return connect_to(*endpoint, timeout);
}

std::optional<Fd> FtpClient::open_extended_passive(Millis timeout) {
    Reply reply = command("EPSV", timeout);
    std::optional<std::uint16_t> port = parse_epsv_reply(reply);
    if (!port) {
        ADD_FAILURE() << "EPSV: expected a 229 reply with a port, got " << reply;
        return std::nullopt;
    }
    Endpoint endpoint = peer_endpoint();
    endpoint.port = *port;
    return connect_to(endpoint, timeout);
}

std::optional<ActiveListener> ActiveListener::open(const FtpClient& control) {
    Endpoint endpoint = control.local_endpoint();
    endpoint.port = 0;
    std::optional<Fd> listener = listen_on(endpoint);
    if (!listener) return std::nullopt;
    return ActiveListener(std::move(*listener), endpoint);
}

std::string ActiveListener::port_argument() const {
    std::string argument = endpoint_.address;
    for (char& c : argument) {
        if (c == '.') c = ',';
    }
    return argument + "," + std::to_string(endpoint_.port / 256) + "," +
           std::to_string(endpoint_.port % 256);
}

std::string ActiveListener::eprt_argument() const {
    return std::string(endpoint_.family == AF_INET6 ? "|2|" : "|1|") + endpoint_.address + "|" +
           std::to_string(endpoint_.port) + "|";
}

std::optional<Fd> ActiveListener::accept(Millis timeout) {
    if (!wait_ready(listener_.get(), POLLIN, Deadline(timeout))) {
        ADD_FAILURE() << "active data connection: nobody connected to " << describe(endpoint_)
                      << " within " << timeout.count() << " ms";
        return std::nullopt;
    }
    Fd connection(accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!connection.valid()) {
        ADD_FAILURE() << "accept: " << std::strerror(errno);
        return std::nullopt;
    }
    return connection;
}
