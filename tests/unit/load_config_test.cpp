// load_config and config_file_path: class matching, templates, every kind of
// directive with its ranges and warnings, guest defaults and conversions. Each
// load runs in an isolated child whose syslog lines the test reads.
#include "config/class_settings.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <syslog.h>

#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "isolated_child.h"
#include "server/settings.h"

namespace {

std::string text_or_null(const char* text) { return text != nullptr ? text : "(null)"; }

std::string address_text(const SocketAddress& address) {
    if (address.length == 0) return "";
    char text[INET6_ADDRSTRLEN] = "";
    inet_ntop(address.family(), address.address_bytes(), text, sizeof text);
    return std::to_string(address.family()) + " " + text;
}

// Every field of curclass as "name=value" lines.
std::string describe_curclass() {
    std::ostringstream out;
    out << "advertise=" << address_text(curclass.advertise) << "\n";
    out << "chroot=" << text_or_null(curclass.chroot) << "\n";
    out << "classname=" << text_or_null(curclass.classname) << "\n";
    out << "conversions=";
    for (const ConversionRule* rule = curclass.conversions; rule != nullptr; rule = rule->next) {
        out << "[" << text_or_null(rule->suffix) << "|" << text_or_null(rule->types) << "|"
            << text_or_null(rule->disable) << "|" << text_or_null(rule->command) << "]";
    }
    out << "\n";
    out << "display=" << text_or_null(curclass.display) << "\n";
    out << "homedir=" << text_or_null(curclass.homedir) << "\n";
    char flags[16];
    std::snprintf(flags, sizeof flags, "0x%02x", curclass.flags);
    out << "flags=" << flags << "\n";
    out << "limit=" << curclass.limit << "\n";
    out << "limitfile=" << text_or_null(curclass.limitfile) << "\n";
    out << "maxfilesize=" << curclass.maxfilesize << "\n";
    out << "maxrateget=" << curclass.maxrateget << "\n";
    out << "maxrateput=" << curclass.maxrateput << "\n";
    out << "maxtimeout=" << curclass.maxtimeout << "\n";
    out << "motd=" << text_or_null(curclass.motd) << "\n";
    out << "notify=" << text_or_null(curclass.notify) << "\n";
    out << "portmin=" << curclass.portmin << "\n";
    out << "portmax=" << curclass.portmax << "\n";
    out << "rateget=" << curclass.rateget << "\n";
    out << "rateput=" << curclass.rateput << "\n";
    out << "timeout=" << curclass.timeout << "\n";
    out << "type=" << static_cast<int>(curclass.type) << "\n";
    char mask[16];
    std::snprintf(mask, sizeof mask, "0%03o", static_cast<unsigned>(curclass.umask));
    out << "umask=" << mask << "\n";
    out << "mmapsize=" << curclass.mmapsize << "\n";
    out << "readsize=" << curclass.readsize << "\n";
    out << "writesize=" << curclass.writesize << "\n";
    out << "recvbufsize=" << curclass.recvbufsize << "\n";
    out << "sendbufsize=" << curclass.sendbufsize << "\n";
    out << "sendlowat=" << curclass.sendlowat << "\n";
    return out.str();
}

std::map<std::string, std::string> parse_description(const std::string& text) {
    std::map<std::string, std::string> fields;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::size_t equals = line.find('=');
        if (equals != std::string::npos) fields[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return fields;
}

struct Loaded {
    std::map<std::string, std::string> fields;
    std::vector<std::string> warnings;  // texts of LOG_WARNING lines
    std::vector<std::string> others;    // lines at any other priority
};

// Load `class_name` from a wharfd.conf holding `config` (none when `config` is
// null) in a fresh directory, in an isolated child. `before` runs first there.
Loaded load(const char* config, const char* class_name, const isolated::Binds& binds = {},
            void (*before)() = nullptr) {
    isolated::TempDir dir;
    if (config != nullptr) dir.write("wharfd.conf", config);
    std::string directory = dir.path();
    isolated::Result result = isolated::run(
        [&]() {
            config_dir = directory.c_str();
            if (before != nullptr) before();
            curclass.type = REAL;
            load_config(class_name);
            return describe_curclass();
        },
        binds);
    EXPECT_EQ(result.setup_error, "");
    EXPECT_EQ(result.status, 0);
    Loaded loaded;
    loaded.fields = parse_description(result.output);
    for (const isolated::LogLine& line : result.log) {
        std::string text = line.text;
        std::string prefix = dir.file("wharfd.conf") + " ";
        if (text.compare(0, prefix.size(), prefix) == 0) text = text.substr(prefix.size());
        if (line.priority == (LOG_FTP | LOG_WARNING)) loaded.warnings.push_back(text);
        else loaded.others.push_back(text);
    }
    return loaded;
}

struct ConfigCase {
    const char* name;
    const char* config;
    const char* class_name;
    std::map<std::string, std::string> expected;  // fields that must have these values
    std::vector<std::string> warnings;            // exactly these, path prefix removed
};

const ConfigCase config_cases[] = {
    {"defaults without a file", nullptr, "mine",
     {{"flags", "0x99"}, {"umask", "0027"}, {"motd", "motd"}, {"timeout", "900"}, {"limit", "-1"},
      {"maxtimeout", "7200"}, {"maxfilesize", "-1"}, {"classname", "mine"}, {"type", "2"}},
     {}},
    {"guest defaults", nullptr, "guest", {{"flags", "0x91"}, {"umask", "0707"}}, {}},
    {"guest defaults in any case", nullptr, "Guest", {{"flags", "0x91"}, {"umask", "0707"}}, {}},
    {"guest defaults by name only", nullptr, "guests", {{"flags", "0x99"}, {"umask", "0027"}}, {}},
    {"guest defaults with a file", "rateget all 1k\n", "GUEST", {{"flags", "0x91"}, {"umask", "0707"}}, {}},
    {"all lines for every class", "rateget all 1k\nlimit all 3\n", "anyone",
     {{"rateget", "1024"}, {"maxrateget", "1024"}, {"limit", "3"}}, {}},
    {"class line overrides an earlier all line", "timeout all 600\ntimeout mine 700\n", "mine",
     {{"timeout", "700"}}, {}},
    {"later all line overrides the class line",
     "timeout all 600\ntimeout mine 700\ntimeout all 800\n", "mine", {{"timeout", "800"}}, {}},
    {"class field compared without case", "timeout MINE 700\n", "mine", {{"timeout", "700"}}, {}},
    {"lines of other classes do not apply", "timeout other 700\nbogus other x\n", "mine",
     {{"timeout", "900"}}, {}},
    {"none switches passive off", "passive none\n", "mine", {{"flags", "0x89"}}, {}},
    {"none ignores the argument", "passive all off\npassive none on\n", "mine", {{"flags", "0x89"}}, {}},
    {"on and no switch checkportcmd on", "checkportcmd all off\ncheckportcmd all no\n", "mine",
     {{"flags", "0x99"}}, {}},
    {"only off switches off", "checkportcmd all OFF\n", "mine", {{"flags", "0x98"}}, {}},
    {"flag without argument switches on", "denyquick all\nprivate all yes\nsanenames all on\n"
     "hidesymlinks all x\n", "mine", {{"flags", "0xff"}}, {}},
    {"upload off also switches modify off", "upload myclass off\n", "myclass", {{"flags", "0x11"}}, {}},
    {"modify after upload off", "upload myclass off\nmodify myclass\n", "myclass",
     {{"flags", "0x19"}}, {}},
    {"upload none also switches modify off", "upload none\n", "mine", {{"flags", "0x11"}}, {}},
    {"modify off leaves upload on", "modify all off\n", "mine", {{"flags", "0x91"}}, {}},
    {"template line before the template's lines", "template mine real\nrateget real 10k\n", "mine",
     {{"rateget", "10240"}}, {}},
    {"template's lines before the template line do not apply",
     "rateget real 10k\ntemplate mine real\nrateput real 5k\n", "mine",
     {{"rateget", "0"}, {"rateput", "5120"}, {"maxrateput", "5120"}}, {}},
    {"template of another class does not apply", "template other real\nrateget real 10k\n", "mine",
     {{"rateget", "0"}}, {}},
    {"template without argument forgets the template",
     "template mine real\ntemplate mine\nrateget real 10k\n", "mine", {{"rateget", "0"}}, {}},
    {"template ignored on a none line", "template mine real\ntemplate none other\nrateget real 1k\n",
     "mine", {{"rateget", "1024"}}, {}},
    {"template compared without case", "template mine Real\nrateget REAL 1k\n", "mine",
     {{"rateget", "1024"}}, {}},
    {"timeout above the default maxtimeout", "timeout all 10000\n", "mine",
     {{"timeout", "900"}, {"maxtimeout", "7200"}}, {"line 1: timeout 10000 is greater than 7200."}},
    {"maxtimeout before timeout", "maxtimeout all 20000\ntimeout all 10000\n", "mine",
     {{"timeout", "10000"}, {"maxtimeout", "20000"}}, {}},
    {"timeout below 30", "timeout all 29\n", "mine", {{"timeout", "900"}},
     {"line 1: timeout 29 is less than 30."}},
    {"maxtimeout below 30", "maxtimeout all 10\n", "mine", {{"maxtimeout", "7200"}},
     {"line 1: maxtimeout 10 is less than 30."}},
    {"bad number keeps the default", "maxfilesize all 1m\nmaxfilesize all 10K\n", "mine",
     {{"maxfilesize", "-1"}}, {"line 2: maxfilesize `10K': illegal number"}},
    {"number directives", "maxfilesize all 2mx3\nmmapsize all 1m\nreadsize all 8k\nwritesize all 4k\n"
     "recvbufsize all 64k\nsendbufsize all 32k\nsendlowat all 1k\n", "mine",
     {{"maxfilesize", "6291456"}, {"mmapsize", "1048576"}, {"readsize", "8192"}, {"writesize", "4096"},
      {"recvbufsize", "65536"}, {"sendbufsize", "32768"}, {"sendlowat", "1024"}},
     {}},
    {"socket sizes stop at 2147483647", "recvbufsize all 2147483648\nsendbufsize all 2g\n", "mine",
     {{"recvbufsize", "0"}, {"sendbufsize", "0"}},
     {"line 1: recvbufsize 2147483648 is greater than 2147483647.",
      "line 2: sendbufsize 2147483648 is greater than 2147483647."}},
    {"rates cannot be negative", "rateget all -1\n", "mine", {{"rateget", "0"}, {"maxrateget", "0"}},
     {"line 1: rateget -1 is less than 0."}},
    {"none puts a number back to its default", "rateput all 7\nrateput none 9\n", "mine",
     {{"rateput", "0"}, {"maxrateput", "0"}}, {}},
    {"strings", "chroot all /srv/%u\nhomedir all /pub\ndisplay all .message\nnotify all README*\n"
     "motd all welcome.txt\n", "mine",
     {{"chroot", "/srv/%u"}, {"homedir", "/pub"}, {"display", ".message"}, {"notify", "README*"},
      {"motd", "welcome.txt"}},
     {}},
    {"motd none switches it off", "motd none\n", "mine", {{"motd", "(null)"}}, {}},
    {"string without argument is null", "chroot all /x\nchroot all\n", "mine", {{"chroot", "(null)"}},
     {}},
    {"limit with a file", "limit all 10 full.msg\n", "mine",
     {{"limit", "10"}, {"limitfile", "full.msg"}}, {}},
    {"limit file keeps a leading blank", "limit all 10  full.msg\n", "mine",
     {{"limit", "10"}, {"limitfile", " full.msg"}}, {}},
    {"limit without a file", "limit all 10 full.msg\nlimit all 5\n", "mine",
     {{"limit", "5"}, {"limitfile", "(null)"}}, {}},
    {"bad limit", "limit all 4 x.msg\nlimit all many x.msg\n", "mine",
     {{"limit", "-1"}, {"limitfile", "(null)"}}, {"line 2: limit `many': illegal number"}},
    {"portrange", "portrange all 40000 50000\n", "mine", {{"portmin", "40000"}, {"portmax", "50000"}},
     {}},
    {"portrange min not below max", "portrange all 40000 50000\nportrange all 50000 40000\n", "mine",
     {{"portmin", "0"}, {"portmax", "0"}}, {"line 2: minport 50000 >= maxport 40000"}},
    {"portrange equal ports", "portrange all 40000 40000\n", "mine", {{"portmin", "0"}},
     {"line 1: minport 40000 >= maxport 40000"}},
    {"portrange trailing word", "portrange all 40000 50000 x\n", "mine",
     {{"portmin", "0"}, {"portmax", "0"}}, {"line 1: maxport `50000 x': illegal number"}},
    {"portrange missing max", "portrange all 40000\n", "mine", {{"portmin", "0"}, {"portmax", "0"}},
     {"line 1: missing maxport argument"}},
    {"portrange min out of range", "portrange all 1000 2000\n", "mine", {{"portmin", "0"}},
     {"line 1: minport 1000 is less than 1024."}},
    {"portrange max out of range", "portrange all 2000 70000\n", "mine", {{"portmax", "0"}},
     {"line 1: maxport 70000 is greater than 65535."}},
    {"portrange none", "portrange all 40000 50000\nportrange none\n", "mine", {{"portmin", "0"}}, {}},
    {"umask 0777", "umask all 0777\n", "mine", {{"umask", "0777"}}, {}},
    {"umask 0778", "umask all 0778\n", "mine", {{"umask", "0027"}}, {"line 1: invalid umask 0778"}},
    {"umask 1000", "umask all 022\numask all 1000\n", "mine", {{"umask", "0027"}},
     {"line 2: invalid umask 1000"}},
    {"umask with trailing text", "umask all 22x\n", "mine", {{"umask", "0027"}},
     {"line 1: invalid umask 22x"}},
    {"umask negative", "umask all -1\n", "mine", {{"umask", "0027"}}, {"line 1: invalid umask -1"}},
    {"classtype", "classtype all chroot\n", "mine", {{"type", "1"}}, {}},
    {"classtype guest", "classtype mine GUEST\n", "mine", {{"type", "0"}}, {}},
    {"unknown class type", "classtype all CHROOT\nclasstype all ADMIN\n", "mine", {{"type", "1"}},
     {"line 2: unknown class type `ADMIN'"}},
    {"classtype none does nothing", "classtype all chroot\nclasstype none real\n", "mine",
     {{"type", "1"}}, {}},
    {"unknown directive", "Bogus all x\ntimeout all 100\n", "mine", {{"timeout", "100"}},
     {"line 1: unknown directive 'Bogus'"}},
    {"directive compared without case", "TimeOut all 100\n", "mine", {{"timeout", "100"}}, {}},
    {"one-word lines are skipped silently", "timeout\npassive\n\n   \n# comment\n", "mine",
     {{"timeout", "900"}, {"flags", "0x99"}}, {}},
    {"line counter counts continued lines", "# first\ntimeout all \\\n10000\nbogus all\n", "mine",
     {{"timeout", "900"}},
     {"line 3: timeout 10000 is greater than 7200.", "line 4: unknown directive 'bogus'"}},
    {"comments and escapes in lines", "motd all msg\\#1 # comment\nnotify all a\\\\b\n", "mine",
     {{"motd", "msg#1"}, {"notify", "a\\b"}}, {}},
    {"tabs separate words", "timeout\tall\t\t120\n", "mine", {{"timeout", "120"}}, {}},
    {"a bad line does not stop the reading", "timeout all x\nrateget all 1\n", "mine",
     {{"timeout", "900"}, {"rateget", "1"}}, {"line 1: timeout `x': illegal number"}},
    {"conversions in first-appearance order",
     "conversion all .gz f . /bin/gzip -c %s\n"
     "conversion all .Z f,d /dev/null /bin/compress  -c %s\n"
     "conversion all .gz d /x   /bin/gzip -9 -c %s\n",
     "mine",
     {{"conversions", "[.gz|d|/x|/bin/gzip -9 -c %s][.Z|f,d|/dev/null|/bin/compress  -c %s]"}}, {}},
    {"conversion none makes a rule inert", "conversion all .gz f . /bin/gzip -c %s\nconversion none .gz\n",
     "mine", {{"conversions", "[.gz|(null)|(null)|(null)]"}}, {}},
    {"conversion none for a new suffix", "conversion none .bz2 f . /bin/bzip2\n", "mine",
     {{"conversions", "[.bz2|(null)|(null)|(null)]"}}, {}},
    {"conversion without command is inert", "conversion all .tar f .\n", "mine",
     {{"conversions", "[.tar|(null)|(null)|(null)]"}}, {}},
    {"conversion without suffix", "conversion all\nConversion none\n", "mine", {{"conversions", ""}},
     {"line 1: conversion requires a suffix", "line 2: Conversion requires a suffix"}},
    {"conversion suffix compared with case", "conversion all .Z f . a\nconversion all .z f . b\n", "mine",
     {{"conversions", "[.Z|f|.|a][.z|f|.|b]"}}, {}},
    {"advertise a numeric address", "advertise all 192.0.2.7\n", "mine",
     {{"advertise", "2 192.0.2.7"}}, {}},
    {"advertize a numeric IPv6 address", "advertize all 2001:db8::7\n", "mine",
     {{"advertise", "10 2001:db8::7"}}, {}},
    {"advertise none clears it", "advertise all 192.0.2.7\nadvertise none\n", "mine",
     {{"advertise", ""}}, {}},
};

// gtest shows a failing case by its name.
void PrintTo(const ConfigCase& c, std::ostream* out) { *out << c.name; }

class LoadConfigCase : public testing::TestWithParam<ConfigCase> {};

TEST_P(LoadConfigCase, AppliesTheFile) {
    const ConfigCase& c = GetParam();
    Loaded loaded = load(c.config, c.class_name);
    for (const auto& [field, value] : c.expected) {
        auto found = loaded.fields.find(field);
        ASSERT_NE(found, loaded.fields.end()) << c.name << ": " << field;
        EXPECT_EQ(found->second, value) << c.name << ": " << field;
    }
    EXPECT_EQ(loaded.warnings, c.warnings) << c.name;
    EXPECT_TRUE(loaded.others.empty()) << c.name;
}

INSTANTIATE_TEST_SUITE_P(Directives, LoadConfigCase, testing::ValuesIn(config_cases),
                         [](const testing::TestParamInfo<ConfigCase>& param_info) {
                             std::string name;
                             for (const char* p = param_info.param.name; *p != '\0'; ++p) {
                                 name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                             }
                             return name;
                         });

// Host names resolve from a test hosts file only, so no lookup leaves the machine.
TEST(LoadConfigAdvertise, ResolvesInTheControlConnectionsFamily) {
    isolated::TempDir files;
    std::string hosts = files.write("hosts",
                                    "192.0.2.10 single.test\n"
                                    "192.0.2.11 multi.test\n"
                                    "192.0.2.12 multi.test\n"
                                    "2001:db8::10 single.test six.test\n");
    std::string nsswitch = files.write("nsswitch.conf", "passwd: files\ngroup: files\nhosts: files\n");
    isolated::Binds binds = {{hosts, "/etc/hosts"}, {nsswitch, "/etc/nsswitch.conf"}};
    auto as_ipv4 = []() {
        local_addr.clear();
        local_addr.in4.sin_family = AF_INET;
        local_addr.length = sizeof(sockaddr_in);
    };
    auto as_ipv6 = []() {
        local_addr.clear();
        local_addr.in6.sin6_family = AF_INET6;
        local_addr.length = sizeof(sockaddr_in6);
    };

    Loaded single = load("advertise all single.test\n", "mine", binds, as_ipv4);
    EXPECT_EQ(single.fields["advertise"], "2 192.0.2.10");
    EXPECT_TRUE(single.warnings.empty());

    Loaded single6 = load("advertise all single.test\n", "mine", binds, as_ipv6);
    EXPECT_EQ(single6.fields["advertise"], "10 2001:db8::10");

    Loaded multi = load("advertize all multi.test\n", "mine", binds, as_ipv4);
    EXPECT_EQ(multi.fields["advertise"], "");
    EXPECT_EQ(multi.warnings, std::vector<std::string>{
                                  "line 1: multiple addresses returned for `multi.test'; please be more specific"});

    // A name with addresses of both families is ambiguous without a family.
    Loaded unspecified = load("advertise all single.test\n", "mine", binds);
    EXPECT_EQ(unspecified.fields["advertise"], "");
    ASSERT_EQ(unspecified.warnings.size(), 1u);
    EXPECT_NE(unspecified.warnings[0].find("multiple addresses"), std::string::npos);

    Loaded missing = load("advertise all 192.0.2.5\nadvertise all nowhere.test\n", "mine", binds, as_ipv4);
    EXPECT_EQ(missing.fields["advertise"], "");
    EXPECT_EQ(missing.warnings, std::vector<std::string>{std::string("line 2: ") + gai_strerror(EAI_NONAME)});

    Loaded wrong_family = load("advertise all six.test\n", "mine", binds, as_ipv4);
    EXPECT_EQ(wrong_family.fields["advertise"], "");
    EXPECT_EQ(wrong_family.warnings.size(), 1u);
}

TEST(ConfigFilePath, JoinsRelativeNamesToTheConfigDirectory) {
    const char* saved = config_dir;
    config_dir = "/etc/wharfd-test";
    EXPECT_STREQ(config_file_path("ftpusers"), "/etc/wharfd-test/ftpusers");
    EXPECT_STREQ(config_file_path("/var/msg/full"), "/var/msg/full");
    std::string long_name(2000, 'x');
    std::string cut = config_file_path(long_name.c_str());
    EXPECT_EQ(cut.size(), 1023u);
    EXPECT_EQ(cut.substr(0, 18), "/etc/wharfd-test/x");
    config_dir = saved;
}

}  // namespace
