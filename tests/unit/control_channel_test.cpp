// The reply writer and the command-line reader.
#include "session_fixture.h"

namespace {

class ControlChannelTest : public SessionTest {};

TEST_F(ControlChannelTest, ReplyPrefixes) {
    send_reply(0, "%s", "abc");
    EXPECT_EQ(drain(), "    abc\r\n");
    send_reply(-214, "%s", "");
    EXPECT_EQ(drain(), "214-\r\n");
    send_reply(250, "done %d", 7);
    EXPECT_EQ(drain(), "250 done 7\r\n");
    EXPECT_EQ(transfer_counters.traffic_bytes_sent, 9 + 6 + 12);
    EXPECT_EQ(transfer_counters.traffic_bytes_total, 9 + 6 + 12);
}

TEST_F(ControlChannelTest, LongReplyIsCutTo2147Characters) {
    std::string text(5000, 'x');
    send_reply(200, "%s", text.c_str());
    std::string got = drain();
    ASSERT_EQ(got.size(), 2147u + 2u);
    EXPECT_EQ(got.substr(0, 4), "200 ");
    EXPECT_EQ(got.substr(2147), "\r\n");
}

std::string read_line_result(int& result) {
    result = read_command_line(command_line, command_read_size, control_in);
    return result == 0 ? std::string(command_line) : std::string();
}

TEST_F(ControlChannelTest, LineOfExactly510BytesFits) {
    std::string line = "HELP " + std::string(510 - 7, 'a') + "\r\n";
    ASSERT_EQ(line.size(), 510u);
    client_sends(line + "NOOP\r\n");
    int result = 0;
    EXPECT_EQ(read_line_result(result), line);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(read_line_result(result), "NOOP\r\n");
}

TEST_F(ControlChannelTest, LineOf511BytesIsTooLongAndDropped) {
    std::string line = "HELP " + std::string(511 - 7, 'a') + "\r\n";
    client_sends(line + "NOOP\r\n");
    int result = 0;
    read_line_result(result);
    EXPECT_EQ(result, -2);
    EXPECT_EQ(read_line_result(result), "NOOP\r\n");
    std::string much_longer = std::string(3000, 'b') + "\r\nSYST\r\n";
    client_sends(much_longer);
    read_line_result(result);
    EXPECT_EQ(result, -2);
    EXPECT_EQ(read_line_result(result), "SYST\r\n");
}

TEST_F(ControlChannelTest, TelnetOptionsAreRefused) {
    const std::string iac = "\xff";
    client_sends("NO" + iac + "\xfb\x01" + "OP" + iac + "\xfd\x03" + iac + iac + iac + "\xf1" +
                 "\r\n");
    int result = 0;
    EXPECT_EQ(read_line_result(result), "NOOP\xff\r\n");
    EXPECT_EQ(drain(), iac + "\xfe\x01" + iac + "\xfc\x03");
    // Every byte read counts, Telnet bytes included; the answers count as sent.
    EXPECT_EQ(transfer_counters.traffic_bytes_received, 16);
    EXPECT_EQ(transfer_counters.traffic_bytes_sent, 6);
}

TEST_F(ControlChannelTest, EndOfInputAfterAPartialLine) {
    client_sends("NOOP");
    client_closes();
    int result = 0;
    EXPECT_EQ(read_line_result(result), "NOOP");
    EXPECT_EQ(result, 0);
    read_line_result(result);
    EXPECT_EQ(result, -1);
}

TEST_F(ControlChannelTest, LoneIacBeforeTheEndIsKept) {
    client_sends("A\xff");
    client_closes();
    int result = 0;
    EXPECT_EQ(read_line_result(result), "A\xff");
}

TEST_F(ControlChannelTest, PendingLineComesFirst) {
    std::strcpy(pending_line, "NOOP\r\n");
    client_sends("SYST\r\n");
    int result = 0;
    EXPECT_EQ(read_line_result(result), "NOOP\r\n");
    EXPECT_EQ(pending_line[0], '\0');
    EXPECT_EQ(read_line_result(result), "SYST\r\n");

    // A pending line without its line feed is completed from the stream.
    std::strcpy(pending_line, "NO");
    client_sends("OP\r\n");
    EXPECT_EQ(read_line_result(result), "NOOP\r\n");
}

TEST_F(ControlChannelTest, CommandLoopAnswersTooLongAndEndOfInput) {
    client_sends(std::string(600, 'x') + "\r\nNOOP\r\n");
    client_closes();
    auto [output, status] = run_in_child([&] { command_loop(); });
    EXPECT_EQ(output,
              "500 Command too long.\r\n"
              "200 NOOP command successful.\r\n"
              "221 You could at least say goodbye.\r\n");
    EXPECT_EQ(status, 0);
}

TEST_F(ControlChannelTest, SecureZeroFills) {
    char secret[] = "password";
    secure_zero(secret, 0, sizeof secret);
    for (char c : secret) EXPECT_EQ(c, '\0');
}

}  // namespace
