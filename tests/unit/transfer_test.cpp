// RETR, STOR, APPE and STOU in-process over a passive data connection: contents in
// both types, restarts, unique names, size and rate limits, counters, xferlog.
#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <fstream>
#include <regex>
#include <sstream>

#include "session_fixture.h"

namespace {

int passive_port(const std::string& reply) {
    std::smatch m;
    if (!std::regex_search(reply, m, std::regex(R"(,(\d+),(\d+)\))"))) return -1;
    return std::stoi(m[1]) * 256 + std::stoi(m[2]);
}

class TransferTest : public SessionTest {
protected:
    void SetUp() override {
        SessionTest::SetUp();
        remote_addr = loopback(40000);
        local_addr = loopback(2121);
        log_in();
        char pattern[] = "/tmp/wharfd-transfer-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        if (data_channel.pasv_fd != -1) close(data_channel.pasv_fd);
        data_channel.pasv_fd = -1;
        std::string command = "rm -rf '" + dir_ + "'";
        EXPECT_EQ(std::system(command.c_str()), 0);
        transfer_log_fd = -1;
        transfer_log_to_file = false;
        SessionTest::TearDown();
    }

    std::string path(const std::string& name) const { return dir_ + "/" + name; }

    void write_file(const std::string& name, const std::string& content) {
        std::ofstream(path(name), std::ios::binary) << content;
    }
    std::string read_file(const std::string& name) {
        std::ifstream in(path(name), std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    // Connect the client's end of a fresh passive data connection.
    int open_passive() {
        int port = passive_port(run("PASV"));
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        SocketAddress address = loopback(port);
        if (connect(fd, &address.sa, address.length) < 0) {
            close(fd);
            return -1;
        }
        return fd;
    }

    // Download: the replies and the bytes the client received. A restart point is
    // sent right before the command, as REST must come just before it.
    std::pair<std::string, std::string> retrieve(const std::string& line, long long rest = 0) {
        int data = open_passive();
        if (rest != 0) run("REST " + std::to_string(rest));
        std::string replies = run(line);
        std::string content;
        char buffer[65536];
        bool opened = replies.starts_with("150 ");
        for (int rounds = 0; opened && data >= 0 && rounds < 10000; ++rounds) {
            pollfd p{.fd = data, .events = POLLIN, .revents = 0};
            if (poll(&p, 1, 2000) <= 0) break;
            ssize_t n = read(data, buffer, sizeof buffer);
            if (n <= 0) break;
            content.append(buffer, static_cast<std::size_t>(n));
        }
        if (data >= 0) close(data);
        return {replies, content};
    }

    // Upload: the client sends everything and closes before the server reads.
    std::string store(const std::string& line, const std::string& content, long long rest = 0) {
        int data = open_passive();
        if (rest != 0) run("REST " + std::to_string(rest));
        EXPECT_GE(data, 0);
        EXPECT_EQ(write(data, content.data(), content.size()), static_cast<ssize_t>(content.size()));
        shutdown(data, SHUT_WR);
        std::string replies = run(line);
        close(data);
        return replies;
    }

    std::string dir_;
};

TEST_F(TransferTest, RetrSendsBinaryFilesUnchanged) {
    std::string content("a\nb\r\n\0\xff", 7);
    write_file("f", content);
    run("TYPE I");
    auto [replies, got] = retrieve("RETR " + path("f"));
    EXPECT_EQ(replies, "150 Opening BINARY mode data connection for '" + path("f") +
                           "' (7 bytes).\r\n226 Transfer complete.\r\n");
    EXPECT_EQ(got, content);
    EXPECT_EQ(transfer_counters.data_bytes_sent, 7);
    EXPECT_EQ(transfer_counters.data_files_sent, 1);
    EXPECT_EQ(transfer_counters.transfers_sent, 1);
    EXPECT_EQ(transfer_bytes_done, 7);
}

TEST_F(TransferTest, RetrInAsciiTurnsLineFeedsIntoCrLf) {
    write_file("f", "ab\ncd\n\n");
    int data = open_passive();
    ASSERT_GE(data, 0);
    long long before = transfer_counters.traffic_bytes_sent;
    std::string replies = run("RETR " + path("f"));
    char buffer[64];
    ssize_t n = read(data, buffer, sizeof buffer);
    close(data);
    EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(std::max<ssize_t>(n, 0))), "ab\r\ncd\r\n\r\n");
    EXPECT_EQ(transfer_bytes_done, 7);                 // source bytes
    EXPECT_EQ(transfer_counters.data_bytes_sent, 10);  // bytes as sent
    EXPECT_EQ(transfer_counters.traffic_bytes_sent - before,
              10 + static_cast<long long>(replies.size()));
}

TEST_F(TransferTest, RetrRefusesWhatIsNotAPlainFile) {
    auto [dir_reply, nothing] = retrieve("RETR " + dir_);
    EXPECT_EQ(dir_reply, "550 " + dir_ + ": Not a plain file.\r\n");
    EXPECT_EQ(nothing, "");
    auto [missing_reply, nothing2] = retrieve("RETR " + path("missing"));
    EXPECT_EQ(missing_reply, "550 " + path("missing") + ": No such file or directory.\r\n");
    EXPECT_EQ(transfer_counters.transfers_sent, 0);
}

TEST_F(TransferTest, AsciiRestartCountsLineFeedsTwice) {
    write_file("f", "abc\ndef");
    struct Case {
        int offset;
        const char* expected;
    } cases[] = {{4, "def"}, {5, "def"}, {3, "\r\ndef"}, {1, "bc\r\ndef"}};
    for (const Case& c : cases) {
        auto [replies, got] = retrieve("RETR " + path("f"), c.offset);
        EXPECT_EQ(got, c.expected) << "REST " << c.offset;
        EXPECT_EQ(restart_offset, 0);
    }
    auto [replies, got] = retrieve("RETR " + path("f"), 100);
    EXPECT_EQ(replies, "550 " + path("f") + ": Invalid argument.\r\n");
}

TEST_F(TransferTest, BinaryRestartSeeks) {
    write_file("f", "0123456789");
    run("TYPE I");
    auto [replies, got] = retrieve("RETR " + path("f"), 6);
    EXPECT_EQ(got, "6789");
    // The opening reply still shows the whole file's size.
    EXPECT_NE(replies.find("(10 bytes)"), std::string::npos) << replies;
}

TEST_F(TransferTest, MappedWindowsSendTheWholeFile) {
    std::string content;
    for (int i = 0; i < 20000; ++i) content.push_back(static_cast<char>('a' + i % 26));
    write_file("big", content);
    write_file("empty", "");
    run("TYPE I");
    curclass.mmapsize = 4096;
    curclass.writesize = 1000;
    auto [replies, got] = retrieve("RETR " + path("big"));
    EXPECT_EQ(got, content);
    EXPECT_EQ(transfer_bytes_done, 20000);
    auto [empty_replies, empty] = retrieve("RETR " + path("empty"));
    EXPECT_EQ(empty_replies, "150 Opening BINARY mode data connection for '" + path("empty") +
                                 "' (0 bytes).\r\n226 Transfer complete.\r\n");
    EXPECT_EQ(empty, "");
}

// A window size that is not a whole number of pages, and a restart point inside
// a page: every window is still mapped at a page boundary.
TEST_F(TransferTest, MappedWindowsOfAnySizeAndRestartPoints) {
    std::string content;
    for (int i = 0; i < 30000; ++i) content.push_back(static_cast<char>(i * 13));
    write_file("big", content);
    run("TYPE I");
    curclass.mmapsize = 5000;
    auto [replies, got] = retrieve("RETR " + path("big"));
    EXPECT_EQ(replies.substr(replies.size() - 24), "226 Transfer complete.\r\n");
    EXPECT_TRUE(got == content);
    auto [restart_replies, rest] = retrieve("RETR " + path("big"), 100);
    EXPECT_TRUE(rest == content.substr(100)) << rest.size();
}

// The client goes away in the middle of a download: the transfer fails with 426,
// the session goes on, and the transfer log says the copy was incomplete.
TEST_F(TransferTest, ClientClosingTheDataConnectionMidDownload) {
    char log_name[] = "/tmp/wharfd-xferlog-XXXXXX";
    int log_fd = mkstemp(log_name);
    ASSERT_GE(log_fd, 0);
    transfer_log_fd = log_fd;
    transfer_log_to_file = true;
    write_file("huge", std::string(32 * 1024 * 1024, 'z'));
    run("TYPE I");
    int data = open_passive();
    ASSERT_GE(data, 0);
    // Nothing read and a reset instead of a close: the server's writes fail soon.
    linger reset{.l_onoff = 1, .l_linger = 0};
    setsockopt(data, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    shutdown(data, SHUT_RD);
    close(data);
    std::string replies = run("RETR " + path("huge"));
    EXPECT_TRUE(replies.starts_with("150 ")) << replies;
    EXPECT_NE(replies.find("\r\n426 Data connection: "), std::string::npos) << replies;
    EXPECT_EQ(replies.find("226"), std::string::npos) << replies;
    EXPECT_EQ(run("NOOP"), "200 NOOP command successful.\r\n");
    std::ifstream in(log_name);
    std::string record;
    std::getline(in, record);
    EXPECT_TRUE(record.ends_with(" i")) << record;
    close(log_fd);
    unlink(log_name);
}

TEST_F(TransferTest, DownloadRateIsLimitedPerSecond) {
    write_file("f", std::string(1500, 'r'));
    run("TYPE I");
    curclass.rateget = 1000;
    timeval start {};
    timeval end {};
    gettimeofday(&start, nullptr);
    auto [replies, got] = retrieve("RETR " + path("f"));
    gettimeofday(&end, nullptr);
    EXPECT_EQ(got.size(), 1500u);
    // The first 1000 bytes use up the budget: the rest of that second is slept out.
    double seconds = static_cast<double>(end.tv_sec - start.tv_sec) +
                     static_cast<double>(end.tv_usec - start.tv_usec) / 1e6;
    EXPECT_GE(seconds, 0.9);
}

TEST_F(TransferTest, StorCreatesTruncatesAndAppeAppends) {
    run("TYPE I");
    EXPECT_EQ(store("STOR " + path("up"), "first version"),
              "150 Opening BINARY mode data connection for '" + path("up") +
                  "'.\r\n226 Transfer complete.\r\n");
    EXPECT_EQ(read_file("up"), "first version");
    store("STOR " + path("up"), "v2");
    EXPECT_EQ(read_file("up"), "v2");
    store("APPE " + path("up"), "+more");
    EXPECT_EQ(read_file("up"), "v2+more");
    store("APPE " + path("new"), "fresh");
    EXPECT_EQ(read_file("new"), "fresh");
    EXPECT_EQ(transfer_counters.data_files_received, 4);
    EXPECT_EQ(transfer_counters.transfers_received, 4);
    EXPECT_EQ(transfer_counters.data_bytes_received, 13 + 2 + 5 + 5);
}

TEST_F(TransferTest, StouFindsTheFirstFreeNumber) {
    run("TYPE I");
    write_file("x", "0");
    write_file("x.1", "1");
    write_file("x.2", "2");
    EXPECT_EQ(store("STOU " + path("x"), "three"),
              "150 Opening BINARY mode data connection for '" + path("x.3") +
                  "'.\r\n226 Transfer complete (unique file name:" + path("x.3") + ").\r\n");
    EXPECT_EQ(read_file("x.3"), "three");
    EXPECT_EQ(read_file("x"), "0");
    std::string reply = store("STOU " + path("brand-new"), "n");
    EXPECT_NE(reply.find("226 Transfer complete (unique file name:" + path("brand-new") + ")."),
              std::string::npos);
    // A new name is used as it is, so a missing directory fails at the open.
    EXPECT_EQ(store("STOU " + path("nodir/x"), "n"),
              "553 " + path("nodir/x") + ": No such file or directory.\r\n");
}

TEST_F(TransferTest, BinaryRestartOverwritesFromTheOffset) {
    run("TYPE I");
    write_file("f", "0123456789");
    store("STOR " + path("f"), "ab", 3);
    EXPECT_EQ(read_file("f"), "012ab56789");
    EXPECT_EQ(store("STOR " + path("absent"), "ab", 3),
              "553 " + path("absent") + ": No such file or directory.\r\n");
}

TEST_F(TransferTest, AsciiUploadConvertsLineEndsAndWarnsAboutBareLineFeeds) {
    std::string sent("a\r\nb\nc\r\0d\r", 10);
    std::string replies = store("STOR " + path("text"), sent);
    EXPECT_EQ(read_file("text"), "a\nb\nc\rd\r");
    EXPECT_EQ(replies, "150 Opening ASCII mode data connection for '" + path("text") +
                           "'.\r\n226-WARNING! 1 bare linefeeds received in ASCII mode\r\n"
                           "    File may not have transferred correctly.\r\n"
                           "226 Transfer complete.\r\n");
}

TEST_F(TransferTest, UploadSizeLimit) {
    curclass.maxfilesize = 10;
    std::string ascii_reply = store("STOR " + path("a"), std::string(25, 'x'));
    EXPECT_EQ(read_file("a"), std::string(10, 'x'));
    EXPECT_NE(ascii_reply.find("452 Error writing file: File too large.\r\n"), std::string::npos)
        << ascii_reply;
    EXPECT_EQ(ascii_reply.find("226"), std::string::npos);

    run("TYPE I");
    curclass.readsize = 4;
    std::string binary_reply = store("STOR " + path("b"), std::string(25, 'y'));
    EXPECT_EQ(read_file("b"), std::string(8, 'y'));  // the third block would pass 10
    EXPECT_NE(binary_reply.find("452 Error writing file: File too large.\r\n"), std::string::npos);
}

TEST_F(TransferTest, XferlogRecordsSentAndReceivedFiles) {
    char log_name[] = "/tmp/wharfd-xferlog-XXXXXX";
    int log_fd = mkstemp(log_name);
    ASSERT_GE(log_fd, 0);
    transfer_log_fd = log_fd;
    transfer_log_to_file = true;
    std::strcpy(client_name, "client.example");
    ASSERT_NE(copy_passwd_entry("root"), nullptr);
    user_account = copy_passwd_entry("root");
    write_file("f", "1");
    run("TYPE I");
    retrieve("RETR " + path("f"));
    run("TYPE A");
    store("APPE " + path("g"), "xy");
    retrieve("RETR " + path("missing"));  // refused before any data: no record
    user_account = nullptr;

    std::ifstream in(log_name);
    std::string first;
    std::string second;
    std::string third;
    std::getline(in, first);
    std::getline(in, second);
    EXPECT_FALSE(std::getline(in, third));
    const std::string when = R"([A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\d \d\d:\d\d:\d\d \d{4})";
    EXPECT_TRUE(std::regex_match(first, std::regex(when + R"( 1 client\.example 1 )" + path("f") +
                                                   R"( b _ o r root FTP 0 \* c)")))
        << first;
    EXPECT_TRUE(std::regex_match(second, std::regex(when + R"( 1 client\.example 2 )" + path("g") +
                                                    R"( a _ i r root FTP 0 \* c)")))
        << second;
    close(log_fd);
    unlink(log_name);
}

// Conversions: a missing name with a rule's suffix is served as a command's output.
class ConversionRetrTest : public TransferTest {
protected:
    // Append a rule to the class, after those already there.
    static void add_rule(const char* suffix, const char* types, const char* command) {
        auto* rule = new ConversionRule;
        rule->suffix = strdup_or_die(suffix);
        rule->types = strdup_or_die(types);
        rule->disable = strdup_or_die(".");
        rule->command = strdup_or_die(command);
        ConversionRule** link = &curclass.conversions;
        while (*link != nullptr) link = &(*link)->next;
        *link = rule;
    }
    // Run `command` with a shell (test side only) and return its standard output.
    static std::string output_of(const std::string& command) {
        std::string out;
        FILE* pipe = popen(command.c_str(), "r");
        if (pipe == nullptr) return out;
        char buffer[4096];
        std::size_t n = 0;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
        pclose(pipe);
        return out;
    }
};

TEST_F(ConversionRetrTest, SendsTheCommandsOutputAsData) {
    add_rule(".cat", "f", "/bin/cat %s");
    write_file("f", "abc\ndef\n");
    char log_name[] = "/tmp/wharfd-xferlog-XXXXXX";
    int log_fd = mkstemp(log_name);
    ASSERT_GE(log_fd, 0);
    transfer_log_fd = log_fd;
    transfer_log_to_file = true;
    run("TYPE I");
    auto [replies, got] = retrieve("RETR " + path("f.cat"));
    // The program is named and no size is announced.
    EXPECT_EQ(replies, "150 Opening BINARY mode data connection for '/bin/cat'.\r\n"
                       "226 Transfer complete.\r\n");
    EXPECT_EQ(got, "abc\ndef\n");
    EXPECT_EQ(transfer_counters.data_bytes_sent, 8);
    EXPECT_EQ(transfer_counters.data_files_sent, 1);
    EXPECT_EQ(transfer_counters.transfers_sent, 1);

    run("TYPE A");
    auto [ascii_replies, ascii] = retrieve("RETR " + path("f.cat"));
    EXPECT_EQ(ascii_replies, "150 Opening ASCII mode data connection for '/bin/cat'.\r\n"
                             "226 Transfer complete.\r\n");
    EXPECT_EQ(ascii, "abc\r\ndef\r\n");
    EXPECT_EQ(transfer_counters.data_bytes_sent, 8 + 10);

    // Recorded as a download of the requested name.
    std::ifstream in(log_name);
    std::string record;
    std::getline(in, record);
    EXPECT_NE(record.find(" 8 " + path("f.cat") + " b _ o "), std::string::npos) << record;
    close(log_fd);
    unlink(log_name);
}

TEST_F(ConversionRetrTest, CompressesFilesAndArchivesDirectories) {
    add_rule(".gz", "f", "/usr/bin/gzip -c %s");
    add_rule(".tar", "d", "/usr/bin/tar -cf - %s");
    std::string text;
    for (int i = 0; i < 500; ++i) text += "line " + std::to_string(i) + "\n";
    write_file("notes", text);
    ASSERT_EQ(mkdir(path("pub").c_str(), 0755), 0);
    write_file("pub/one", "first file\n");
    write_file("pub/two", "second file\n");
    // Relative names, so that tar has no leading "/" to complain about.
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    run("TYPE I");

    auto [gz_replies, gz] = retrieve("RETR notes.gz");
    EXPECT_EQ(gz_replies, "150 Opening BINARY mode data connection for '/usr/bin/gzip'.\r\n"
                          "226 Transfer complete.\r\n");
    write_file("received.gz", gz);
    EXPECT_EQ(output_of("gzip -dc " + path("received.gz")), text);
    EXPECT_EQ(transfer_counters.data_bytes_sent, static_cast<long long>(gz.size()));

    auto [tar_replies, tar] = retrieve("RETR pub.tar");
    EXPECT_EQ(tar_replies, "150 Opening BINARY mode data connection for '/usr/bin/tar'.\r\n"
                           "226 Transfer complete.\r\n");
    write_file("received.tar", tar);
    EXPECT_EQ(output_of("tar -tf " + path("received.tar") + " | sort"), "pub/\npub/one\npub/two\n");
    EXPECT_EQ(output_of("tar -xOf " + path("received.tar") + " pub/two"), "second file\n");

    // A directory is not a file for the .gz rule: the open error is reported.
    EXPECT_EQ(retrieve("RETR pub.gz").first, "550 pub.gz: No such file or directory.\r\n");
}

TEST_F(ConversionRetrTest, FailingCommandReportsStatusAndErrorLines) {
    add_rule(".ls", "f", "/usr/bin/ls %s /nonexistent-wharfd");
    add_rule(".none", "f", "/nonexistent/program %s");
    write_file("f", "x");
    auto [replies, got] = retrieve("RETR " + path("f.ls"));
    EXPECT_EQ(got, path("f") + "\r\n");
    const std::regex shape(
        "150 Opening ASCII mode data connection for '/usr/bin/ls'\\.\r\n"
        "226-Command returned an exit status of 2\r\n"
        "226-Command error messages:\r\n"
        "      [^\r\n]*nonexistent-wharfd[^\r\n]*\r\n"
        "226 Transfer complete\\.\r\n");
    EXPECT_TRUE(std::regex_match(replies, shape)) << replies;
    EXPECT_EQ(transfer_counters.data_files_sent, 1);

    // A program that cannot be run ends with status 1 and sends nothing.
    auto [missing_replies, nothing] = retrieve("RETR " + path("f.none"));
    EXPECT_EQ(missing_replies, "150 Opening ASCII mode data connection for '/nonexistent/program'.\r\n"
                               "226-Command returned an exit status of 1\r\n"
                               "226 Transfer complete.\r\n");
    EXPECT_EQ(nothing, "");
}

TEST_F(ConversionRetrTest, RestartOfACommandsOutput) {
    add_rule(".cat", "f", "/bin/cat %s");
    write_file("f", "abc\ndef");
    // A pipe cannot seek.
    run("TYPE I");
    auto [binary_replies, none] = retrieve("RETR " + path("f.cat"), 2);
    EXPECT_EQ(binary_replies, "550 /bin/cat: Illegal seek.\r\n");
    EXPECT_EQ(none, "");
    EXPECT_EQ(transfer_counters.transfers_sent, 0);
    // In ASCII the output up to the restart point is read and dropped.
    run("TYPE A");
    auto [ascii_replies, rest] = retrieve("RETR " + path("f.cat"), 2);
    EXPECT_EQ(rest, "c\r\ndef");
    EXPECT_TRUE(ascii_replies.ends_with("226 Transfer complete.\r\n")) << ascii_replies;
}

TEST_F(ConversionRetrTest, CommandGetsTheCheckedFileWhateverItsName) {
    add_rule(".cat", "f", "/bin/cat %s");
    write_file("a*b", "the starred file");
    write_file("ab", "wrong 1");
    write_file("axb", "wrong 2");
    write_file("{c,d}", "the braced file");
    write_file("c", "wrong 3");
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    write_file("-n", "the dashed file\n");
    run("TYPE I");
    EXPECT_EQ(retrieve("RETR " + path("a*b.cat")).second, "the starred file");
    EXPECT_EQ(retrieve("RETR " + path("{c,d}.cat")).second, "the braced file");
    // Not taken for cat's option -n (which would number the line).
    EXPECT_EQ(retrieve("RETR -n.cat").second, "the dashed file\n");
}

}  // namespace
