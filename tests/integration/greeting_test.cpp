// The session's start: the greeting and its server name, the welcome file, the
// nologin refusal, and the connection over each address family.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "harness/harness.h"

namespace {

// An expected name of "" stands for the platform's host name.
struct GreetingCase {
    const char* label;
    std::vector<std::string> arguments;
    Connection connection;
    std::string name;
    const char* version;  // null: the greeting without version
};

std::string host_name() {
    char name[300] = "";
    gethostname(name, sizeof name);
    return name;
}

const std::string long_name(300, 'n');

const GreetingCase greeting_cases[] = {
    {"Defaults", {}, Connection::ipv4, site_host_ipv4, "quorvel 20231001"},
    {"VersionDash", {"-V", "-"}, Connection::ipv4, site_host_ipv4, nullptr},
    {"VersionEmpty", {"-V", ""}, Connection::ipv4, site_host_ipv4, nullptr},
    {"VersionText", {"-V", "test 1.0"}, Connection::ipv4, site_host_ipv4, "test 1.0"},
    {"NameOption", {"-h", "ftp.example.org"}, Connection::ipv4, "ftp.example.org", "quorvel 20231001"},
    {"NameCutTo256", {"-h", long_name}, Connection::ipv4, long_name.substr(0, 256), "quorvel 20231001"},
    {"PlatformNameWinsAfterName", {"-h", "x", "-H"}, Connection::ipv4, "", "quorvel 20231001"},
    {"NameWinsAfterPlatformName", {"-H", "-h", "x"}, Connection::ipv4, "x", "quorvel 20231001"},
    {"Numeric", {"-n"}, Connection::ipv4, "127.0.0.1", "quorvel 20231001"},
    {"Ipv6", {}, Connection::ipv6, site_host_ipv6, "quorvel 20231001"},
    {"Ipv6Numeric", {"-n"}, Connection::ipv6, "::1", "quorvel 20231001"},
    {"Ipv4Mapped", {}, Connection::ipv4_mapped, site_host_ipv4, "quorvel 20231001"},
    // The local address is unmapped too: its numeric name is the IPv4 form.
    {"Ipv4MappedNumeric", {"-n"}, Connection::ipv4_mapped, "127.0.0.1", "quorvel 20231001"},
};

class Greeting : public testing::TestWithParam<GreetingCase> {};

// Greeted, then served: QUIT names the same server and ends the session normally.
TEST_P(Greeting, NamesTheServerAndServes) {
    const GreetingCase& c = GetParam();
    std::string name = c.name.empty() ? host_name() : c.name;
    TestSite site;
    auto server = ServerProcess::start(site, {.arguments = c.arguments, .connection = c.connection});
    ASSERT_NE(server, nullptr);
    FtpClient& client = server->client();

    std::string expected = c.version != nullptr
                               ? "220 " + name + " FTP server (" + c.version + ") ready.\r\n"
                               : "220 " + name + " FTP server ready.\r\n";
    EXPECT_EQ(client.read_reply().raw, expected);
    EXPECT_EQ(client.command("NOOP").raw, "200 NOOP command successful.\r\n");
    EXPECT_EQ(client.command("QUIT").raw, "221 Thank you for using the FTP service on " + name + ".\r\n");
    EXPECT_EQ(client.read_until_eof(), "");
    EXPECT_EQ(server->wait_exit(), ExitStatus::exit_code(0));
}

INSTANTIATE_TEST_SUITE_P(Options, Greeting, testing::ValuesIn(greeting_cases), CaseLabel());

struct WelcomeCase {
    const char* label;
    const char* content;  // null: no welcome file
    const char* expected;
};

const WelcomeCase welcome_cases[] = {
    {"Missing", nullptr, "220 ftp.wharfd.test FTP server ready.\r\n"},
    {"Lines", "Welcome to the test site.\n\nBe nice.\n",
     "220-\r\n    Welcome to the test site.\r\n    \r\n    Be nice.\r\n"
     "220 ftp.wharfd.test FTP server ready.\r\n"},
    {"NoFinalLineFeed", "one\ntwo",
     "220-\r\n    one\r\n    two\r\n220 ftp.wharfd.test FTP server ready.\r\n"},
    {"Empty", "", "220-\r\n220 ftp.wharfd.test FTP server ready.\r\n"},
};

class Welcome : public testing::TestWithParam<WelcomeCase> {};

TEST_P(Welcome, FileLinesPrecedeTheGreeting) {
    const WelcomeCase& c = GetParam();
    TestSite site;
    if (c.content != nullptr) {
        ASSERT_TRUE(site.write_etc("ftpwelcome", c.content));
    }
    auto server = ServerProcess::start(site, {.arguments = {"-V", "-"}});
    ASSERT_NE(server, nullptr);
    EXPECT_EQ(server->client().read_reply().raw, c.expected);
}

INSTANTIATE_TEST_SUITE_P(Files, Welcome, testing::ValuesIn(welcome_cases), CaseLabel());

// The refusal comes before the welcome file and before any command is read: the
// client sends nothing and still sees the whole answer and the end.
TEST(Nologin, RefusesTheSessionWithTheFilesText) {
    TestSite site;
    ASSERT_TRUE(site.write_etc("ftpwelcome", "Welcome.\n"));
    ASSERT_TRUE(site.write_nologin("Down for maintenance.\nBack at noon.\n"));
    auto server = ServerProcess::start(site);
    ASSERT_NE(server, nullptr);
    EXPECT_EQ(server->client().read_reply().raw,
              "530-\r\n    Down for maintenance.\r\n    Back at noon.\r\n530 System not available.\r\n");
    EXPECT_EQ(server->client().read_until_eof(), "");
    EXPECT_EQ(server->wait_exit(), ExitStatus::exit_code(0));
}

TEST(Nologin, AbsentFileLetsTheSessionIn) {
    TestSite site;
    ASSERT_TRUE(site.write_nologin("closed\n"));
    ASSERT_TRUE(site.remove_nologin());
    auto server = ServerProcess::start(site, {.arguments = {"-V", "-"}});
    ASSERT_NE(server, nullptr);
    EXPECT_EQ(server->client().read_reply().raw, "220 ftp.wharfd.test FTP server ready.\r\n");
}

}  // namespace
