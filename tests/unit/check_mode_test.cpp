// Check mode through the real binary: "wharfd -c <etc> -C user[@host]" exits 0
// when ftpusers admits the user from that host and 1 when it refuses. Runs in an
// isolated child so the binary's syslog and the test accounts stay private.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "isolated_child.h"

namespace {

constexpr const char* test_passwd =
    "root:x:0:0:root:/root:/bin/sh\n"
    "alice:x:1001:1001::/home/alice:/bin/sh\n"
    "bob:x:1002:1002::/home/bob:/bin/sh\n";
constexpr const char* test_group =
    "root:x:0:\n"
    "wheel:x:10:bob\n"
    "alice:x:1001:\n"
    "bob:x:1002:\n";

struct CheckModeCase {
    const char* name;
    const char* ftpusers;  // null: no ftpusers file
    std::vector<std::string> arguments;  // after "wharfd -c <etc>"
    int status;
};

void PrintTo(const CheckModeCase& c, std::ostream* out) { *out << c.name; }

const CheckModeCase check_mode_cases[] = {
    {"root alone refuses root", "root\n", {"-C", "root@192.0.2.1"}, 1},
    {"network deny refuses", "*@192.0.2.0/24 deny\n", {"-C", "root@192.0.2.1"}, 1},
    {"other network admitted", "*@192.0.2.0/24 deny\n", {"-C", "root@198.51.100.1"}, 0},
    {"allow before star deny", "root@192.0.2.0/24 allow\n* deny\n", {"-C", "root@192.0.2.1"}, 0},
    {"star deny refuses the rest", "root@192.0.2.0/24 allow\n* deny\n", {"-C", "root@198.51.100.1"}, 1},
    {"no ftpusers refuses", nullptr, {"-C", "root@192.0.2.1"}, 1},
    {"empty ftpusers admits", "", {"-C", "root"}, 0},
    {"IPv6 network deny refuses", "*@2001:db8::/32 deny\n", {"-C", "root@2001:db8::5"}, 1},
    {"IPv6 other network admitted", "*@2001:db8::/32 deny\n", {"-C", "root@2001:db9::5"}, 0},
    {"IPv4 network does not catch IPv6", "*@192.0.2.0/24 deny\n", {"-C", "root@2001:db8::5"}, 0},
    {"host name glob without case", "*@*.example.org deny\n", {"-C", "root@ftp.EXAMPLE.org"}, 1},
    {"other host name admitted", "*@*.example.org deny\n", {"-C", "root@ftp.example.net"}, 0},
    {"without host a host glob sees an empty name", "*@gw* deny\n", {"-C", "root"}, 0},
    {"without host a star host still matches", "*@* deny\n", {"-C", "root"}, 1},
    {"group member refused", "*:wheel deny\n", {"-C", "bob@192.0.2.1"}, 1},
    {"group non-member admitted", "*:wheel deny\n", {"-C", "alice@192.0.2.1"}, 0},
    {"unknown user has no groups", "*:* deny\n", {"-C", "nosuchuser@192.0.2.1"}, 0},
    {"later options are not looked at", "root deny\n", {"-C", "alice", "-c", "/nonexistent"}, 0},
    {"missing -C argument", "", {"-C"}, 1},
};

class CheckModeBinary : public testing::TestWithParam<CheckModeCase> {};

TEST_P(CheckModeBinary, ExitStatusIsTheVerdict) {
    const CheckModeCase& c = GetParam();
    isolated::TempDir dir;
    std::string passwd = dir.write("passwd", test_passwd);
    std::string group = dir.write("group", test_group);
    std::string nsswitch = dir.write("nsswitch.conf", "passwd: files\ngroup: files\nhosts: files\n");
    std::string etc = dir.file("etc");
    std::filesystem::create_directory(etc);
    if (c.ftpusers != nullptr) dir.write("etc/ftpusers", c.ftpusers);
    std::vector<std::string> arguments = {WHARFD_BINARY, "-c", etc};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    isolated::Result result = isolated::run(
        [&]() {
            std::vector<char*> argv;
            for (std::string& argument : arguments) argv.push_back(argument.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
            return std::string();
        },
        {{passwd, "/etc/passwd"}, {group, "/etc/group"}, {nsswitch, "/etc/nsswitch.conf"}});
    ASSERT_EQ(result.setup_error, "");
    EXPECT_EQ(result.status, c.status) << c.name;
    for (const isolated::LogLine& line : result.log) ADD_FAILURE() << "unexpected log: " << line.text;
}

INSTANTIATE_TEST_SUITE_P(Verdicts, CheckModeBinary, testing::ValuesIn(check_mode_cases),
                         [](const testing::TestParamInfo<CheckModeCase>& param_info) {
                             std::string name;
                             for (const char* p = param_info.param.name; *p != '\0'; ++p) {
                                 name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                             }
                             return name;
                         });

// Without any private files: root exists on every system, and the real binary
// reads the ftpusers of the directory it is given.
TEST(CheckMode, RootAgainstTheMachinesAccounts) {
    isolated::TempDir dir;
    dir.write("ftpusers", "root@192.0.2.0/24 deny\n");
    auto run_check = [&](const char* who) {
        pid_t child = fork();
        if (child == 0) {
            execl(WHARFD_BINARY, WHARFD_BINARY, "-c", dir.path().c_str(), "-C", who, static_cast<char*>(nullptr));
            _exit(127);
        }
        int status = 0;
        waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    EXPECT_EQ(run_check("root@192.0.2.1"), 1);
    EXPECT_EQ(run_check("root@198.51.100.1"), 0);
}

}  // namespace
