// The control connection: the command-line limit, Telnet negotiation, the ends of a
// session (end of input, QUIT, the idle time-out, signals).
#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include "harness/harness.h"

namespace {

constexpr const char* greeting = "220 ftp.wharfd.test FTP server ready.\r\n";
constexpr const char* noop_reply = "200 NOOP command successful.\r\n";
constexpr const char* goodbye = "221 You could at least say goodbye.\r\n";

// A server with the short greeting, already read.
std::unique_ptr<ServerProcess> start_greeted(const TestSite& site, std::vector<std::string> arguments = {}) {
    arguments.insert(arguments.begin(), {"-V", "-"});
    auto server = ServerProcess::start(site, {.arguments = arguments});
    if (server != nullptr) {
        EXPECT_EQ(server->client().read_reply().raw, greeting);
    }
    return server;
}

// HELP with an argument of `argument_length` bytes, ending in `line_end`.
std::string help_line(std::size_t argument_length, const char* line_end) {
    return "HELP " + std::string(argument_length, 'x') + line_end;
}

struct LengthCase {
    const char* label;
    std::size_t argument_length;
    const char* line_end;
    bool accepted;
};

// The longest line is 510 bytes, its line end included.
const LengthCase length_cases[] = {
    {"Exactly510WithCrLf", 503, "\r\n", true},
    {"Exactly510WithLf", 504, "\n", true},
    {"Of511EndingInItsLineFeed", 504, "\r\n", false},
    {"Of512", 505, "\r\n", false},
    {"Of511WithLf", 505, "\n", false},
    {"OfTwoThousand", 1993, "\r\n", false},
};

class LineLength : public testing::TestWithParam<LengthCase> {};

// The next line gets exactly its own reply: the rest of an over-long line is dropped,
// never parsed as a command of its own.
TEST_P(LineLength, LongestLineIsAcceptedLongerOnesRefused) {
    const LengthCase& c = GetParam();
    std::string line = help_line(c.argument_length, c.line_end);
    TestSite site;
    auto server = start_greeted(site);
    ASSERT_NE(server, nullptr);
    FtpClient& client = server->client();
    ASSERT_TRUE(client.send_raw(line + "NOOP\r\n"));
    std::string expected = c.accepted ? "502 Unknown command '" + std::string(c.argument_length, 'x') + "'.\r\n"
                                      : "500 Command too long.\r\n";
    EXPECT_EQ(client.read_reply().raw, expected) << "line of " << line.size() << " bytes";
    EXPECT_EQ(client.read_reply().raw, noop_reply);
}

INSTANTIATE_TEST_SUITE_P(Lines, LineLength, testing::ValuesIn(length_cases), CaseLabel());

struct TelnetCase {
    const char* label;
    std::string sent;
    std::string answer;  // Telnet bytes expected before the reply
    std::string reply;
};

const TelnetCase telnet_cases[] = {
    {"WillIsRefusedWithDont", "\xff\xfb\x01NOOP\r\n", "\xff\xfe\x01", noop_reply},
    {"WontIsAnsweredWithDont", "\xff\xfc\x03NOOP\r\n", "\xff\xfe\x03", noop_reply},
    {"DoIsRefusedWithWont", "\xff\xfd\x18NOOP\r\n", "\xff\xfc\x18", noop_reply},
    {"DontIsAnsweredWithWont", "\xff\xfe\x05NOOP\r\n", "\xff\xfc\x05", noop_reply},
    {"InsideTheCommandWord", "NO\xff\xfb\x1fOP\r\n", "\xff\xfe\x1f", noop_reply},
    {"TwoRequests", "\xff\xfb\x01\xff\xfd\x01NOOP\r\n", "\xff\xfe\x01\xff\xfc\x01", noop_reply},
    {"OtherCommandsAreDropped", "NO\xff\xf1OP\xff\xf4\r\n", "", noop_reply},
    {"DoubledIacIsOneByte", "HELP \xff\xff\r\n", "", "502 Unknown command '\xff'.\r\n"},
};

class Telnet : public testing::TestWithParam<TelnetCase> {};

TEST_P(Telnet, OptionsAreRefusedAndKeptOutOfTheCommand) {
    const TelnetCase& c = GetParam();
    TestSite site;
    auto server = start_greeted(site);
    ASSERT_NE(server, nullptr);
    FtpClient& client = server->client();
    ASSERT_TRUE(client.send_raw(c.sent));
    if (!c.answer.empty()) {
        EXPECT_EQ(client.read_bytes(c.answer.size()), c.answer);
    }
    EXPECT_EQ(client.read_reply().raw, c.reply);
}

INSTANTIATE_TEST_SUITE_P(Sequences, Telnet, testing::ValuesIn(telnet_cases), CaseLabel());

struct EndCase {
    const char* label;
    const char* sent;        // then the client stops writing when `close_input`
    bool close_input;
    std::string replies;     // everything the client receives up to the end
};

const EndCase end_cases[] = {
    {"EndOfInput", "", true, goodbye},
    {"EndOfInputAfterALine", "NOOP\r\n", true, std::string(noop_reply) + goodbye},
    // A last line without its line feed is still parsed: with a carriage return it
    // is a whole command, without one the lexer finds no line end.
    {"LastLineWithoutLineFeed", "NOOP\r", true, std::string(noop_reply) + goodbye},
    {"LastLineWithoutLineEnd", "HELP NOOP", true,
     std::string("500 'HELP NOOP': command not understood.\r\n") + goodbye},
    {"Quit", "QUIT\r\n", false, "221 Thank you for using the FTP service on ftp.wharfd.test.\r\n"},
    {"LinesAfterQuitAreNotRead", "QUIT\r\nNOOP\r\n", false,
     "221 Thank you for using the FTP service on ftp.wharfd.test.\r\n"},
};

class SessionEnd : public testing::TestWithParam<EndCase> {};

TEST_P(SessionEnd, EndsWithStatusZero) {
    const EndCase& c = GetParam();
    TestSite site;
    auto server = start_greeted(site);
    ASSERT_NE(server, nullptr);
    FtpClient& client = server->client();
    ASSERT_TRUE(client.send_raw(c.sent));
    if (c.close_input) {
        ASSERT_TRUE(client.shutdown_write());
    }
    EXPECT_EQ(client.read_until_eof(), c.replies);
    EXPECT_EQ(server->wait_exit(), ExitStatus::exit_code(0));
}

INSTANTIATE_TEST_SUITE_P(Ways, SessionEnd, testing::ValuesIn(end_cases), CaseLabel());

// SIGALRM is what the idle alarm delivers: the pre-login time-out is 300 seconds.
TEST(IdleTimeout, ClosesWithTheTimeoutReply) {
    TestSite site;
    auto server = start_greeted(site, {"-l"});
    ASSERT_NE(server, nullptr);
    ASSERT_TRUE(server->wait_until_reading());
    ASSERT_TRUE(server->send_signal(SIGALRM));
    EXPECT_EQ(server->client().read_until_eof(),
              "421 Timeout (300 seconds): closing control connection.\r\n");
    EXPECT_EQ(server->wait_exit(), ExitStatus::exit_code(1));
    EXPECT_TRUE(server->log().wait_for("User unknown timed out after 300 seconds")) << server->log().dump();
}

struct SignalCase {
    const char* label;
    int signal_number;
    std::string logged;
};

const SignalCase signal_cases[] = {
    {"Term", SIGTERM, "got signal " + std::to_string(SIGTERM)},
    {"Hup", SIGHUP, "got signal " + std::to_string(SIGHUP)},
    {"Int", SIGINT, "got signal " + std::to_string(SIGINT)},
    {"Quit", SIGQUIT, "got signal " + std::to_string(SIGQUIT)},
    {"Pipe", SIGPIPE, "lost connection"},
};

class FatalSignal : public testing::TestWithParam<SignalCase> {};

TEST_P(FatalSignal, EndsTheSessionWithoutReply) {
    const SignalCase& c = GetParam();
    TestSite site;
    auto server = start_greeted(site, {"-d"});
    ASSERT_NE(server, nullptr);
    ASSERT_TRUE(server->wait_until_reading());
    ASSERT_TRUE(server->send_signal(c.signal_number));
    EXPECT_EQ(server->client().read_until_eof(), "");
    EXPECT_EQ(server->wait_exit(), ExitStatus::exit_code(1));
    EXPECT_TRUE(server->log().wait_for(c.logged)) << server->log().dump();
}

INSTANTIATE_TEST_SUITE_P(Signals, FatalSignal, testing::ValuesIn(signal_cases), CaseLabel());

}  // namespace
