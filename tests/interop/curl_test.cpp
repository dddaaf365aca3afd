// curl against the server: listings and downloads over every kind of data
// connection, resumed downloads, uploads that create directories, quote commands,
// logins, IPv6 and many clients at once.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "interop_fixture.h"

namespace {

constexpr std::size_t big_size = 1536 * 1024;

class Curl : public Interop {
protected:
    void SetUp() override {
        Interop::SetUp();
        site.add_file("pub/small.txt", "line one\nline two\n");
        site.add_file("pub/big.bin", patterned(big_size));
    }

    // curl with the options every run wants: no progress meter, errors shown, the
    // dialogue on standard error (-v), bounded connect and transfer times.
    static ClientCommand curl(std::vector<std::string> arguments) {
        std::vector<std::string> argv = {"curl", "-sS", "-v", "--connect-timeout", "5", "--max-time", "20"};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return {.argv = argv};
    }
};

struct DataConnectionCase {
    std::string label;
    std::vector<std::string> options;
    std::string client_sends;  // what curl's dialogue must show
    friend void PrintTo(const DataConnectionCase& c, std::ostream* out) { *out << c.label; }
};

class CurlDataConnection : public Curl, public testing::WithParamInterface<DataConnectionCase> {};

TEST_P(CurlDataConnection, ListsAndDownloads) {
    ASSERT_TRUE(serve());
    std::vector<std::string> arguments = GetParam().options;
    arguments.insert(arguments.end(),
                     {url("/pub/"), "-o", "listing.txt", url("/pub/big.bin"), "-o", "big.bin"});
    ClientResult result = run(curl(arguments));
    ASSERT_TRUE(result.succeeded()) << result << server_log();
    EXPECT_NE(result.errors.find(GetParam().client_sends), std::string::npos) << result;

    std::string listing = read_file(home.work("listing.txt")).value_or("");
    // An ASCII listing: curl turns the server's CR LF into LF, so a stray CR shows.
    EXPECT_NE(listing.find("small.txt\n"), std::string::npos) << listing << result;
    EXPECT_EQ(listing.find('\r'), std::string::npos) << listing;
    EXPECT_NE(listing.find(" " + std::to_string(big_size) + " "), std::string::npos) << listing;
    EXPECT_NE(listing.find("-rw-r--r--"), std::string::npos) << listing;
    EXPECT_EQ(checksum(read_file(home.work("big.bin")).value_or("")), checksum(patterned(big_size)));
}

INSTANTIATE_TEST_SUITE_P(
    Curl, CurlDataConnection,
    testing::ValuesIn(std::vector<DataConnectionCase>{
        {"Epsv", {"--ftp-pasv"}, "> EPSV\r\n"},
        {"Pasv", {"--ftp-pasv", "--disable-epsv"}, "> PASV\r\n"},
        {"Eprt", {"-P", "127.0.0.1"}, "> EPRT |1|127.0.0.1|"},
        {"Port", {"-P", "127.0.0.1", "--disable-eprt"}, "> PORT 127,0,0,1,"},
        {"ActiveOnTheControlAddress", {"--ftp-port", "-"}, "> EPRT |1|127.0.0.1|"},
    }),
    CaseLabel());

TEST_F(Curl, ResumesAPartialDownload) {
    ASSERT_TRUE(serve());
    constexpr std::size_t had = 300000;
    ASSERT_TRUE(home.write("big.bin", patterned(big_size).substr(0, had)));
    ClientResult result = run(curl({"-C", "-", "-o", "big.bin", url("/pub/big.bin")}));
    ASSERT_TRUE(result.succeeded()) << result << server_log();
    EXPECT_NE(result.errors.find("> REST " + std::to_string(had) + "\r\n"), std::string::npos) << result;
    EXPECT_EQ(checksum(read_file(home.work("big.bin")).value_or("")), checksum(patterned(big_size)));
}

TEST_F(Curl, UploadCreatesTheDirectories) {
    ASSERT_TRUE(serve());
    std::string data = patterned(200000, 3);
    ASSERT_TRUE(home.write("local.bin", data));
    ClientResult result = run(curl({"-u", "bob:secret", "-T", "local.bin", "--ftp-create-dirs",
                                    url("/made/deeper/uploaded.bin")}));
    ASSERT_TRUE(result.succeeded()) << result << server_log();
    EXPECT_EQ(checksum(read_file(bob_path("made/deeper/uploaded.bin")).value_or("")), checksum(data));
    struct stat status {};
    ASSERT_EQ(stat(bob_path("made/deeper").c_str(), &status), 0);
    EXPECT_TRUE(S_ISDIR(status.st_mode));
    EXPECT_EQ(status.st_uid, bob_uid);
    ASSERT_EQ(stat(bob_path("made/deeper/uploaded.bin").c_str(), &status), 0);
    EXPECT_EQ(status.st_uid, bob_uid);
    EXPECT_EQ(status.st_mode & 07777, 0640u);  // the default umask 027
}

TEST_F(Curl, QuoteCommandsRunBeforeAndAfterTheTransfer) {
    site.add_file("home/bob/notes.txt", "my notes\n", {.uid = bob_uid, .gid = users_gid});
    site.add_file("home/bob/gone.txt", "old\n", {.uid = bob_uid, .gid = users_gid});
    ASSERT_TRUE(serve());
    ClientResult result = run(curl({"-u", "bob:secret", "-Q", "SITE CHMOD 600 notes.txt", "-Q", "-DELE gone.txt",
                                    "-o", "notes.txt", url("/notes.txt")}));
    ASSERT_TRUE(result.succeeded()) << result << server_log();
    EXPECT_EQ(read_file(home.work("notes.txt")), "my notes\n");
    struct stat status {};
    ASSERT_EQ(stat(bob_path("notes.txt").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u);
    EXPECT_NE(stat(bob_path("gone.txt").c_str(), &status), 0) << "DELE after the transfer did not remove it";

    // A quote command that fails stops curl before the transfer (exit 21).
    result = run(curl({"-u", "bob:secret", "-Q", "SITE CHMOD 600 missing.txt", "-o", "again.txt",
                       url("/notes.txt")}));
    EXPECT_EQ(result.status, ExitStatus::exit_code(21)) << result;
    EXPECT_NE(result.errors.find("< 550 "), std::string::npos) << result;
    EXPECT_FALSE(read_file(home.work("again.txt")));
}

struct LoginCase {
    std::string label;
    std::vector<std::string> credentials;  // curl options
    std::string path;
    int curl_status;  // 0, or 67: the login was refused
    friend void PrintTo(const LoginCase& c, std::ostream* out) { *out << c.label; }
};

class CurlLogin : public Curl, public testing::WithParamInterface<LoginCase> {};

TEST_P(CurlLogin, LogsInOrIsRefused) {
    site.add_file("home/bob/mine.txt", "bob's\n", {.uid = bob_uid, .gid = users_gid});
    site.add_user({.name = "carol", .password = "hers"});  // denied by ftpusers
    ASSERT_TRUE(serve());
    std::vector<std::string> arguments = GetParam().credentials;
    arguments.insert(arguments.end(), {"-o", "got", url(GetParam().path)});
    ClientResult result = run(curl(arguments));
    EXPECT_EQ(result.status, ExitStatus::exit_code(GetParam().curl_status)) << result << server_log();
    if (GetParam().curl_status == 0) {
        EXPECT_TRUE(read_file(home.work("got")).has_value());
        EXPECT_NE(result.errors.find("< 230 "), std::string::npos) << result;
    } else {
        EXPECT_NE(result.errors.find("< 530 "), std::string::npos) << result;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Curl, CurlLogin,
    testing::ValuesIn(std::vector<LoginCase>{
        {"AnonymousByDefault", {}, "/pub/small.txt", 0},
        {"AnonymousAsFtp", {"-u", "ftp:guest@example.org"}, "/pub/small.txt", 0},
        {"RealUser", {"-u", "bob:secret"}, "/mine.txt", 0},
        {"WrongPassword", {"-u", "bob:wrong"}, "/mine.txt", 67},
        {"DeniedUser", {"-u", "carol:hers"}, "/x", 67},
    }),
    CaseLabel());

TEST_F(Curl, WorksOverIpv6) {
    ASSERT_TRUE(serve());
    ClientResult result = run(curl({url("/pub/", Connection::ipv6), "-o", "listing.txt",
                                    url("/pub/big.bin", Connection::ipv6), "-o", "big.bin"}));
    ASSERT_TRUE(result.succeeded()) << result << server_log();
    EXPECT_NE(result.errors.find("> EPSV\r\n"), std::string::npos) << result;
    EXPECT_NE(read_file(home.work("listing.txt")).value_or("").find("big.bin\n"), std::string::npos);
    EXPECT_EQ(checksum(read_file(home.work("big.bin")).value_or("")), checksum(patterned(big_size)));

    // Active mode over IPv6: EPRT with address family 2.
    result = run(curl({"-P", "::1", "-o", "active.bin", url("/pub/big.bin", Connection::ipv6)}));
    ASSERT_TRUE(result.succeeded()) << result << server_log();
    EXPECT_NE(result.errors.find("> EPRT |2|::1|"), std::string::npos) << result;
    EXPECT_EQ(checksum(read_file(home.work("active.bin")).value_or("")), checksum(patterned(big_size)));
}

TEST_F(Curl, TwentyClientsAtOnce) {
    constexpr int clients = 20;
    for (int i = 0; i < clients; ++i)
        site.add_file("pub/many/file" + std::to_string(i) + ".bin",
                      patterned(100000 + static_cast<std::size_t>(i) * 1000, static_cast<unsigned>(i)));
    ASSERT_TRUE(serve({}));
    std::vector<ClientCommand> commands;
    for (int i = 0; i < clients; ++i) {
        std::string name = "file" + std::to_string(i) + ".bin";
        // Alternate passive and active data connections.
        std::vector<std::string> arguments = {"-o", name, url("/pub/many/" + name)};
        if (i % 2 == 1) arguments.insert(arguments.begin(), {"-P", "127.0.0.1"});
        commands.push_back(curl(arguments));
    }
    std::vector<ClientResult> results = run_clients(home, commands, super.get());
    for (int i = 0; i < clients; ++i) {
        std::string name = "file" + std::to_string(i) + ".bin";
        EXPECT_TRUE(results[static_cast<std::size_t>(i)].succeeded()) << results[static_cast<std::size_t>(i)];
        EXPECT_EQ(checksum(read_file(home.work(name)).value_or("")),
                  checksum(patterned(100000 + static_cast<std::size_t>(i) * 1000, static_cast<unsigned>(i))))
            << name;
    }
    EXPECT_EQ(super->sessions_started(), clients);
}

}  // namespace
