// The server unchanged under real super-servers: systemd-socket-activate in inetd
// mode and socat's EXEC with nofork. Each hands every accepted connection to a new
// wharfd on its standard input and output.
//
// These tools run inside the site's world too (a private mount namespace, as the
// harness starts servers): anonymous logins need an `ftp` account, which the
// machine may not have, and a session writes pid files under /var/run, login
// records to wtmp and lines to syslog, none of which may reach the machine's own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "interop_fixture.h"

namespace {

// A port that was free a moment ago: bound with port 0, then released.
std::uint16_t free_port() {
    Endpoint endpoint{.family = AF_INET, .address = "127.0.0.1"};
    std::optional<Fd> probe = listen_on(endpoint);
    return probe ? endpoint.port : 0;
}

// True once /proc/net/tcp shows a socket listening on 127.0.0.1:<port>.
bool listening_on(std::uint16_t port) {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    char wanted[32];
    std::snprintf(wanted, sizeof wanted, "0100007F:%04X", port);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (local == wanted && state == "0A") return true;
    }
    return false;
}

struct ToolCase {
    std::string label;
    // The super-server's command line for `port`, serving `server` (the server's
    // command line as one string per word).
    std::vector<std::string> (*command)(std::uint16_t port, const std::vector<std::string>& server);
    friend void PrintTo(const ToolCase& c, std::ostream* out) { *out << c.label; }
};

std::vector<std::string> socket_activate(std::uint16_t port, const std::vector<std::string>& server) {
    std::vector<std::string> argv = {"/usr/bin/systemd-socket-activate", "--inetd", "--accept",
                                     "-l", "127.0.0.1:" + std::to_string(port), "--"};
    argv.insert(argv.end(), server.begin(), server.end());
    return argv;
}

std::vector<std::string> socat(std::uint16_t port, const std::vector<std::string>& server) {
    std::string exec = "EXEC:";
    for (std::size_t i = 0; i < server.size(); ++i) exec += (i > 0 ? " " : "") + server[i];
    return {"/usr/bin/socat", "TCP-LISTEN:" + std::to_string(port) + ",bind=127.0.0.1,reuseaddr,fork",
            exec + ",nofork"};
}

class UnderSuperServer : public Interop, public testing::WithParamInterface<ToolCase> {};

TEST_P(UnderSuperServer, ServesEveryConnection) {
    site.add_file("pub/small.txt", "line one\nline two\n");
    site.add_file("pub/big.bin", patterned(400000, 8));
    std::unique_ptr<SyslogCapture> log = SyslogCapture::open(site.file_path("tool-syslog"));
    ASSERT_NE(log, nullptr);
    std::string tool_output = site.file_path("tool-output");
    Fd output(open(tool_output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    ASSERT_TRUE(output.valid());

    std::uint16_t port = free_port();
    ASSERT_NE(port, 0);
    ServerOptions options{.arguments = {"-l"}};
    SiteCommand command{.argv = GetParam().command(port, server_arguments(site, options)),
                        .environment = server_environment(options),
                        .stdio = {-1, output.get(), output.get()},
                        .syslog_socket = log->path()};
    std::optional<SiteChild> tool = start_in_site(site, command);
    ASSERT_TRUE(tool);
    Deadline deadline(default_timeout);
    while (!listening_on(port) && !deadline.expired()) wait_ready(-1, 0, Deadline(Millis(10)));
    ASSERT_TRUE(listening_on(port)) << read_file(tool_output).value_or("");

    // Two clients at once: one server process for each connection.
    std::string base = "ftp://127.0.0.1:" + std::to_string(port);
    auto curl = [&](const std::string& path, const std::string& file) {
        return ClientCommand{.argv = {"curl", "-sS", "-v", "--connect-timeout", "5", "--max-time", "20",
                                      "-o", file, base + path}};
    };
    std::vector<ClientResult> results =
        run_clients(home, {curl("/pub/small.txt", "small.txt"), curl("/pub/big.bin", "big.bin")}, nullptr);
    for (const ClientResult& result : results) {
        EXPECT_TRUE(result.succeeded()) << result << read_file(tool_output).value_or("") << log->dump();
        EXPECT_NE(result.errors.find("< 220 ftp.wharfd.test FTP server (quorvel 20231001) ready.\r\n"),
                  std::string::npos)
            << result;
        EXPECT_NE(result.errors.find("< 230 Guest login ok, access restrictions apply.\r\n"), std::string::npos)
            << result;
    }
    EXPECT_EQ(read_file(home.work("small.txt")), "line one\nline two\n");
    EXPECT_EQ(checksum(read_file(home.work("big.bin")).value_or("")), checksum(patterned(400000, 8)));
    // Each session found its peer on descriptor 0 and logged the connection.
    auto connections = [&log] {
        int count = 0;
        for (const std::string& message : log->messages())
            count += message.find("connection from ") != std::string::npos;
        return count;
    };
    Deadline logged(default_timeout);
    while (connections() < 2 && !logged.expired()) wait_ready(-1, 0, Deadline(Millis(10)));
    EXPECT_EQ(connections(), 2) << log->dump();
    // The super-server itself keeps running for the next connection.
    EXPECT_EQ(tool->wait_exit(Millis(0)).kind, ExitStatus::running) << read_file(tool_output).value_or("");
}

INSTANTIATE_TEST_SUITE_P(Interop, UnderSuperServer,
                         testing::ValuesIn(std::vector<ToolCase>{
                             {"SystemdSocketActivate", socket_activate},
                             {"SocatExecNofork", socat},
                         }),
                         CaseLabel());

}  // namespace
