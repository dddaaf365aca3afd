// Transfers through the real binary: downloads and uploads over passive and active
// connections, listings by the built-in lister inside a chroot, urgent ABOR and
// STAT, and the transfer log.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "harness/harness.h"

namespace {

std::string read_whole_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string patterned(std::size_t size) {
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
    return data;
}

class Transfer : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(site.ok());
        bob_uid = site.add_user({.name = "bob", .password = "secret"});
        site.write_etc("ftpusers", "ftp allow\nanonymous allow\nbob allow\n* deny\n");
        site.add_file("pub/small.txt", "line one\nline two\n");
        site.add_dir("incoming", {.mode = 0777});
    }

    // A logged-in session: as a guest by default, as bob with `real`.
    std::unique_ptr<ServerProcess> session(bool real = false, std::vector<std::string> arguments = {}) {
        auto server = ServerProcess::start(site, {.arguments = std::move(arguments)});
        if (server == nullptr) return nullptr;
        FtpClient& client = server->client();
        EXPECT_EQ(client.read_reply().code, 220);
        client.command(real ? "USER bob" : "USER ftp");
        EXPECT_EQ(client.command(real ? "PASS secret" : "PASS guest@example.org").code, 230);
        return server;
    }

    // A download that is under way: RETR answered 150 and a first block read, so
    // the server is still sending when the test sends urgent data. Null on failure.
    static std::optional<Fd> start_download(FtpClient& client, const std::string& path) {
        std::optional<Fd> data = client.open_passive();
        if (!data) return std::nullopt;
        EXPECT_EQ(client.command("RETR " + path).code, 150);
        char first[4096];
        for (std::size_t got = 0; got < sizeof first;) {
            ssize_t n = read(data->get(), first + got, sizeof first - got);
            if (n <= 0) {
                ADD_FAILURE() << "no first block of " << path;
                return std::nullopt;
            }
            got += static_cast<std::size_t>(n);
        }
        return data;
    }

    TestSite site;
    uid_t bob_uid = 0;
};

TEST_F(Transfer, DownloadOverEachKindOfDataConnection) {
    std::string data = patterned(300000);
    site.add_file("pub/big.bin", data);
    auto server = session();
    ASSERT_NE(server, nullptr);
    FtpClient& client = server->client();
    EXPECT_EQ(client.command("TYPE I").code, 200);

    auto fetch = [&](std::optional<Fd> connection) -> std::string {
        if (!connection) return "<no connection>";
        EXPECT_EQ(client.command("RETR /pub/big.bin").raw,
                  "150 Opening BINARY mode data connection for '/pub/big.bin' (300000 bytes).\r\n");
        std::optional<std::string> got = read_stream(connection->get());
        EXPECT_EQ(client.read_reply().raw, "226 Transfer complete.\r\n");
        return got.value_or("<timeout>");
    };
    EXPECT_TRUE(fetch(client.open_passive()) == data) << "PASV";
    EXPECT_TRUE(fetch(client.open_extended_passive()) == data) << "EPSV";

    // Active: the server connects back to the test's listener.
    for (const char* command : {"PORT", "EPRT"}) {
        auto listener = ActiveListener::open(client);
        ASSERT_TRUE(listener);
        std::string argument = std::string(command) == "PORT" ? listener->port_argument()
                                                             : listener->eprt_argument();
        EXPECT_EQ(client.command(std::string(command) + " " + argument).raw,
                  std::string("200 ") + command + " command successful.\r\n");
        client.send_line("RETR /pub/big.bin");
        std::optional<Fd> connection = listener->accept();
        ASSERT_TRUE(connection) << command;
        EXPECT_EQ(client.read_reply().code, 150);
        std::optional<std::string> got = read_stream(connection->get());
        EXPECT_TRUE(got && *got == data) << command;
        EXPECT_EQ(client.read_reply().raw, "226 Transfer complete.\r\n");
    }
}

TEST_F(Transfer, AsciiDownloadAndUploadConvertLineEnds) {
    auto server = session(true);
    ASSERT_NE(server, nullptr);
    FtpClient& client = server->client();
    std::optional<Fd> down = client.open_passive();
    ASSERT_TRUE(down);
    EXPECT_EQ(client.command("RETR " + site.root_path("pub/small.txt")).code, 150);
    EXPECT_EQ(read_stream(down->get()), "line one\r\nline two\r\n");
    EXPECT_EQ(client.read_reply().code, 226);

    std::optional<Fd> up = client.open_passive();
    ASSERT_TRUE(up);
    std::string target = site.root_path("incoming/text.txt");
    EXPECT_EQ(client.command("STOR " + target).raw,
              "150 Opening ASCII mode data connection for '" + target + "'.\r\n");
    EXPECT_TRUE(write_all(up->get(), "first\r\nsecond\r\n"));
    up->reset();
    EXPECT_EQ(client.read_reply().raw, "226 Transfer complete.\r\n");
    EXPECT_EQ(read_whole_file(target), "first\nsecond\n");
}

TEST_F(Transfer, UploadsBelongToTheUserAndObeyTheUmask) {
    site.write_etc("wharfd.conf", "umask real 027\n");
    auto server = session(true);
    ASSERT_NE(server, nullptr);
    FtpClient& client = server->client();
    client.command("TYPE I");
    std::string target = site.root_path("incoming/owned.bin");
    std::optional<Fd> up = client.open_extended_passive();
    ASSERT_TRUE(up);
    EXPECT_EQ(client.command("STOR " + target).code, 150);
    EXPECT_TRUE(write_all(up->get(), patterned(70000)));
    up->reset();
    EXPECT_EQ(client.read_reply().code, 226);
    struct stat st {};
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, bob_uid);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(read_whole_file(target), patterned(70000));
}

TEST_F(Transfer, GuestsCannotUploadWhenTheClassSaysSo) {
    site.write_etc("wharfd.conf", "upload guest off\n");
    auto server = session();
    ASSERT_NE(server, nullptr);
    EXPECT_EQ(server->client().command("STOR /incoming/x").raw,
              "502 No permission to use this command.\r\n");
    EXPECT_EQ(server->client().command("DELE /pub/small.txt").raw,
              "502 No permission to use this command.\r\n");
}

TEST_F(Transfer, ListingsByTheBuiltInListerInsideTheChroot) {
    site.add_file("pub/b.txt", "bb", {.mode = 0640});
    site.add_dir("pub/sub");
    auto server = session();
    ASSERT_NE(server, nullptr);
    FtpClient& client = server->client();

    std::optional<Fd> data = client.open_passive();
    ASSERT_TRUE(data);
    EXPECT_EQ(client.command("LIST /pub").raw,
              "150 Opening ASCII mode data connection for '/bin/ls'.\r\n");
    std::optional<std::string> listing = read_stream(data->get());
    EXPECT_EQ(client.read_reply().raw, "226 Transfer complete.\r\n");
    ASSERT_TRUE(listing);
    EXPECT_TRUE(std::regex_search(*listing, std::regex(R"(^total \d+\r\n)"))) << *listing;
    // Inside the guest's chroot there is no password file: owners show as numbers.
    EXPECT_TRUE(std::regex_search(*listing, std::regex(R"(\n-rw-r----- +1 0 +0 +2 Oct  1  2023 b\.txt\r\n)")))
        << *listing;
    EXPECT_TRUE(std::regex_search(*listing, std::regex(R"(\ndrwxr-xr-x +2 0 +0 .* sub\r\n)"))) << *listing;

    data = client.open_passive();
    ASSERT_TRUE(data);
    EXPECT_EQ(client.command("NLST /pub").raw,
              "150 Opening ASCII mode data connection for 'file list'.\r\n");
    listing = read_stream(data->get());
    EXPECT_EQ(client.read_reply().raw, "226 Transfer complete.\r\n");
    ASSERT_TRUE(listing);
    for (const char* name : {"/pub/b.txt\r\n", "/pub/small.txt\r\n", "/pub/sub\r\n"})
        EXPECT_NE(listing->find(name), std::string::npos) << name << " in " << *listing;

    Reply stat = client.command("STAT /pub/b.txt");
    EXPECT_EQ(stat.lines.front(), "211-status of /pub/b.txt:");
    EXPECT_EQ(stat.lines.back(), "211 End of Status");
    EXPECT_TRUE(std::regex_search(stat.raw, std::regex(R"(\r\n-rw-r----- +1 0 +0 .* /pub/b\.txt\r\n)")))
        << stat.raw;

    EXPECT_EQ(client.command("NLST /pub/nothing*").raw,
              "450 /pub/nothing*: No such file or directory.\r\n");
}

TEST_F(Transfer, UrgentAbortStopsADownload) {
    // Far more than the socket buffers hold, so the server is still sending.
    site.add_file("pub/huge.bin", patterned(8 * 1024 * 1024));
    auto server = session();
    ASSERT_NE(server, nullptr);
    FtpClient& client = server->client();
    client.command("TYPE I");
    std::optional<Fd> data = start_download(client, "/pub/huge.bin");
    ASSERT_TRUE(data);
    EXPECT_TRUE(client.send_urgent_line("ABOR"));
    // Keep reading so the server's write does not block before it sees the abort.
    std::optional<std::string> rest = read_stream(data->get(), std::chrono::seconds(20));
    ASSERT_TRUE(rest);
    EXPECT_LT(rest->size() + 4096, 8u * 1024 * 1024);
    EXPECT_EQ(client.read_reply().raw, "426 Transfer aborted. Data connection closed.\r\n");
    EXPECT_EQ(client.read_reply().raw, "226 Abort successful\r\n");
    EXPECT_EQ(client.command("NOOP").raw, "200 NOOP command successful.\r\n");
}

TEST_F(Transfer, UrgentAbortDuringAnAsciiDownloadAndAnUpload) {
    std::string text;
    for (int i = 0; i < 200000; ++i) text += "line\n";
    site.add_file("pub/text.txt", text);
    auto server = session(true);
    ASSERT_NE(server, nullptr);
    FtpClient& client = server->client();
    std::optional<Fd> data = start_download(client, site.root_path("pub/text.txt"));
    ASSERT_TRUE(data);
    EXPECT_TRUE(client.send_urgent_line("ABOR"));
    std::optional<std::string> rest = read_stream(data->get(), std::chrono::seconds(20));
    ASSERT_TRUE(rest);
    EXPECT_LT(rest->size(), 2 * text.size());
    EXPECT_EQ(client.read_reply().raw, "426 Transfer aborted. Data connection closed.\r\n");
    EXPECT_EQ(client.read_reply().raw, "226 Abort successful\r\n");

    client.command("TYPE I");
    std::optional<Fd> up = client.open_passive();
    ASSERT_TRUE(up);
    EXPECT_EQ(client.command("STOR " + site.root_path("incoming/aborted.bin")).code, 150);
    EXPECT_TRUE(write_all(up->get(), std::string(5000, 'a')));
    EXPECT_TRUE(client.send_urgent_line("ABOR"));
    // The upload loop sees the urgent line when its next block arrives.
    EXPECT_TRUE(write_all(up->get(), "b"));
    EXPECT_EQ(client.read_reply().raw, "426 Transfer aborted. Data connection closed.\r\n");
    EXPECT_EQ(client.read_reply().raw, "226 Abort successful\r\n");
    EXPECT_EQ(client.command("PWD").code, 257);
}

TEST_F(Transfer, UrgentStatDuringADownloadOfKnownSize) {
    site.add_file("pub/huge.bin", patterned(8 * 1024 * 1024));
    auto server = session();
    ASSERT_NE(server, nullptr);
    FtpClient& client = server->client();
    client.command("TYPE I");
    std::optional<Fd> data = start_download(client, "/pub/huge.bin");
    ASSERT_TRUE(data);
    EXPECT_TRUE(client.send_urgent_line("STAT"));
    std::optional<std::string> rest = read_stream(data->get(), std::chrono::seconds(30));
    ASSERT_TRUE(rest);
    EXPECT_EQ(rest->size() + 4096, 8u * 1024 * 1024);
    Reply status = client.read_reply();
    EXPECT_TRUE(std::regex_match(status.raw, std::regex(R"(213 Status: \d+ of 8388608 bytes transferred\r\n)")))
        << status;
    EXPECT_EQ(client.read_reply().raw, "226 Transfer complete.\r\n");
}

// Not urgent, or not ending in CR LF: the line waits for the command loop.
TEST_F(Transfer, AborWithABareLineFeedAndUrgentDataWithoutATransfer) {
    auto server = session();
    ASSERT_NE(server, nullptr);
    FtpClient& client = server->client();
    EXPECT_TRUE(client.send_urgent("ABOR\n"));
    EXPECT_EQ(client.read_reply().raw, "225 ABOR command successful.\r\n");
    EXPECT_TRUE(client.send_urgent_line("NOOP"));
    EXPECT_EQ(client.read_reply().raw, "200 NOOP command successful.\r\n");
}

TEST_F(Transfer, UrgentStatReportsUploadProgress) {
    auto server = session(true);
    ASSERT_NE(server, nullptr);
    FtpClient& client = server->client();
    client.command("TYPE I");
    std::optional<Fd> up = client.open_passive();
    ASSERT_TRUE(up);
    EXPECT_EQ(client.command("STOR " + site.root_path("incoming/progress.bin")).code, 150);
    EXPECT_TRUE(write_all(up->get(), std::string(1000, 'u')));
    // Wait until the server has stored what was sent, so the count is known.
    for (int i = 0; i < 100; ++i) {
        struct stat st {};
        if (stat(site.root_path("incoming/progress.bin").c_str(), &st) == 0 && st.st_size == 1000) break;
        usleep(20000);
    }
    // The upload loop looks at urgent data when its next block arrives.
    EXPECT_TRUE(client.send_urgent_line("STAT"));
    EXPECT_TRUE(write_all(up->get(), "x"));
    EXPECT_EQ(client.read_reply().raw, "213 Status: 1000 bytes transferred\r\n");
    // An urgent line that is neither ABOR nor STAT waits for the end of the transfer.
    EXPECT_TRUE(client.send_urgent_line("NOOP"));
    EXPECT_TRUE(write_all(up->get(), "y"));
    up->reset();
    EXPECT_EQ(client.read_reply().raw, "226 Transfer complete.\r\n");
    EXPECT_EQ(client.read_reply().raw, "200 NOOP command successful.\r\n");
}

TEST_F(Transfer, AborWithoutUrgentDataRunsAfterTheTransfer) {
    auto server = session();
    ASSERT_NE(server, nullptr);
    FtpClient& client = server->client();
    std::optional<Fd> data = client.open_passive();
    ASSERT_TRUE(data);
    client.send_line("RETR /pub/small.txt");
    client.send_line("ABOR");
    EXPECT_EQ(client.read_reply().code, 150);
    EXPECT_TRUE(read_stream(data->get()));
    EXPECT_EQ(client.read_reply().raw, "226 Transfer complete.\r\n");
    EXPECT_EQ(client.read_reply().raw, "225 ABOR command successful.\r\n");
}

TEST_F(Transfer, XferlogRecordsForGuestsCarryTheirIdentification) {
    std::string log_path = site.file_path("xferlog");
    auto server = session(false, {"-L", log_path});
    ASSERT_NE(server, nullptr);
    FtpClient& client = server->client();
    std::optional<Fd> data = client.open_passive();
    ASSERT_TRUE(data);
    EXPECT_EQ(client.command("RETR /pub/small.txt").code, 150);
    read_stream(data->get());
    EXPECT_EQ(client.read_reply().code, 226);
    client.command("QUIT");
    server->wait_exit();
    std::string record = read_whole_file(log_path);
    EXPECT_TRUE(std::regex_match(
        record, std::regex(R"([A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\d \d\d:\d\d:\d\d \d{4} \d+ )"
                           R"(ftp\.wharfd\.test 18 /pub/small\.txt a _ o a guest@example\.org FTP 0 \* c\n)")))
        << record;
}

TEST_F(Transfer, QuitSummarisesTheTraffic) {
    auto server = session();
    ASSERT_NE(server, nullptr);
    FtpClient& client = server->client();
    client.command("TYPE I");
    std::optional<Fd> data = client.open_passive();
    ASSERT_TRUE(data);
    client.command("RETR /pub/small.txt");
    read_stream(data->get());
    client.read_reply();
    Reply quit = client.command("QUIT");
    ASSERT_EQ(quit.lines.size(), 4u) << quit;
    EXPECT_EQ(quit.lines[0], "221-");
    EXPECT_EQ(quit.lines[1], "    Data traffic for this session was 18 bytes in 1 file.");
    EXPECT_TRUE(std::regex_match(quit.lines[2],
                                 std::regex(R"(    Total traffic for this session was \d+ bytes in 1 transfer\.)")))
        << quit.lines[2];
    EXPECT_EQ(quit.lines[3], "221 Thank you for using the FTP service on ftp.wharfd.test.");
}

}  // namespace
