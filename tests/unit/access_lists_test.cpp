// check_access_file and is_permitted_user with the test's own users and groups
// (bind-mounted over /etc/passwd and /etc/group in an isolated child), for IPv4,
// IPv6 and name-only clients; and the network notation they rely on.
#include "login/access_lists.h"

#include <arpa/inet.h>
#include <syslog.h>

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "isolated_child.h"
#include "login/login_state.h"
#include "platform/network_notation.h"
#include "server/settings.h"

namespace {

constexpr const char* test_passwd =
    "root:x:0:0:root:/root:/bin/sh\n"
    "alice:x:1001:1001::/home/alice:/bin/sh\n"
    "bob:x:1002:1002::/home/bob:/bin/sh\n"
    "carol:x:1003:30::/home/carol:/bin/sh\n"
    "dave:x:1004:4242::/home/dave:/bin/sh\n"
    "ftp:x:1005:1005::/srv/ftp:/bin/false\n"
    "erin:x:1006:1006::/home/erin:/bin/sh\n";
// alice is in wheel as a member; carol is in ops by her primary group only; dave's
// primary group has no entry; erin is in more groups than the first group array holds.
std::string test_group() {
    std::string groups =
        "root:x:0:\n"
        "wheel:x:10:alice\n"
        "ops:x:30:\n"
        "alice:x:1001:\n"
        "bob:x:1002:\n"
        "ftp:x:1005:\n"
        "erin:x:1006:\n";
    for (int i = 1; i <= 40; ++i) groups += "g" + std::to_string(i) + ":x:" + std::to_string(2000 + i) + ":erin\n";
    return groups;
}

// The client of one check: a numeric address ("" for none) and its host name.
struct Client {
    const char* address;
    const char* name;
};

constexpr Client v4{"192.0.2.1", "gw1.example.org"};
constexpr Client v4_other{"198.51.100.9", "host.example.net"};
constexpr Client v6{"2001:db8::1", "GW2.example.org"};
constexpr Client v6_other{"2001:db9::1", "far.example.net"};
constexpr Client name_only{"", "gw3.example.org"};

struct Check {
    const char* user;
    Client client;
    int expected;
    const char* expected_class;  // null: no class word
};

struct AccessCase {
    const char* name;
    const char* file_name;  // "ftpusers" or "ftpchroot"
    const char* content;    // null: the file does not exist
    int default_result;
    std::vector<Check> checks;
    std::vector<std::string> warnings;  // every warning of all checks, in order
};

void PrintTo(const AccessCase& c, std::ostream* out) { *out << c.name; }

void set_client(const Client& client) {
    remote_addr.clear();
    if (inet_pton(AF_INET, client.address, &remote_addr.in4.sin_addr) == 1) {
        remote_addr.in4.sin_family = AF_INET;
        remote_addr.length = sizeof(sockaddr_in);
    } else if (inet_pton(AF_INET6, client.address, &remote_addr.in6.sin6_addr) == 1) {
        remote_addr.in6.sin6_family = AF_INET6;
        remote_addr.length = sizeof(sockaddr_in6);
    }
    std::snprintf(client_name, sizeof client_name, "%s", client.name);
}

const AccessCase access_cases[] = {
    {"user without permission word is denied", "ftpusers", "root\n", 1,
     {{"root", v4, 0, nullptr}, {"alice", v4, 1, nullptr}}, {}},
    {"allow permits", "ftpusers", "root allow\n", 1, {{"root", v4, 1, nullptr}}, {}},
    {"star deny turns the default into denial", "ftpusers", "bob allow\n* deny\n", 1,
     {{"bob", v4, 1, nullptr}, {"alice", v4, 0, nullptr}, {"nosuchuser", v6, 0, nullptr}}, {}},
    {"first matching line wins", "ftpusers", "* deny\nbob allow\n", 1, {{"bob", v4, 0, nullptr}}, {}},
    {"permission words without case", "ftpusers", "root YES\nbob No\nalice Allow\ncarol DENY\ndave maybe\n",
     1,
     {{"root", v4, 1, nullptr}, {"bob", v4, 0, nullptr}, {"alice", v4, 1, nullptr},
      {"carol", v4, 0, nullptr}, {"dave", v4, 0, nullptr}},
     {}},
    {"user globs", "ftpusers", "a* deny\n?o? deny\n[c]arol deny\n", 1,
     {{"alice", v4, 0, nullptr}, {"bob", v4, 0, nullptr}, {"carol", v4, 0, nullptr},
      {"dave", v4, 1, nullptr}, {"Alice", v4, 1, nullptr}},
     {}},
    {"ftpchroot confines the listed user", "ftpchroot", "bob\n", 0,
     {{"bob", v4, 1, nullptr}, {"alice", v4, 0, nullptr}}, {}},
    {"ftpchroot deny does not confine", "ftpchroot", "bob deny\n", 0, {{"bob", v4, 0, nullptr}}, {}},
    {"IPv4 network", "ftpusers", "*@192.0.2.0/24 deny\n", 1,
     {{"alice", v4, 0, nullptr}, {"alice", v4_other, 1, nullptr}, {"alice", v6, 1, nullptr},
      {"alice", name_only, 1, nullptr}},
     {}},
    {"IPv4 network with a partial byte", "ftpusers", "*@192.0.2.0/31 deny\n*@198.51.100.8/29 deny\n", 1,
     {{"alice", v4, 0, nullptr}, {"alice", {"192.0.2.2", "x"}, 1, nullptr}, {"alice", v4_other, 0, nullptr},
      {"alice", {"198.51.100.16", "x"}, 1, nullptr}},
     {}},
    {"IPv4 single address", "ftpusers", "*@192.0.2.1 deny\n", 1,
     {{"bob", v4, 0, nullptr}, {"bob", {"192.0.2.2", "x"}, 1, nullptr}}, {}},
    {"IPv4 classful networks", "ftpusers", "*@192.0.2 deny\n*@10 deny\n*@172.16 deny\n", 1,
     {{"bob", {"192.0.2.77", "x"}, 0, nullptr}, {"bob", {"192.0.3.1", "x"}, 1, nullptr},
      {"bob", {"10.200.1.1", "x"}, 0, nullptr}, {"bob", {"172.16.9.9", "x"}, 0, nullptr},
      {"bob", {"172.17.0.1", "x"}, 1, nullptr}},
     {}},
    {"host bits written never match", "ftpusers", "*@10.1.2.3/8 deny\n", 1,
     {{"bob", {"10.1.2.3", "x"}, 1, nullptr}, {"bob", {"10.0.0.0", "x"}, 1, nullptr}}, {}},
    {"whole IPv4 network", "ftpusers", "*@10.0.0.0/8 deny\n", 1, {{"bob", {"10.1.2.3", "x"}, 0, nullptr}},
     {}},
    {"host glob without case", "ftpusers", "*@gw* deny\n", 1,
     {{"bob", v4, 0, nullptr}, {"bob", v6, 0, nullptr}, {"bob", name_only, 0, nullptr},
      {"bob", v4_other, 1, nullptr}},
     {}},
    {"IPv4 network against an IPv6 client is a name glob", "ftpusers", "*@192.168.0.0/16 deny\n", 1,
     {{"bob", {"2001:db8::5", "192.168.0.0/16"}, 0, nullptr}, {"bob", v6, 1, nullptr}}, {}},
    {"IPv6 network", "ftpusers", "*@2001:db8::/32 deny\n", 1,
     {{"bob", v6, 0, nullptr}, {"bob", v6_other, 1, nullptr}, {"bob", v4, 1, nullptr}}, {}},
    {"IPv6 network with a partial byte", "ftpusers", "*@2001:db8:0:10::/60 deny\n", 1,
     {{"bob", {"2001:db8:0:1f::1", "x"}, 0, nullptr}, {"bob", {"2001:db8:0:20::1", "x"}, 1, nullptr}}, {}},
    {"IPv6 single address", "ftpusers", "*@2001:db8::1 deny\n", 1,
     {{"bob", v6, 0, nullptr}, {"bob", {"2001:db8::2", "x"}, 1, nullptr}}, {}},
    {"IPv6 host bits written never match", "ftpusers", "*@2001:db8::1/32 deny\n", 1,
     {{"bob", v6, 1, nullptr}}, {}},
    {"IPv6 whole space", "ftpusers", "*@::/0 deny\n", 1, {{"bob", v6, 0, nullptr}, {"bob", v4, 1, nullptr}},
     {}},
    {"IPv6 prefix too long is a name glob", "ftpusers", "*@2001:db8::/129 deny\n", 1,
     {{"bob", v6, 1, nullptr}, {"bob", {"2001:db8::3", "2001:DB8::/129"}, 0, nullptr}}, {}},
    {"IPv4-mapped network for an IPv6 client", "ftpusers", "*@::ffff:192.0.2.0/120 deny\n", 1,
     {{"bob", {"::ffff:192.0.2.9", "x"}, 0, nullptr}}, {}},
    {"group member", "ftpusers", "*:wheel deny\n", 1,
     {{"alice", v4, 0, nullptr}, {"bob", v4, 1, nullptr}, {"carol", v4, 1, nullptr}}, {}},
    {"group by primary group", "ftpusers", "*:ops deny\n", 1,
     {{"carol", v4, 0, nullptr}, {"alice", v4, 1, nullptr}}, {}},
    {"group glob", "ftpusers", "*:w?ee* deny\n", 1, {{"alice", v4, 0, nullptr}}, {}},
    {"group of an unknown user never matches", "ftpusers", "*:* deny\n", 1,
     {{"nosuchuser", v4, 1, nullptr}, {"bob", v4, 0, nullptr}}, {}},
    {"group list longer than the first array", "ftpusers", "*:g40 deny\n", 1,
     {{"erin", v4, 0, nullptr}, {"alice", v4, 1, nullptr}}, {}},
    {"unknown group ids are skipped", "ftpusers", "*:* deny\n", 1, {{"dave", v4, 1, nullptr}}, {}},
    {"user, group and host together", "ftpusers", "alice:wheel@192.0.2.0/24 deny\n", 1,
     {{"alice", v4, 0, nullptr}, {"alice", v4_other, 1, nullptr}, {"bob", v4, 1, nullptr}}, {}},
    {"user and host", "ftpusers", "bob@gw* deny\n", 1,
     {{"bob", name_only, 0, nullptr}, {"alice", name_only, 1, nullptr}}, {}},
    {"class word of the matching line", "ftpusers", "ftp allow guestclass\nalice deny blocked\n", 1,
     {{"ftp", v4, 1, "guestclass"}, {"alice", v4, 0, "blocked"}, {"bob", v4, 1, nullptr}}, {}},
    {"blanks, tabs, comments and extra words", "ftpusers",
     "# the list\n\n  root \t allow\tstaff  extra words # note\n", 1, {{"root", v4, 1, "staff"}}, {}},
    {"reserved class words reported at every check", "ftpusers", "bob allow all\n\nalice deny NONE\n", 1,
     {{"bob", v4, 1, nullptr}, {"carol", v4, 1, nullptr}},
     {"ftpusers line 1: illegal user-defined class `all' - skipping entry",
      "ftpusers line 3: illegal user-defined class `NONE' - skipping entry",
      "ftpusers line 1: illegal user-defined class `all' - skipping entry",
      "ftpusers line 3: illegal user-defined class `NONE' - skipping entry"}},
    {"reserved class skipped before a later deny", "ftpusers", "bob allow all\n* deny\n", 1,
     {{"bob", v4, 0, nullptr}}, {"ftpusers line 1: illegal user-defined class `all' - skipping entry"}},
    {"missing ftpusers permits nobody", "ftpusers", nullptr, 1, {{"root", v4, 0, nullptr}}, {}},
    {"missing ftpchroot confines nobody", "ftpchroot", nullptr, 0, {{"bob", v4, 0, nullptr}}, {}},
    {"empty ftpusers permits everybody", "ftpusers", "", 1,
     {{"root", v4, 1, nullptr}, {"nosuchuser", v6, 1, nullptr}}, {}},
    {"comment-only ftpchroot confines nobody", "ftpchroot", "# nobody\n", 0, {{"bob", v4, 0, nullptr}}, {}},
};

class AccessListCase : public testing::TestWithParam<AccessCase> {};

TEST_P(AccessListCase, DecidesAsTheFileSays) {
    const AccessCase& c = GetParam();
    isolated::TempDir dir;
    std::string passwd = dir.write("passwd", test_passwd);
    std::string group = dir.write("group", test_group());
    std::string nsswitch = dir.write("nsswitch.conf", "passwd: files\ngroup: files\nhosts: files\n");
    std::string etc = dir.file("etc");
    std::filesystem::create_directory(etc);
    if (c.content != nullptr) dir.write(std::string("etc/") + c.file_name, c.content);
    isolated::Result result = isolated::run(
        [&]() {
            config_dir = etc.c_str();
            std::ostringstream out;
            for (const Check& check : c.checks) {
                set_client(check.client);
                user_account = copy_passwd_entry(check.user);
                char* class_word = reinterpret_cast<char*>(1);  // must be reset at entry
                int verdict = check_access_file(c.file_name, check.user, c.default_result, &class_word);
                out << verdict << " " << (class_word != nullptr ? class_word : "(null)") << "\n";
                std::free(class_word);
            }
            return out.str();
        },
        {{passwd, "/etc/passwd"}, {group, "/etc/group"}, {nsswitch, "/etc/nsswitch.conf"}});
    ASSERT_EQ(result.setup_error, "");
    ASSERT_EQ(result.status, 0);
    std::istringstream in(result.output);
    for (const Check& check : c.checks) {
        int verdict = -1;
        std::string class_word;
        in >> verdict >> class_word;
        EXPECT_EQ(verdict, check.expected) << check.user << " from " << check.client.address << " / "
                                           << check.client.name;
        EXPECT_EQ(class_word, check.expected_class != nullptr ? check.expected_class : "(null)")
            << check.user;
    }
    std::vector<std::string> warnings;
    for (const isolated::LogLine& line : result.log) {
        EXPECT_EQ(line.priority, LOG_FTP | LOG_WARNING) << line.text;
        warnings.push_back(line.text);
    }
    EXPECT_EQ(warnings, c.warnings);
}

INSTANTIATE_TEST_SUITE_P(Lines, AccessListCase, testing::ValuesIn(access_cases),
                         [](const testing::TestParamInfo<AccessCase>& param_info) {
                             std::string name;
                             for (const char* p = param_info.param.name; *p != '\0'; ++p) {
                                 name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                             }
                             return name;
                         });

TEST(IsPermittedUser, ChecksFtpusersWithDefaultOne) {
    isolated::TempDir dir;
    dir.write("ftpusers", "root\n# others are welcome\n");
    std::string directory = dir.path();
    isolated::Result result = isolated::run([&]() {
        config_dir = directory.c_str();
        set_client(v4);
        return std::to_string(is_permitted_user("root")) + std::to_string(is_permitted_user("nobody"));
    });
    ASSERT_EQ(result.setup_error, "");
    EXPECT_EQ(result.output, "01");
}

TEST(AccessFile, AbsoluteNameIsUsedAsItIs) {
    isolated::TempDir dir;
    std::string list = dir.write("list", "bob deny\n");
    isolated::Result result = isolated::run([&]() {
        config_dir = "/nonexistent";
        set_client(v4);
        return std::to_string(check_access_file(list.c_str(), "bob", 1, nullptr)) +
               std::to_string(check_access_file(list.c_str(), "alice", 1, nullptr));
    });
    ASSERT_EQ(result.setup_error, "");
    EXPECT_EQ(result.output, "01");
}

struct NetworkCase {
    int family;
    const char* text;
    int bits;                  // -1: not a network
    std::vector<int> bytes;    // the leading bytes written
};

TEST(ParseNetwork, ReadsPrefixLengthsAndAddresses) {
    const NetworkCase cases[] = {
        {AF_INET, "192.0.2.1", 32, {192, 0, 2, 1}},
        {AF_INET, "192.168.0.0/16", 16, {192, 168, 0, 0}},
        {AF_INET, "10.1.2.3/8", 8, {10, 1, 2, 3}},
        {AF_INET, "10", 8, {10}},
        {AF_INET, "172.16", 16, {172, 16}},
        {AF_INET, "192.0.2", 24, {192, 0, 2}},
        {AF_INET, "192.168", 24, {192, 168, 0}},
        {AF_INET, "1.2.3.4.5", -1, {}},
        {AF_INET, "10.1.2.3/33", -1, {}},
        {AF_INET, "gw*", -1, {}},
        {AF_INET, "2001:db8::/32", -1, {}},
        {AF_INET6, "2001:db8::/32", 32, {0x20, 0x01, 0x0d, 0xb8, 0, 0}},
        {AF_INET6, "2001:db8::1", 128, {0x20, 0x01, 0x0d, 0xb8}},
        {AF_INET6, "2001:db8::1/64", 64, {0x20, 0x01, 0x0d, 0xb8}},
        {AF_INET6, "::/0", 0, {0, 0}},
        {AF_INET6, "::ffff:192.0.2.0/120", 120, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 192, 0, 2, 0}},
        {AF_INET6, "2001:db8::/128", 128, {0x20}},
        {AF_INET6, "2001:db8::/129", -1, {}},
        {AF_INET6, "2001:db8::/064", -1, {}},
        {AF_INET6, "2001:db8::/", -1, {}},
        {AF_INET6, "2001:db8::/6x", -1, {}},
        {AF_INET6, "2001:db8::/-1", -1, {}},
        {AF_INET6, "/32", -1, {}},
        {AF_INET6, "", -1, {}},
        {AF_INET6, "192.0.2.1", -1, {}},
        {AF_INET6, "2001:db8:::1", -1, {}},
        {AF_INET6, "gw*", -1, {}},
        {AF_UNSPEC, "192.0.2.1", -1, {}},
    };
    for (const NetworkCase& c : cases) {
        unsigned char network[16] = {};
        std::size_t size = c.family == AF_INET ? 4 : 16;
        EXPECT_EQ(parse_network(c.family, c.text, network, size), c.bits) << c.text;
        for (std::size_t i = 0; i < c.bytes.size(); ++i) {
            EXPECT_EQ(network[i], c.bytes[i]) << c.text << " byte " << i;
        }
    }
    // An IPv6 buffer that is too small is refused rather than overrun.
    unsigned char small[8] = {};
    EXPECT_EQ(parse_network(AF_INET6, "2001:db8::/32", small, sizeof small), -1);
    std::string long_text(200, '1');
    unsigned char network[16] = {};
    EXPECT_EQ(parse_network(AF_INET6, long_text.c_str(), network, sizeof network), -1);
}

}  // namespace
