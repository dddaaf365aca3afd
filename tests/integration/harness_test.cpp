// The harness itself: what a server sees of its test site, the site's file
// helpers, and the client's reading of replies and data addresses.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <grp.h>
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <pwd.h>
#include <security/pam_appl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "harness/harness.h"

namespace {

using ::testing::ElementsAre;

std::string read_file(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The PAM conversation of the check below: every prompt gets `appdata` (the password).
int answer_with_password(int count, const pam_message** messages, pam_response** responses,
                         void* password) {
    auto* answers = static_cast<pam_response*>(std::calloc(static_cast<std::size_t>(count), sizeof(pam_response)));
    for (int i = 0; i < count; ++i) {
        if (messages[i]->msg_style == PAM_PROMPT_ECHO_OFF || messages[i]->msg_style == PAM_PROMPT_ECHO_ON)
            answers[i].resp = strdup(static_cast<const char*>(password));
    }
    *responses = answers;
    return PAM_SUCCESS;
}

// pam_authenticate and pam_acct_mgmt for the service "wharfd", as a server does.
int pam_result(const char* user, const char* password) {
    pam_conv conversation{answer_with_password, const_cast<char*>(password)};
    pam_handle_t* handle = nullptr;
    int result = pam_start("wharfd", user, &conversation, &handle);
    if (result == PAM_SUCCESS) result = pam_authenticate(handle, 0);
    if (result == PAM_SUCCESS) result = pam_acct_mgmt(handle, 0);
    pam_end(handle, result);
    return result;
}

std::string name_of(int family, const char* address) {
    sockaddr_storage storage{};
    socklen_t length = 0;
    if (family == AF_INET) {
        auto* in4 = reinterpret_cast<sockaddr_in*>(&storage);
        in4->sin_family = AF_INET;
        inet_pton(AF_INET, address, &in4->sin_addr);
        length = sizeof *in4;
    } else {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
        in6->sin6_family = AF_INET6;
        inet_pton(AF_INET6, address, &in6->sin6_addr);
        length = sizeof *in6;
    }
    char name[NI_MAXHOST] = "";
    if (getnameinfo(reinterpret_cast<sockaddr*>(&storage), length, name, sizeof name, nullptr, 0,
                    NI_NAMEREQD) != 0)
        return "";
    return name;
}

TEST(SiteWorld, AccountsPasswordsAndHostsAreTheSites) {
    TestSite site;
    uid_t alice = site.add_user({.name = "alice", .password = "wonderland"});
    site.add_user({.name = "bob", .uid = 2300, .shell = "/bin/bash"});
    site.add_group("staff", 3000, {"alice", "bob"});
    std::string machine_passwd = read_file("/etc/passwd");
    std::string root = site.root_path();

    ExitStatus status = run_in_site(site, [&]() {
        // getpwnam returns one static entry: check each before the next lookup.
        const passwd* ftp = getpwnam("ftp");
        if (ftp == nullptr || ftp->pw_uid != ftp_uid || root != ftp->pw_dir) return 1;
        const passwd* entry = getpwnam("alice");
        if (entry == nullptr || entry->pw_uid != alice || entry->pw_gid != users_gid ||
            site.root_path("home/alice") != entry->pw_dir || std::string(entry->pw_shell) != "/bin/sh")
            return 1;
        const passwd* bob = getpwnam("bob");
        if (bob == nullptr || bob->pw_uid != 2300) return 1;
        const group* staff = getgrnam("staff");
        if (staff == nullptr || staff->gr_mem[0] == nullptr || std::string(staff->gr_mem[0]) != "alice")
            return 1;
        if (pam_result("alice", "wonderland") != PAM_SUCCESS) return 2;
        if (pam_result("alice", "wrong") == PAM_SUCCESS) return 3;
        if (pam_result("bob", "") == PAM_SUCCESS) return 4;  // no password entry
        if (name_of(AF_INET, "127.0.0.1") != site_host_ipv4) return 5;
        if (name_of(AF_INET6, "::1") != site_host_ipv6) return 6;
        return 0;
    });
    EXPECT_EQ(status, ExitStatus::exit_code(0));
    EXPECT_EQ(read_file("/etc/passwd"), machine_passwd);

    struct stat home {};
    ASSERT_EQ(stat(site.root_path("home/alice").c_str(), &home), 0);
    EXPECT_EQ(home.st_uid, alice);
    EXPECT_EQ(home.st_mode & 07777, 0755u);
}

TEST(SiteWorld, RunDevAndRecordsArePrivate) {
    TestSite site;
    ASSERT_TRUE(site.write_nologin("closed\n"));
    ExitStatus status = run_in_site(site, []() {
        struct stat utmp {};
        struct stat wtmp {};
        struct stat null_device {};
        if (stat("/var/run/utmp", &utmp) != 0 || utmp.st_size != 0) return 1;
        if (stat("/var/log/wtmp", &wtmp) != 0 || wtmp.st_size != 0) return 2;
        if (access("/var/run/nologin", R_OK) != 0) return 3;
        if (stat("/dev/null", &null_device) != 0 || !S_ISCHR(null_device.st_mode)) return 4;
        if (access("/dev/log", F_OK) == 0) return 5;  // only servers get a capture
        std::ofstream("/var/run/wharfd.pids-test") << "1\n";
        return 0;
    });
    EXPECT_EQ(status, ExitStatus::exit_code(0));
    EXPECT_EQ(read_file(site.run_path("wharfd.pids-test")), "1\n");
    EXPECT_NE(access("/run/wharfd.pids-test", F_OK), 0);
}

TEST(SiteFiles, EntriesGetTheirAttributesAndKeepTheirParentsTimes) {
    TestSite site;
    constexpr time_t pub_time = 1600000000;
    constexpr time_t file_time = 1500000000;
    ASSERT_TRUE(site.add_dir("pub", {.mode = 0711, .uid = ftp_uid, .gid = ftp_gid, .mtime = pub_time}));
    ASSERT_TRUE(site.add_file("pub/a/b.txt", "hello\n", {.mode = 04750, .uid = 2200, .gid = 100, .mtime = file_time}));
    ASSERT_TRUE(site.add_symlink("pub/link", "a/b.txt", {.uid = 2200, .gid = 100, .mtime = file_time}));

    struct stat pub {};
    struct stat middle {};
    struct stat file {};
    struct stat link {};
    ASSERT_EQ(stat(site.root_path("pub").c_str(), &pub), 0);
    ASSERT_EQ(stat(site.root_path("pub/a").c_str(), &middle), 0);
    ASSERT_EQ(stat(site.root_path("pub/a/b.txt").c_str(), &file), 0);
    ASSERT_EQ(lstat(site.root_path("pub/link").c_str(), &link), 0);
    EXPECT_EQ(pub.st_mode & 07777, 0711u);
    EXPECT_EQ(pub.st_uid, ftp_uid);
    EXPECT_EQ(pub.st_mtime, pub_time);  // kept although entries were added below it
    EXPECT_EQ(middle.st_mode & 07777, 0755u);
    EXPECT_EQ(middle.st_uid, 0u);
    EXPECT_EQ(middle.st_mtime, site_mtime);
    EXPECT_EQ(file.st_mode & 07777, 04750u);  // set-id bits survive the chown
    EXPECT_EQ(file.st_uid, 2200u);
    EXPECT_EQ(file.st_size, 6);
    EXPECT_EQ(file.st_mtime, file_time);
    EXPECT_TRUE(S_ISLNK(link.st_mode));
    EXPECT_EQ(link.st_uid, 2200u);
    EXPECT_EQ(link.st_mtime, file_time);
}

TEST(SiteFiles, TheSiteIsRemovedAtTheEnd) {
    std::string dir;
    {
        TestSite site;
        dir = site.dir();
        ASSERT_TRUE(site.add_file("deep/er/file", "x", {.mode = 0}));
        ASSERT_TRUE(site.add_dir("locked", {.mode = 0}));
    }
    EXPECT_NE(access(dir.c_str(), F_OK), 0);
}

// The kernel queues only a few unread datagrams on a syslog socket and then blocks
// the sender; the harness drains it during every wait, so a server that logs every
// line never stalls.
TEST(SyslogCapture, ChattyServerDoesNotStall) {
    TestSite site;
    auto server = ServerProcess::start(site, {.arguments = {"-d", "-V", "-"}});
    ASSERT_NE(server, nullptr);
    EXPECT_EQ(server->client().read_reply().code, 220);
    constexpr int rounds = 40;
    for (int i = 0; i < rounds; ++i) ASSERT_EQ(server->client().command("NOOP").code, 200);
    EXPECT_EQ(server->client().command("QUIT").code, 221);
    EXPECT_EQ(server->wait_exit(), ExitStatus::exit_code(0));
    // The greeting, a command line and a reply per NOOP, the QUIT line and reply.
    EXPECT_EQ(server->log().lines().size(), 2u * rounds + 3);
    const SyslogLine& first = server->log().lines().front();
    EXPECT_EQ(first.message, "<--- 220 ftp.wharfd.test FTP server ready.");
    EXPECT_EQ(first.priority, LOG_DEBUG);
    EXPECT_EQ(first.facility, LOG_FTP);
}

// A fake server on the other end of a socket pair.
struct FakeServer {
    Fd server_end;
    std::unique_ptr<FtpClient> client;

    FakeServer() {
        int ends[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
        server_end = Fd(ends[0]);
        client = std::make_unique<FtpClient>(Fd(ends[1]));
    }
    void send(std::string_view bytes) { ASSERT_TRUE(write_all(server_end.get(), bytes)); }
};

TEST(ClientReplies, MultiLineRepliesEndAtTheirOwnCode) {
    FakeServer fake;
    fake.send("220 one line\r\n"
              "214-first\r\n    inner\r\n200 not the end\r\n214-still not\r\n214 last\r\n"
              "500 next\n");
    Reply single = fake.client->read_reply();
    EXPECT_EQ(single.code, 220);
    EXPECT_EQ(single.text(), "one line");
    Reply multi = fake.client->read_reply();
    EXPECT_EQ(multi.code, 214);
    EXPECT_THAT(multi.lines, ElementsAre("214-first", "    inner", "200 not the end", "214-still not", "214 last"));
    EXPECT_EQ(multi.raw, "214-first\r\n    inner\r\n200 not the end\r\n214-still not\r\n214 last\r\n");
    EXPECT_EQ(multi.text(), "last");
    Reply bare = fake.client->read_reply();
    EXPECT_EQ(bare.code, 500);
    EXPECT_EQ(bare.raw, "500 next\n");
}

TEST(ClientReplies, BytesBeforeAReplyAreReadExactly) {
    FakeServer fake;
    fake.send("\xff\xfe\x01" "200 ok\r\n");
    EXPECT_EQ(fake.client->read_bytes(3), "\xff\xfe\x01");
    EXPECT_EQ(fake.client->read_reply().code, 200);
}

TEST(ClientReplies, FailuresAreReportedAndDoNotWaitTwice) {
    FakeServer fake;
    fake.send("331 half a li");
    EXPECT_NONFATAL_FAILURE(EXPECT_FALSE(fake.client->read_reply(Millis(50)).complete()),
                            "timed out waiting for a reply line");
    // Broken now: the next read fails at once without a second report.
    EXPECT_FALSE(fake.client->read_reply(Millis(60000)).complete());

    FakeServer garbage;
    garbage.send("hello\r\n");
    EXPECT_NONFATAL_FAILURE(garbage.client->read_reply(), "malformed reply line");

    FakeServer closing;
    closing.send("221 bye\r\n");
    closing.server_end.reset();
    EXPECT_EQ(closing.client->read_reply().code, 221);
    EXPECT_EQ(closing.client->read_until_eof(), "");
}

TEST(ClientData, PassiveRepliesGiveTheAddress) {
    Reply pasv{.code = 227, .lines = {"227 Entering Passive Mode (127,0,0,1,4,210)"}};
    std::optional<Endpoint> endpoint = parse_pasv_reply(pasv);
    ASSERT_TRUE(endpoint);
    EXPECT_EQ(endpoint->address, "127.0.0.1");
    EXPECT_EQ(endpoint->port, 4 * 256 + 210);
    EXPECT_FALSE(parse_pasv_reply({.code = 227, .lines = {"227 Entering Passive Mode (127,0,0,256,4,210)"}}));
    EXPECT_FALSE(parse_pasv_reply({.code = 500, .lines = {"500 (127,0,0,1,4,210)"}}));

    EXPECT_EQ(parse_epsv_reply({.code = 229, .lines = {"229 Entering Extended Passive Mode (|||50123|)"}}),
              50123);
    EXPECT_FALSE(parse_epsv_reply({.code = 229, .lines = {"229 Entering Extended Passive Mode (|||0|)"}}));
}

TEST(ClientData, ActiveListenerArgumentsReachIt) {
    // The listener takes the address of the client's end of a real loopback connection.
    Endpoint control{.family = AF_INET, .address = "127.0.0.1"};
    std::optional<Fd> listener = listen_on(control);
    ASSERT_TRUE(listener);
    std::optional<Fd> client_end = connect_to(control);
    ASSERT_TRUE(client_end);
    FtpClient client(std::move(*client_end));

    std::optional<ActiveListener> active = ActiveListener::open(client);
    ASSERT_TRUE(active);
    std::uint16_t port = active->endpoint().port;
    EXPECT_EQ(active->port_argument(), "127,0,0,1," + std::to_string(port / 256) + "," + std::to_string(port % 256));
    EXPECT_EQ(active->eprt_argument(), "|1|127.0.0.1|" + std::to_string(port) + "|");

    std::optional<Fd> server_side = connect_to(active->endpoint());
    ASSERT_TRUE(server_side);
    std::optional<Fd> data = active->accept();
    ASSERT_TRUE(data);
    std::string payload(20000, 'z');  // fits the socket buffers: written before it is read
    ASSERT_TRUE(write_all(server_side->get(), payload));
    server_side->reset();
    EXPECT_EQ(read_stream(data->get()), payload);
}

}  // namespace
