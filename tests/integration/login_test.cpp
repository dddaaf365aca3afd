// Logins through the real binary, real Linux-PAM and the site's own accounts:
// anonymous guests, real and chroot users, refusals, the password slow-down, the
// session limit, identities and login records.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utmpx.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "harness/harness.h"

namespace {

constexpr const char* anonymous_allowed = "ftp allow\nanonymous allow\n";

// Real, effective, saved and file-system user ids of a running process.
std::vector<long> user_ids(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Uid:", 0) != 0) continue;
        std::istringstream fields(line.substr(4));
        std::vector<long> ids;
        long id = 0;
        while (fields >> id) ids.push_back(id);
        return ids;
    }
    return {};
}

class Login : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(site.ok());
        bob_uid = site.add_user({.name = "bob", .password = "secret"});
        site.add_file("pub/hello.txt", "hello\n");
    }

    std::unique_ptr<ServerProcess> start(std::vector<std::string> arguments = {}) {
        auto server = ServerProcess::start(site, {.arguments = std::move(arguments)});
        if (server != nullptr) {
            EXPECT_EQ(server->client().read_reply().code, 220);
        }
        return server;
    }

    TestSite site;
    uid_t bob_uid = 0;
};

TEST_F(Login, AnonymousNamesBecomeGuestsConfinedToTheArea) {
    site.write_etc("ftpusers", anonymous_allowed);
    for (const char* name : {"anonymous", "ftp"}) {
        auto server = start();
        ASSERT_NE(server, nullptr);
        FtpClient& client = server->client();
        EXPECT_EQ(client.command(std::string("USER ") + name).raw,
                  "331 Guest login ok, type your name as password.\r\n");
        EXPECT_EQ(client.command("PASS guest@example.org").raw,
                  "230 Guest login ok, access restrictions apply.\r\n");
        EXPECT_EQ(client.command("PWD").raw, "257 \"/\" is the current directory.\r\n");
        EXPECT_EQ(client.command("SIZE /pub/hello.txt").raw, "213 7\r\n");
        // The control port is not privileged, so the guest gave up root for good.
        EXPECT_EQ(user_ids(server->pid()), (std::vector<long>{ftp_uid, ftp_uid, ftp_uid, ftp_uid}));
        EXPECT_EQ(client.command("USER bob").raw, "530 Can't change user from guest login.\r\n");
    }
}

TEST_F(Login, AnonymousNeedsBothNamesAndTheFtpAccount) {
    struct Case {
        const char* ftpusers;  // null: no file
        const char* name;
        const char* reply;
    } cases[] = {
        {nullptr, "anonymous", "530 User anonymous access denied.\r\n"},
        {"anonymous\n", "ftp", "530 User ftp access denied.\r\n"},
        {"ftp deny\n", "anonymous", "530 User anonymous access denied.\r\n"},
    };
    for (const Case& c : cases) {
        if (c.ftpusers != nullptr) site.write_etc("ftpusers", c.ftpusers);
        auto server = start();
        ASSERT_NE(server, nullptr);
        EXPECT_EQ(server->client().command(std::string("USER ") + c.name).raw, c.reply) << c.name;
        EXPECT_EQ(server->client().command("PASS x").raw, "503 Login with USER first.\r\n");
    }
}

TEST_F(Login, RealUserThroughPam) {
    site.write_etc("ftpusers", "root\n");
    auto server = start();
    ASSERT_NE(server, nullptr);
    FtpClient& client = server->client();
    EXPECT_EQ(client.command("USER bob").raw, "331 User bob accepted, provide password.\r\n");
    EXPECT_EQ(client.command("PASS secret").raw, "230 User bob logged in.\r\n");
    EXPECT_EQ(client.command("PWD").raw,
              "257 \"" + site.root_path("home/bob") + "\" is the current directory.\r\n");
    // A real user keeps root as the real id, to bind data ports and to log out.
    std::vector<long> ids = user_ids(server->pid());
    ASSERT_EQ(ids.size(), 4u);
    EXPECT_EQ(ids[0], 0);
    EXPECT_EQ(ids[1], static_cast<long>(bob_uid));
    EXPECT_EQ(client.command("PASS secret").raw, "503 Login with USER first.\r\n");
}

TEST_F(Login, WrongPasswordsAreSlowedDownAndTheSixthEndsTheSession) {
    site.write_etc("ftpusers", "");
    auto server = start({"-l"});
    ASSERT_NE(server, nullptr);
    FtpClient& client = server->client();
    for (int failure = 1; failure <= 6; ++failure) {
        // Each USER after a failure waits a second per failure so far.
        EXPECT_EQ(client.command("USER bob", std::chrono::seconds(10)).raw,
                  "331 User bob accepted, provide password.\r\n");
        EXPECT_EQ(client.command("PASS wrong").raw, "530 Login incorrect.\r\n") << "failure " << failure;
    }
    EXPECT_EQ(client.read_until_eof(std::chrono::seconds(20)), "");
    EXPECT_EQ(server->wait_exit(), ExitStatus::exit_code(0));
    EXPECT_TRUE(server->log().wait_for("repeated login failures from ftp.wharfd.test"))
        << server->log().dump();
    EXPECT_TRUE(server->log().wait_for("FTP LOGIN FAILED FROM ftp.wharfd.test, bob"));
}

TEST_F(Login, UnknownUserIsAskedForAPasswordAndRefused) {
    site.write_etc("ftpusers", "");
    auto server = start();
    ASSERT_NE(server, nullptr);
    FtpClient& client = server->client();
    EXPECT_EQ(client.command("USER nobody-here").raw,
              "331 User nobody-here accepted, provide password.\r\n");
    EXPECT_EQ(client.command("PASS whatever").raw, "530 Login incorrect.\r\n");
    // Capital letters make an ordinary user name, not an anonymous one.
    EXPECT_EQ(client.command("USER FTP", std::chrono::seconds(5)).raw,
              "331 User FTP accepted, provide password.\r\n");
}

TEST_F(Login, AnswersOtherThanPassFailTheConversation) {
    site.write_etc("ftpusers", "");
    auto server = start();
    ASSERT_NE(server, nullptr);
    FtpClient& client = server->client();
    EXPECT_EQ(client.command("USER bob").code, 331);
    EXPECT_EQ(client.command("NOOP").raw, "530-Unexpected reply 'NOOP'.\r\n530 Login incorrect.\r\n");
}

TEST_F(Login, RefusedUsersAndShells) {
    site.add_user({.name = "carol", .password = "pw", .shell = "/bin/false-shell"});
    site.write_etc("ftpusers", "root\n*@gw* deny\n");
    {
        auto server = start();
        ASSERT_NE(server, nullptr);
        FtpClient& client = server->client();
        // Refused only after a correct password, with the same text.
        EXPECT_EQ(client.command("USER carol").code, 331);
        EXPECT_EQ(client.command("PASS pw").raw, "530 User carol may not use FTP.\r\n");
        EXPECT_EQ(client.command("USER root").code, 331);
    }
    site.write_etc("wharfd.conf", "denyquick all\n");
    {
        auto server = start();
        ASSERT_NE(server, nullptr);
        EXPECT_EQ(server->client().command("USER carol").raw, "530 User carol may not use FTP.\r\n");
        EXPECT_EQ(server->client().command("USER root").raw, "530 User root may not use FTP.\r\n");
    }
}

TEST_F(Login, ChrootUserSeesOnlyTheHomeDirectory) {
    site.write_etc("ftpusers", "");
    site.write_etc("ftpchroot", "bob\n");
    site.add_file("home/bob/mine.txt", "m", {.uid = bob_uid, .gid = users_gid});
    auto server = start();
    ASSERT_NE(server, nullptr);
    FtpClient& client = server->client();
    EXPECT_EQ(client.command("USER bob").code, 331);
    EXPECT_EQ(client.command("PASS secret").raw, "230 User bob logged in.\r\n");
    EXPECT_EQ(client.command("PWD").raw, "257 \"/\" is the current directory.\r\n");
    EXPECT_EQ(client.command("SIZE /mine.txt").raw, "213 1\r\n");
    EXPECT_EQ(client.command("CWD ..").raw, "250 CWD command successful.\r\n");
    EXPECT_EQ(client.command("PWD").raw, "257 \"/\" is the current directory.\r\n");
    long uid = static_cast<long>(bob_uid);
    EXPECT_EQ(user_ids(server->pid()), (std::vector<long>{uid, uid, uid, uid}));
    EXPECT_EQ(client.command("USER bob").raw, "530 Can't change user from chroot user.\r\n");
}

// On a control port below 1026 (21 in real life) confined logins keep root as
// their real id, like real users: only the effective ids change.
TEST_F(Login, ConfinedLoginsOnAPrivilegedPortKeepTheRealIdRoot) {
    site.write_etc("ftpusers", "ftp allow\nanonymous allow\nbob allow\n");
    site.write_etc("ftpchroot", "bob\n");
    struct Case {
        const char* user;
        const char* password;
        uid_t uid;
        std::uint16_t port;
    } cases[] = {{"ftp", "a@b", ftp_uid, 1021}, {"bob", "secret", bob_uid, 1022}};
    for (const Case& c : cases) {
        auto server = ServerProcess::start(site, {.port = c.port});
        ASSERT_NE(server, nullptr);
        FtpClient& client = server->client();
        EXPECT_EQ(client.read_reply().code, 220);
        client.command(std::string("USER ") + c.user);
        ASSERT_EQ(client.command(std::string("PASS ") + c.password).code, 230) << c.user;
        std::vector<long> ids = user_ids(server->pid());
        ASSERT_EQ(ids.size(), 4u);
        EXPECT_EQ(ids[0], 0) << c.user;
        EXPECT_EQ(ids[1], static_cast<long>(c.uid)) << c.user;
        EXPECT_EQ(client.command("PWD").raw, "257 \"/\" is the current directory.\r\n");
    }
}

TEST_F(Login, RealUserMayLogInAgainUnlessPrivilegesWereDropped) {
    site.add_user({.name = "dave", .password = "pw2"});
    site.write_etc("ftpusers", "");
    {
        auto server = start();
        ASSERT_NE(server, nullptr);
        FtpClient& client = server->client();
        client.command("USER bob");
        EXPECT_EQ(client.command("PASS secret").code, 230);
        EXPECT_EQ(client.command("USER dave").code, 331);
        EXPECT_EQ(client.command("PASS pw2").raw, "230 User dave logged in.\r\n");
    }
    {
        auto server = start({"-r"});
        ASSERT_NE(server, nullptr);
        FtpClient& client = server->client();
        client.command("USER bob");
        EXPECT_EQ(client.command("PASS secret").code, 230);
        long uid = static_cast<long>(bob_uid);
        EXPECT_EQ(user_ids(server->pid()), (std::vector<long>{uid, uid, uid, uid}));
        EXPECT_EQ(client.command("USER dave").raw, "530 Can't change user.\r\n");
    }
}

TEST_F(Login, MessageOfTheDayUnlessTheGuestAsksForQuiet) {
    site.write_etc("ftpusers", anonymous_allowed);
    // The guest reads it after the chroot: an absolute name inside the area.
    site.write_etc("wharfd.conf", "motd guest /welcome.msg\n");
    site.add_file("welcome.msg", "Today is a good day.\n");
    for (const char* password : {"me@example.org", "-me@example.org"}) {
        auto server = start();
        ASSERT_NE(server, nullptr);
        server->client().command("USER ftp");
        std::string expected = password[0] == '-' ? "230 Guest login ok, access restrictions apply.\r\n"
                                                  : "230-\r\n    Today is a good day.\r\n"
                                                    "230 Guest login ok, access restrictions apply.\r\n";
        EXPECT_EQ(server->client().command(std::string("PASS ") + password).raw, expected);
    }
}

TEST_F(Login, SessionLimitOfTheClass) {
    site.write_etc("ftpusers", anonymous_allowed);
    site.write_etc("wharfd.conf", "limit guest 1 full.msg\n");
    site.write_etc("full.msg", "The guest area is full.\n");
    auto first = start();
    ASSERT_NE(first, nullptr);
    first->client().command("USER ftp");
    EXPECT_EQ(first->client().command("PASS a@b").code, 230);
    auto second = start();
    ASSERT_NE(second, nullptr);
    second->client().command("USER ftp");
    EXPECT_EQ(second->client().command("PASS a@b").raw,
              "530-\r\n    The guest area is full.\r\n"
              "530 User ftp access denied, connection limit of 1 reached.\r\n");
    EXPECT_EQ(second->client().command("PWD").raw, "530 Please login with USER and PASS.\r\n");
    // The class's pid file holds both processes.
    std::ifstream pids(site.run_path("wharfd.pids-guest"), std::ios::binary);
    std::string content((std::istreambuf_iterator<char>(pids)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content.size(), 2 * sizeof(std::int32_t));
}

std::vector<utmpx> read_records(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<utmpx> records;
    utmpx record {};
    while (in.read(reinterpret_cast<char*>(&record), sizeof record)) records.push_back(record);
    return records;
}

TEST_F(Login, LoginAndLogoutRecordsInWtmp) {
    site.write_etc("ftpusers", "");
    auto server = start();
    ASSERT_NE(server, nullptr);
    FtpClient& client = server->client();
    client.command("USER bob");
    ASSERT_EQ(client.command("PASS secret").code, 230);
    EXPECT_EQ(client.command("QUIT").code, 221);
    EXPECT_EQ(server->wait_exit(), ExitStatus::exit_code(0));
    std::vector<utmpx> records = read_records(site.file_path("wtmp"));
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].ut_type, USER_PROCESS);
    EXPECT_EQ(std::string(records[0].ut_user), "bob");
    EXPECT_EQ(std::string(records[0].ut_line), "ftp" + std::to_string(server->pid()));
    EXPECT_EQ(std::string(records[0].ut_host), site_host_ipv4);
    EXPECT_EQ(records[0].ut_pid, server->pid());
    EXPECT_EQ(records[1].ut_type, DEAD_PROCESS);
    // "<pid in hex>ftp", cut to the platform's id field.
    char id[32];
    std::snprintf(id, sizeof id, "%xftp", static_cast<unsigned>(server->pid()));
    EXPECT_EQ(std::string(records[0].ut_id, strnlen(records[0].ut_id, sizeof records[0].ut_id)),
              std::string(id).substr(0, sizeof records[0].ut_id));
    EXPECT_EQ(std::strncmp(records[0].ut_id, records[1].ut_id, sizeof records[0].ut_id), 0);
    EXPECT_EQ(records[1].ut_user[0], '\0');
}

// A guest has changed root and user before it logs out: its logout entry still
// reaches wtmp, through the file opened at login.
TEST_F(Login, GuestLogoutRecordAfterTheChroot) {
    site.write_etc("ftpusers", anonymous_allowed);
    auto server = start();
    ASSERT_NE(server, nullptr);
    server->client().command("USER ftp");
    ASSERT_EQ(server->client().command("PASS a@b").code, 230);
    server->client().command("QUIT");
    EXPECT_EQ(server->wait_exit(), ExitStatus::exit_code(0));
    std::vector<utmpx> records = read_records(site.file_path("wtmp"));
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(std::string(records[0].ut_user), "ftp");
    EXPECT_EQ(records[1].ut_type, DEAD_PROCESS);
}

TEST_F(Login, NoRecordsWithoutWtmpAndUtmp) {
    site.write_etc("ftpusers", "");
    auto server = start({"-W"});
    ASSERT_NE(server, nullptr);
    server->client().command("USER bob");
    ASSERT_EQ(server->client().command("PASS secret").code, 230);
    server->client().command("QUIT");
    server->wait_exit();
    EXPECT_TRUE(read_records(site.file_path("wtmp")).empty());
}

TEST_F(Login, IdleTimeoutWhileWaitingForThePassword) {
    site.write_etc("ftpusers", "");
    auto server = start();
    ASSERT_NE(server, nullptr);
    EXPECT_EQ(server->client().command("USER bob").code, 331);
    ASSERT_TRUE(server->wait_until_reading());
    server->send_signal(SIGALRM);
    EXPECT_EQ(server->client().read_reply().raw,
              "421 Timeout (900 seconds): closing control connection.\r\n");
    EXPECT_EQ(server->wait_exit(), ExitStatus::exit_code(1));
}

}  // namespace
