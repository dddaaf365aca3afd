// Active and passive data connections, driven through the grammar in-process with
// real loopback sockets standing in for the client's side.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <regex>

#include "session_fixture.h"
#include "transfer/data_connection.h"

namespace {

SocketAddress make_address(const char* host, int port) {
    SocketAddress address;
    if (std::strchr(host, ':') != nullptr) {
        address.in6.sin6_family = AF_INET6;
        inet_pton(AF_INET6, host, &address.in6.sin6_addr);
        address.length = sizeof(sockaddr_in6);
    } else {
        address.in4.sin_family = AF_INET;
        inet_pton(AF_INET, host, &address.in4.sin_addr);
        address.length = sizeof(sockaddr_in);
    }
    address.set_port(htons(static_cast<in_port_t>(port)));
    return address;
}

// A loopback listener of the test's own, on a port the system picks.
struct Listener {
    int fd = -1;
    int port = 0;
    explicit Listener(int family = AF_INET) {
        fd = socket(family, SOCK_STREAM, 0);
        SocketAddress address = make_address(family == AF_INET ? "127.0.0.1" : "::1", 0);
        bind(fd, &address.sa, address.length);
        listen(fd, 4);
        address.length = sizeof address.storage;
        getsockname(fd, &address.sa, &address.length);
        port = ntohs(address.port());
    }
    ~Listener() { close(fd); }
};

int connect_to(const char* host, int port) {
    SocketAddress address = make_address(host, port);
    int fd = socket(address.family(), SOCK_STREAM, 0);
    if (connect(fd, &address.sa, address.length) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

std::string read_all(int fd) {
    std::string got;
    char buffer[4096];
    for (int rounds = 0; rounds < 1000; ++rounds) {
        pollfd p{.fd = fd, .events = POLLIN, .revents = 0};
        if (poll(&p, 1, 5000) <= 0) break;
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
}

bool starts_with(const std::string& text, const std::string& prefix) {
    return text.starts_with(prefix);
}

// The port announced by a 227, 228 or 229 reply.
int announced_port(const std::string& reply) {
    std::smatch m;
    if (std::regex_search(reply, m, std::regex(R"(\(\|\|\|(\d+)\|\))"))) return std::stoi(m[1]);
    if (std::regex_search(reply, m, std::regex(R"(,(\d+),(\d+)\))")))
        return std::stoi(m[1]) * 256 + std::stoi(m[2]);
    return -1;
}

class DataConnectionTest : public SessionTest {
protected:
    void SetUp() override {
        SessionTest::SetUp();
        use_control_connection("127.0.0.1", "127.0.0.1");
        log_in();
    }
    void TearDown() override {
        if (data_channel.pasv_fd != -1) close(data_channel.pasv_fd);
        data_channel.pasv_fd = -1;
        SessionTest::TearDown();
    }
    void use_control_connection(const char* client, const char* server) {
        remote_addr = make_address(client, 40021);
        local_addr = make_address(server, 2121);
    }
    // Open the data connection as a transfer would, write `text`, close it.
    std::string send_through_data_connection(const char* name, long long size, const char* text) {
        FILE* stream = open_data_connection(name, size, "w");
        std::string reply = drain();
        if (stream != nullptr) {
            std::fputs(text, stream);
            close_data_connection(stream);
        }
        return reply;
    }
};

TEST_F(DataConnectionTest, PassiveTransferFromPasvToClose) {
    std::string reply = run("PASV");
    ASSERT_PRED2(starts_with, reply, "227 Entering Passive Mode (127,0,0,1,") << reply;
    int client = connect_to("127.0.0.1", announced_port(reply));
    ASSERT_GE(client, 0);
    EXPECT_EQ(send_through_data_connection("file.txt", 1, "x"),
              "150 Opening ASCII mode data connection for 'file.txt' (1 byte).\r\n");
    EXPECT_EQ(read_all(client), "x");
    close(client);
    EXPECT_EQ(data_channel.pasv_fd, -1);
    EXPECT_EQ(data_channel.data_fd, -1);
    EXPECT_EQ(transfer_size_expected, 1);
}

TEST_F(DataConnectionTest, OpeningReplyNamesTypeAndSize) {
    struct Case {
        const char* type;
        long long size;
        const char* reply;
    } cases[] = {
        {"TYPE A", -1, "150 Opening ASCII mode data connection for 'f'.\r\n"},
        {"TYPE I", 0, "150 Opening BINARY mode data connection for 'f' (0 bytes).\r\n"},
        {"TYPE L 8", 2, "150 Opening BINARY mode data connection for 'f' (2 bytes).\r\n"},
    };
    for (const Case& c : cases) {
        run(c.type);
        int client = connect_to("127.0.0.1", announced_port(run("EPSV")));
        EXPECT_EQ(send_through_data_connection("f", c.size, ""), c.reply) << c.type;
        close(client);
    }
}

TEST_F(DataConnectionTest, PassivePortsRotateThroughTheRange) {
    // Four neighbouring ports that are free right now (other tests run alongside).
    auto all_free = [](int first) {
        for (int port = first; port < first + 4; ++port) {
            int fd = socket(AF_INET, SOCK_STREAM, 0);
            SocketAddress address = make_address("127.0.0.1", port);
            bool bound = bind(fd, &address.sa, address.length) == 0;
            close(fd);
            if (!bound) return false;
        }
        return true;
    };
    int low = 0;
    for (int attempt = 0; attempt < 50 && low == 0; ++attempt) {
        int candidate = 20000 + static_cast<int>((getpid() * 7919 + attempt * 104729) % 30000);
        if (all_free(candidate)) low = candidate;
    }
    ASSERT_NE(low, 0) << "no four free neighbouring ports";
    curclass.portmin = low;
    curclass.portmax = low + 3;
    data_channel.last_passive_port = low + 1;
    int expected[] = {low + 2, low + 3, low, low + 1};
    for (int port : expected) EXPECT_EQ(announced_port(run("PASV")), port);
}

TEST_F(DataConnectionTest, FirstPortOfARangeIsInTheRange) {
    curclass.portmin = 50000;
    curclass.portmax = 50003;
    int port = announced_port(run("PASV"));
    EXPECT_GE(port, 50000);
    EXPECT_LE(port, 50003);
}

// Somebody else on the network connects to the listener first: with the port
// check on, that connection is refused, not handed the client's data.
TEST_F(DataConnectionTest, PassiveConnectionFromAnotherHostIsRefused) {
    use_control_connection("127.0.0.2", "127.0.0.1");
    int thief = connect_to("127.0.0.1", announced_port(run("PASV")));
    ASSERT_GE(thief, 0);
    EXPECT_EQ(send_through_data_connection("secret", -1, "data"), "425 Can't open data connection.\r\n");
    EXPECT_EQ(read_all(thief), "");
    close(thief);
    EXPECT_EQ(data_channel.pasv_fd, -1);

    curclass.flags &= ~class_flag::checkportcmd;
    int other = connect_to("127.0.0.1", announced_port(run("PASV")));
    ASSERT_GE(other, 0);
    EXPECT_EQ(send_through_data_connection("public", -1, "data"),
              "150 Opening ASCII mode data connection for 'public'.\r\n");
    EXPECT_EQ(read_all(other), "data");
    close(other);
}

TEST_F(DataConnectionTest, ExhaustedRangeGives425) {
    // A range of two ports, both held by the test's own sockets.
    Listener a;
    curclass.portmin = a.port;
    curclass.portmax = a.port + 1;
    int holder = socket(AF_INET, SOCK_STREAM, 0);
    SocketAddress address = make_address("127.0.0.1", a.port + 1);
    bool held = bind(holder, &address.sa, address.length) == 0;
    if (!held) {
        close(holder);
        GTEST_SKIP() << "port next to a fresh one is busy";
    }
    const std::string busy =
        "425 Can't open passive connection: Resource temporarily unavailable.\r\n";
    EXPECT_EQ(run("PASV"), busy);
    EXPECT_EQ(run("LPSV"), busy);
    EXPECT_EQ(run("EPSV"), busy);
    EXPECT_EQ(data_channel.pasv_fd, -1);
    close(holder);
}

TEST_F(DataConnectionTest, AdvertisedAddressOnlyInPasvAndLpsv) {
    curclass.advertise = make_address("198.51.100.1", 0);
    EXPECT_PRED2(starts_with, run("PASV"), "227 Entering Passive Mode (198,51,100,1,");
    EXPECT_PRED2(starts_with, run("LPSV"), "228 Entering Long Passive Mode (4,4,198,51,100,1,2,");
    EXPECT_PRED2(starts_with, run("EPSV"), "229 Entering Extended Passive Mode (");
}

TEST_F(DataConnectionTest, ExtendedPassiveProtocolNumbers) {
    EXPECT_EQ(run("EPSV 2"), "522 Network protocol mismatch, use (1)\r\n");
    EXPECT_EQ(run("EPSV 7"), "522 Network protocol mismatch, use (1)\r\n");
    EXPECT_PRED2(starts_with, run("EPSV 1"), "229 Entering Extended Passive Mode (|||");
    int listener = data_channel.pasv_fd;
    run("EPSV 2");  // a mismatch leaves the listener alone
    EXPECT_EQ(data_channel.pasv_fd, listener);
}

TEST_F(DataConnectionTest, PassiveModesOnAnIpv6ControlConnection) {
    use_control_connection("::1", "::1");
    EXPECT_PRED2(starts_with, run("PASV"), "425 Can't open passive connection: ");
    std::string lpsv = run("LPSV");
    EXPECT_PRED2(starts_with, lpsv, "228 Entering Long Passive Mode (6,16,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,1,2,")
        << lpsv;
    EXPECT_EQ(run("EPSV 1"), "522 Network protocol mismatch, use (2)\r\n");
    int client = connect_to("::1", announced_port(run("EPSV")));
    ASSERT_GE(client, 0);
    EXPECT_EQ(send_through_data_connection("six", -1, "v6"),
              "150 Opening ASCII mode data connection for 'six'.\r\n");
    EXPECT_EQ(read_all(client), "v6");
    close(client);
}

struct PortCheckCase {
    const char* client;      // control connection peer
    bool checkportcmd;
    const char* line;
    const char* reply;
};

const PortCheckCase port_check_cases[] = {
    {"127.0.0.1", true, "EPRT |1|127.0.0.1|6000|", "200 EPRT command successful.\r\n"},
    {"127.0.0.2", true, "EPRT |1|127.0.0.1|6000|", "500 Illegal EPRT command rejected\r\n"},
    {"127.0.0.2", false, "EPRT |1|127.0.0.1|6000|", "200 EPRT command successful.\r\n"},
    {"127.0.0.1", true, "EPRT x1x127.0.0.1x6000x", "200 EPRT command successful.\r\n"},
    {"127.0.0.1", true, "EPRT |1|127.0.0.1|6000", "500 Invalid argument, rejected.\r\n"},
    {"127.0.0.1", true, "EPRT |1|localhost|6000|", "500 Invalid argument, rejected.\r\n"},
    {"127.0.0.1", true, "EPRT |1|127.0.0.1|60x|", "500 Invalid argument, rejected.\r\n"},
    {"127.0.0.1", true, "EPRT |3|127.0.0.1|6000|", "522 Protocol not supported, use (1)\r\n"},
    {"127.0.0.1", true, "EPRT |2|::1|6000|", "500 Illegal EPRT command rejected\r\n"},
    {"127.0.0.1", true, "PORT 127,0,0,1,3,255", "500 Illegal PORT command rejected\r\n"},
    {"127.0.0.1", true, "PORT 127,0,0,1,4,0", "200 PORT command successful.\r\n"},
    {"127.0.0.1", false, "PORT 127,0,0,1,3,255", "200 PORT command successful.\r\n"},
    {"127.0.0.1", true, "LPRT 4,4,127,0,0,1,2,23,112", "200 LPRT command successful.\r\n"},
    {"127.0.0.1", true, "LPRT 4,4,127,0,0,1,3,23,112", "500 Illegal LPRT command rejected\r\n"},
    {"127.0.0.1", true, "LPRT 4,16,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,1,2,23,112",
     "500 Illegal LPRT command rejected\r\n"},
    {"::1", true, "PORT 127,0,0,1,23,112", "500 Illegal PORT command rejected\r\n"},
    {"::1", true, "LPRT 6,16,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,1,2,23,112",
     "200 LPRT command successful.\r\n"},
    {"::1", true, "EPRT |2|::1|6000|", "200 EPRT command successful.\r\n"},
    {"::1", true, "EPRT |1|127.0.0.1|6000|", "500 Illegal EPRT command rejected\r\n"},
};

TEST_F(DataConnectionTest, ActiveDestinationsAreChecked) {
    for (const PortCheckCase& c : port_check_cases) {
        reset_session_state();
        log_in();
        use_control_connection(c.client, std::strchr(c.client, ':') ? "::1" : "127.0.0.1");
        if (!c.checkportcmd) curclass.flags &= ~class_flag::checkportcmd;
        EXPECT_EQ(run(c.line), c.reply) << c.line << " from " << c.client;
        bool accepted = c.reply[0] == '2';
        EXPECT_EQ(data_channel.use_default_dest, !accepted) << c.line;
    }
}

TEST_F(DataConnectionTest, LprtSetsTheSameDestinationAsPort) {
    run("PORT 127,0,0,1,23,112");
    SocketAddress from_port = data_channel.active_dest;
    run("LPRT 4,4,127,0,0,1,2,23,112");
    EXPECT_EQ(std::memcmp(&from_port.storage, &data_channel.active_dest.storage, sizeof(sockaddr_in)), 0);
    EXPECT_EQ(ntohs(data_channel.active_dest.port()), 6000);
}

TEST_F(DataConnectionTest, EpsvAllShutsOutTheOtherModes) {
    EXPECT_EQ(run("EPSV ALL"), "200 EPSV ALL command successful.\r\n");
    EXPECT_EQ(run("EPSV ALL"), "200 EPSV ALL command successful.\r\n");
    EXPECT_EQ(run("PORT 127,0,0,1,23,112"), "501 PORT disallowed after EPSV ALL\r\n");
    EXPECT_EQ(run("EPRT |1|127.0.0.1|6000|"), "501 EPRT disallowed after EPSV ALL\r\n");
    EXPECT_EQ(run("PASV"), "501 PASV disallowed after EPSV ALL\r\n");
    EXPECT_EQ(run("LPSV"), "501 LPSV disallowed after EPSV ALL\r\n");
    int client = connect_to("127.0.0.1", announced_port(run("EPSV")));
    ASSERT_GE(client, 0);
    EXPECT_EQ(send_through_data_connection("f", -1, "ok"),
              "150 Opening ASCII mode data connection for 'f'.\r\n");
    EXPECT_EQ(read_all(client), "ok");
    close(client);
}

TEST_F(DataConnectionTest, AcceptedPortAbandonsTheListenerRefusedDoesNot) {
    run("PASV");
    int listener = data_channel.pasv_fd;
    ASSERT_NE(listener, -1);
    run("PORT 127,0,0,1,3,255");  // refused: port below 1024
    EXPECT_EQ(data_channel.pasv_fd, listener);
    run("PORT 127,0,0,1,23,112");
    EXPECT_EQ(data_channel.pasv_fd, -1);
}

TEST_F(DataConnectionTest, ListenerIsUsedBeforeAStoredDestination) {
    Listener active;
    run("PORT 127,0,0," + std::to_string(1) + "," + std::to_string(active.port / 256) + "," +
        std::to_string(active.port % 256));
    int client = connect_to("127.0.0.1", announced_port(run("PASV")));
    ASSERT_GE(client, 0);
    send_through_data_connection("f", -1, "passive");
    EXPECT_EQ(read_all(client), "passive");
    close(client);
    EXPECT_FALSE(data_channel.use_default_dest);  // the PORT destination still waits
}

TEST_F(DataConnectionTest, ActiveConnectionGoesToPortOnceThenToTheControlPeer) {
    Listener destination;
    Listener control_peer;
    data_port_option = 0;
    remote_addr = make_address("127.0.0.1", control_peer.port);
    // The data port is the control port minus one; pick one the system just freed.
    Listener probe;
    int free_port = probe.port;
    close(probe.fd);
    probe.fd = -1;
    local_addr = make_address("127.0.0.1", free_port + 1);
    run("PORT 127,0,0,1," + std::to_string(destination.port / 256) + "," +
        std::to_string(destination.port % 256));
    EXPECT_EQ(send_through_data_connection("one", -1, "first"),
              "150 Opening ASCII mode data connection for 'one'.\r\n");
    int first = accept(destination.fd, nullptr, nullptr);
    EXPECT_EQ(read_all(first), "first");
    close(first);
    EXPECT_EQ(ntohs(data_channel.active_local_addr.port()), free_port);

    EXPECT_EQ(send_through_data_connection("two", -1, "second"),
              "150 Opening ASCII mode data connection for 'two'.\r\n");
    int second = accept(control_peer.fd, nullptr, nullptr);
    EXPECT_EQ(read_all(second), "second");
    close(second);
}

TEST_F(DataConnectionTest, RefusedConnectIsNotRetried) {
    Listener closed_soon;
    int port = closed_soon.port;
    close(closed_soon.fd);
    closed_soon.fd = -1;
    data_port_option = 0;
    Listener probe;
    local_addr = make_address("127.0.0.1", probe.port + 1);
    close(probe.fd);
    probe.fd = -1;
    run("PORT 127,0,0,1," + std::to_string(port / 256) + "," + std::to_string(port % 256));
    FILE* stream = open_data_connection("f", -1, "w");
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(drain(), "425 Can't build data connection: Connection refused.\r\n");
    EXPECT_EQ(data_channel.data_fd, -1);
}

TEST_F(DataConnectionTest, DataPortOptionAndDroppedPrivileges) {
    Listener destination;
    Listener probe;
    data_port_option = probe.port;
    close(probe.fd);
    probe.fd = -1;
    std::string port_line = "PORT 127,0,0,1," + std::to_string(destination.port / 256) + "," +
                            std::to_string(destination.port % 256);
    run(port_line);
    send_through_data_connection("f", -1, "");
    EXPECT_EQ(ntohs(data_channel.active_local_addr.port()), probe.port);
    close(accept(destination.fd, nullptr, nullptr));

    // Without root a control port of 21 would give data port 20: any port instead.
    data_port_option = 0;
    drop_privileges = 1;
    local_addr = make_address("127.0.0.1", 21);
    run(port_line);
    send_through_data_connection("f", -1, "");
    EXPECT_EQ(ntohs(data_channel.active_local_addr.port()), 0);
    close(accept(destination.fd, nullptr, nullptr));
    drop_privileges = 0;
}

}  // namespace
