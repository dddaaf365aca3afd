// What the server writes to syslog: debug lines for commands and replies, option
// warnings, the connection line; and the options that end the process at once.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <syslog.h>

#include <string>
#include <vector>

#include "harness/harness.h"

namespace {

using ::testing::Contains;
using ::testing::Each;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr const char* default_greeting = "220 ftp.wharfd.test FTP server (quorvel 20231001) ready.\r\n";

// The messages logged at `priority` from facility LOG_FTP.
std::vector<std::string> messages_at(SyslogCapture& log, int priority) {
    std::vector<std::string> texts;
    for (const SyslogLine& line : log.lines()) {
        if (line.priority == priority && line.facility == LOG_FTP) texts.push_back(line.message);
    }
    return texts;
}

// Ends the session with QUIT, so that everything the server logs has arrived.
void quit(ServerProcess& server) {
    EXPECT_EQ(server.client().command("QUIT").code, 221);
    EXPECT_EQ(server.wait_exit(), ExitStatus::exit_code(0));
}

struct CommandLogCase {
    const char* label;
    const char* line;
    const char* logged;
    const char* secret;  // text that must appear nowhere in the log, or null
};

const CommandLogCase command_log_cases[] = {
    // Before login the class type is REAL: the password is hidden.
    {"PassOfARealUser", "PASS secret-word", "command: PASS ???", "secret-word"},
    {"PassInLowerCase", "pass secret-word", "command: pass ???", "secret-word"},
    {"Acct", "ACCT account-word", "command: ACCT ???", "account-word"},
    {"OtherLinesWhole", "HELP  x y ", "command: HELP  x y ", nullptr},
};

class CommandLog : public testing::TestWithParam<CommandLogCase> {};

TEST_P(CommandLog, DebugLogShowsTheLineWithoutSecrets) {
    const CommandLogCase& c = GetParam();
    TestSite site;
    auto server = ServerProcess::start(site, {.arguments = {"-d"}});
    ASSERT_NE(server, nullptr);
    EXPECT_EQ(server->client().read_reply().raw, default_greeting);
    EXPECT_TRUE(server->client().command(c.line).complete());
    quit(*server);
    EXPECT_THAT(messages_at(server->log(), LOG_DEBUG), Contains(c.logged)) << server->log().dump();
    if (c.secret != nullptr) {
        EXPECT_THAT(server->log().messages(), Each(Not(HasSubstr(c.secret))));
    }
}

INSTANTIATE_TEST_SUITE_P(Lines, CommandLog, testing::ValuesIn(command_log_cases), CaseLabel());

// Every line that send_reply writes is logged as "<--- " and the line; lines of a
// multi-line reply included.
TEST(ReplyLog, DebugLogShowsEveryReplyLine) {
    TestSite site;
    auto server = ServerProcess::start(site, {.arguments = {"-d"}});
    ASSERT_NE(server, nullptr);
    FtpClient& client = server->client();
    std::vector<std::string> sent = client.read_reply().lines;
    for (const char* line : {"NOOP", "HELP", "BOGUS"}) {
        Reply reply = client.command(line);
        sent.push_back(reply.lines.front());
        sent.push_back(reply.lines.back());
    }
    quit(*server);
    std::vector<std::string> debug = messages_at(server->log(), LOG_DEBUG);
    for (const std::string& line : sent) EXPECT_THAT(debug, Contains("<--- " + line));
    EXPECT_THAT(debug, Contains("<--- 221 Thank you for using the FTP service on ftp.wharfd.test."));
}

TEST(ReplyLog, NothingWithoutDebugOption) {
    TestSite site;
    auto server = ServerProcess::start(site);
    ASSERT_NE(server, nullptr);
    EXPECT_EQ(server->client().read_reply().raw, default_greeting);
    EXPECT_TRUE(server->client().command("PASS secret-word").complete());
    quit(*server);
    EXPECT_EQ(server->log().messages(), std::vector<std::string>());
}

struct WarningCase {
    const char* label;
    std::vector<std::string> arguments;
    const char* warning;  // null: no warning at all
};

const WarningCase warning_cases[] = {
    {"DeprecatedTimeout", {"-t", "10"}, "-t has been deprecated in favour of wharfd.conf"},
    {"DeprecatedMaxTimeout", {"-T", "10"}, "-T has been deprecated in favour of wharfd.conf"},
    {"UnknownFlag", {"-Z"}, "unknown flag -Z ignored"},
    {"MissingNameArgument", {"-h"}, "unknown flag -h ignored"},
    {"DataPortTooLow", {"-P", "80"}, "Invalid dataport 80"},
    {"DataPortNotANumber", {"-P", "21x"}, "Invalid dataport 21x"},
    {"DataPortValid", {"-P", "2121"}, nullptr},
    {"SilentOption", {"-s"}, nullptr},
};

class OptionWarning : public testing::TestWithParam<WarningCase> {};

// The warning is the option's only effect: the session starts as with no options.
TEST_P(OptionWarning, IsLoggedAndTheSessionGoesOn) {
    const WarningCase& c = GetParam();
    TestSite site;
    auto server = ServerProcess::start(site, {.arguments = c.arguments});
    ASSERT_NE(server, nullptr);
    EXPECT_EQ(server->client().read_reply().raw, default_greeting);
    quit(*server);
    std::vector<std::string> expected;
    if (c.warning != nullptr) expected.emplace_back(c.warning);
    EXPECT_EQ(messages_at(server->log(), LOG_WARNING), expected) << server->log().dump();
}

INSTANTIATE_TEST_SUITE_P(Options, OptionWarning, testing::ValuesIn(warning_cases), CaseLabel());

struct EarlyExitCase {
    const char* label;
    std::vector<std::string> arguments;
};

const EarlyExitCase early_exit_cases[] = {
    {"AnonymousRootWithoutArgument", {"-a"}},
    {"CheckWithoutArgument", {"-C"}},
    {"AfterOtherOptions", {"-d", "-l", "-a"}},
};

class EarlyExit : public testing::TestWithParam<EarlyExitCase> {};

TEST_P(EarlyExit, MissingArgumentEndsWithoutGreeting) {
    TestSite site;
    auto server = ServerProcess::start(site, {.arguments = GetParam().arguments});
    ASSERT_NE(server, nullptr);
    EXPECT_EQ(server->client().read_until_eof(), "");
    EXPECT_EQ(server->wait_exit(), ExitStatus::exit_code(1));
}

INSTANTIATE_TEST_SUITE_P(Options, EarlyExit, testing::ValuesIn(early_exit_cases), CaseLabel());

struct ConnectionCase {
    const char* label;
    Connection connection;
    std::vector<std::string> arguments;
    const char* logged;  // null: no connection line
};

const ConnectionCase connection_cases[] = {
    {"Ipv4", Connection::ipv4, {"-l"}, "connection from ftp.wharfd.test to ftp.wharfd.test"},
    {"Ipv4Numeric", Connection::ipv4, {"-l", "-n"}, "connection from 127.0.0.1 to 127.0.0.1"},
    {"Ipv6", Connection::ipv6, {"-l"}, "connection from ftp6.wharfd.test to ftp6.wharfd.test"},
    {"Ipv6Numeric", Connection::ipv6, {"-l", "-n"}, "connection from ::1 to ::1"},
    {"Ipv4Mapped", Connection::ipv4_mapped, {"-l"}, "connection from ftp.wharfd.test to ftp.wharfd.test"},
    // The client is named by its IPv4 form, not "::ffff:127.0.0.1".
    {"Ipv4MappedNumeric", Connection::ipv4_mapped, {"-l", "-n"}, "connection from 127.0.0.1 to 127.0.0.1"},
    {"WithoutLogOption", Connection::ipv4, {"-n"}, nullptr},
};

class ConnectionLog : public testing::TestWithParam<ConnectionCase> {};

TEST_P(ConnectionLog, NamesClientAndServer) {
    const ConnectionCase& c = GetParam();
    TestSite site;
    auto server = ServerProcess::start(site, {.arguments = c.arguments, .connection = c.connection});
    ASSERT_NE(server, nullptr);
    EXPECT_EQ(server->client().read_reply().code, 220);
    quit(*server);
    std::vector<std::string> expected;
    if (c.logged != nullptr) expected.emplace_back(c.logged);
    EXPECT_EQ(messages_at(server->log(), LOG_INFO), expected) << server->log().dump();
}

INSTANTIATE_TEST_SUITE_P(Families, ConnectionLog, testing::ValuesIn(connection_cases), CaseLabel());

}  // namespace
