// The STAT report in-process: every line, its conditions and its order, with the
// session state set directly (and PASV run for real once).
#include <arpa/inet.h>
#include <sys/socket.h>

#include <regex>
#include <sstream>
#include <vector>

#include "login/connection_count.h"
#include "session_fixture.h"

namespace {

SocketAddress ipv4(const char* text, int port) {
    SocketAddress address;
    address.in4.sin_family = AF_INET;
    EXPECT_EQ(inet_pton(AF_INET, text, &address.in4.sin_addr), 1) << text;
    address.in4.sin_port = htons(static_cast<in_port_t>(port));
    address.length = sizeof(sockaddr_in);
    return address;
}

SocketAddress ipv6(const char* text, int port, unsigned scope = 0) {
    SocketAddress address;
    address.in6.sin6_family = AF_INET6;
    EXPECT_EQ(inet_pton(AF_INET6, text, &address.in6.sin6_addr), 1) << text;
    address.in6.sin6_port = htons(static_cast<in_port_t>(port));
    address.in6.sin6_scope_id = scope;
    address.length = sizeof(sockaddr_in6);
    return address;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find("\r\n", at);
        if (end == std::string::npos) {
            lines.push_back(text.substr(at) + "<no CR LF>");
            break;
        }
        lines.push_back(text.substr(at, end - at));
        at = end + 2;
    }
    return lines;
}

// The three traffic lines as they come after `before` bytes of the report, with
// `received` bytes and the given transfer counts.
std::string traffic_lines(std::size_t before, long long received, const char* sent_transfers,
                          const char* received_transfers, const char* total_transfers) {
    std::string sent = "    Traffic sent:     " + std::to_string(before) + " bytes in " +
                       sent_transfers + "\r\n";
    std::string got = "    Traffic received: " + std::to_string(received) +
                      (received == 1 ? " byte in " : " bytes in ") + received_transfers + "\r\n";
    long long total = static_cast<long long>(before + sent.size() + got.size()) + received;
    return sent + got + "    Total traffic:    " + std::to_string(total) + " bytes in " +
           total_transfers + "\r\n";
}

passwd alice_account = [] {
    passwd entry{};
    entry.pw_name = const_cast<char*>("alice");
    return entry;
}();

class StatusTest : public SessionTest {
protected:
    void SetUp() override {
        SessionTest::SetUp();
        saved_remote_ = remote_addr;
        saved_local_ = local_addr;
        remote_addr = ipv4("192.0.2.7", 40000);
        local_addr = ipv4("127.0.0.1", 2121);
        std::strcpy(client_name, "client.example");
        awaiting_password = false;
        user_account = nullptr;
        structure = STRU_F;
        transfer_mode = MODE_S;
        class_connections = 1;
        saved_config_dir_ = config_dir;
        config_dir = "/cfg";
        curclass.classname = strdup_or_die("default");
    }
    void TearDown() override {
        if (data_channel.pasv_fd != -1) close(data_channel.pasv_fd);
        data_channel.pasv_fd = -1;
        user_account = nullptr;
        config_dir = saved_config_dir_;
        // Other tests in this process expect the connection of a fresh process.
        remote_addr = saved_remote_;
        local_addr = saved_local_;
        client_name[0] = '\0';
        curclass.type = REAL;
        reset_class();
        SessionTest::TearDown();
    }

    void log_in_as(ClassType type) {
        log_in();
        curclass.type = type;
        user_account = &alice_account;
    }

    std::vector<std::string> report_lines() { return lines_of(run("STAT")); }

    // The lines after the transfer parameters and before the first counter line.
    std::vector<std::string> data_connection_lines() {
        std::vector<std::string> all = report_lines();
        std::vector<std::string> section;
        bool inside = false;
        for (const std::string& line : all) {
            if (line.rfind("    Data sent:", 0) == 0 || line.rfind("    Traffic sent:", 0) == 0)
                break;
            if (inside) section.push_back(line);
            if (line.rfind("    TYPE: ", 0) == 0) inside = true;
        }
        return section;
    }

    // The class settings: every line after "Total traffic" but the last.
    std::vector<std::string> class_lines() {
        std::vector<std::string> all = report_lines();
        std::vector<std::string> section;
        bool inside = false;
        for (const std::string& line : all) {
            if (line == "211 End of status") break;
            if (inside) section.push_back(line);
            if (line.rfind("    Total traffic:", 0) == 0) inside = true;
        }
        return section;
    }

    const char* saved_config_dir_ = nullptr;
    SocketAddress saved_remote_;
    SocketAddress saved_local_;
};

TEST_F(StatusTest, BeforeLoginTheWholeReportCountsItsOwnBytes) {
    transfer_counters.traffic_bytes_received = 1;
    transfer_counters.traffic_bytes_total = 1;
    std::string head =
        "211-test.example FTP server status:\r\n"
        "    Version: quorvel 20231001\r\n"
        "    Connected to client.example (192.0.2.7)\r\n"
        "    Waiting for user name\r\n"
        "    TYPE: ASCII, FORM: Nonprint; STRUcture: File; transfer MODE: Stream\r\n"
        "    No data connection\r\n";
    std::string expected = head +
                           traffic_lines(head.size(), 1, "0 transfers", "0 transfers",
                                         "0 transfers") +
                           "211 End of status\r\n";
    EXPECT_EQ(run("STAT"), expected);
    // The report's own bytes, up to its last line, are in the counters afterwards.
    EXPECT_EQ(transfer_counters.traffic_bytes_sent, static_cast<long long>(expected.size()));
}

TEST_F(StatusTest, VersionLine) {
    struct Case {
        const char* version;
        const char* line;
    };
    const Case cases[] = {
        {"quorvel 20231001", "    Version: quorvel 20231001"},
        {"custom 1.0", "    Version: custom 1.0"},
        {nullptr, "    <suppressed>"},
        {"", "    <suppressed>"},
    };
    for (const Case& c : cases) {
        version_string = c.version;
        std::vector<std::string> lines = report_lines();
        ASSERT_GT(lines.size(), 1u);
        EXPECT_EQ(lines[1], c.line) << (c.version != nullptr ? c.version : "null");
    }
}

TEST_F(StatusTest, ClientLineShowsTheNumericAddressOnlyWhenItDiffers) {
    struct Case {
        SocketAddress remote;
        const char* name;
        const char* line;
    };
    const Case cases[] = {
        {ipv4("192.0.2.7", 40000), "client.example", "    Connected to client.example (192.0.2.7)"},
        {ipv4("192.0.2.7", 40000), "192.0.2.7", "    Connected to 192.0.2.7"},
        {ipv6("2001:db8::7", 40000), "host6.example", "    Connected to host6.example (2001:db8::7)"},
        // A client name that was never looked up successfully.
        {ipv4("192.0.2.7", 40000), "?", "    Connected to ? (192.0.2.7)"},
    };
    for (const Case& c : cases) {
        remote_addr = c.remote;
        std::strcpy(client_name, c.name);
        std::vector<std::string> lines = report_lines();
        ASSERT_GT(lines.size(), 2u);
        EXPECT_EQ(lines[2], c.line);
    }
}

TEST_F(StatusTest, LoginLine) {
    struct Case {
        const char* name;
        bool logged_in;
        bool awaiting;
        ClassType type;
        const char* line;
    };
    const Case cases[] = {
        {"no USER yet", false, false, REAL, "    Waiting for user name"},
        {"after USER", false, true, REAL, "    Waiting for password"},
        {"real user", true, false, REAL, "    Logged in as alice"},
        {"chroot user", true, false, CHROOT, "    Logged in as alice (chroot)"},
        {"guest", true, false, GUEST, "    Logged in anonymously"},
    };
    for (const Case& c : cases) {
        login_complete = false;
        awaiting_password = c.awaiting;
        curclass.type = c.type;
        if (c.logged_in) log_in_as(c.type);
        std::vector<std::string> lines = report_lines();
        ASSERT_GT(lines.size(), 3u);
        EXPECT_EQ(lines[3], c.line) << c.name;
    }
}

TEST_F(StatusTest, TransferParametersLine) {
    struct Case {
        int type, form, stru, mode;
        const char* line;
    };
    const Case cases[] = {
        {TYPE_A, FORM_N, STRU_F, MODE_S,
         "    TYPE: ASCII, FORM: Nonprint; STRUcture: File; transfer MODE: Stream"},
        {TYPE_E, FORM_T, STRU_R, MODE_B,
         "    TYPE: EBCDIC, FORM: Telnet; STRUcture: Record; transfer MODE: Block"},
        {TYPE_A, FORM_C, STRU_P, MODE_C,
         "    TYPE: ASCII, FORM: Carriage-control; STRUcture: Page; transfer MODE: Compressed"},
        // Image and Local have no form; Local shows its byte size.
        {TYPE_I, FORM_T, STRU_F, MODE_S, "    TYPE: Image; STRUcture: File; transfer MODE: Stream"},
        {TYPE_L, FORM_N, STRU_F, MODE_S, "    TYPE: Local 8; STRUcture: File; transfer MODE: Stream"},
    };
    for (const Case& c : cases) {
        transfer_type = c.type;
        transfer_form = c.form;
        structure = c.stru;
        transfer_mode = c.mode;
        std::vector<std::string> lines = report_lines();
        ASSERT_GT(lines.size(), 4u);
        EXPECT_EQ(lines[4], c.line);
    }
}

struct DataCase {
    const char* name;
    std::function<void()> set_up;
    std::vector<std::string> lines;
};

void PrintTo(const DataCase& c, std::ostream* out) { *out << c.name; }

// pasv_fd only has to be other than -1; the report never touches the socket.
constexpr int some_listener = 1000;

const DataCase data_cases[] = {
    {"no data connection yet", [] {}, {"    No data connection"}},
    {"IPv4 passive listener",
     [] {
         data_channel.pasv_fd = some_listener;
         data_channel.passive_addr = ipv4("127.0.0.1", 50001);
     },
     {"    in Passive mode", "    PASV (127,0,0,1,195,81)", "    LPSV (4,4,127,0,0,1,2,195,81)",
      "    EPSV (|1|127.0.0.1|50001|)"}},
    {"advertised address with the listener's port",
     [] {
         data_channel.pasv_fd = some_listener;
         data_channel.passive_addr = ipv4("127.0.0.1", 50001);
         curclass.advertise = ipv4("198.51.100.9", 0);
     },
     {"    in Passive mode", "    PASV (198,51,100,9,195,81)", "    LPSV (4,4,198,51,100,9,2,195,81)",
      "    EPSV (|1|198.51.100.9|50001|)"}},
    {"IPv6 passive listener has no PASV line",
     [] {
         data_channel.pasv_fd = some_listener;
         data_channel.passive_addr = ipv6("2001:db8::1", 50000);
     },
     {"    in Passive mode", "    LPSV (6,16,32,1,13,184,0,0,0,0,0,0,0,0,0,0,0,1,2,195,80)",
      "    EPSV (|2|2001:db8::1|50000|)"}},
    {"PORT destination",
     [] {
         data_channel.use_default_dest = false;
         data_channel.active_dest = ipv4("192.0.2.7", 5001);
     },
     {"    PORT (192,0,2,7,19,137)", "    LPRT (4,4,192,0,2,7,2,19,137)",
      "    EPRT (|1|192.0.2.7|5001|)"}},
    {"LPRT/EPRT IPv6 destination",
     [] {
         data_channel.use_default_dest = false;
         data_channel.active_dest = ipv6("2001:db8::5", 6000);
     },
     {"    LPRT (6,16,32,1,13,184,0,0,0,0,0,0,0,0,0,0,0,5,2,23,112)",
      "    EPRT (|2|2001:db8::5|6000|)"}},
    {"EPRT host is shown without its scope",
     [] {
         data_channel.use_default_dest = false;
         data_channel.active_dest = ipv6("fe80::5", 6000, 1);
     },
     {"    LPRT (6,16,254,128,0,0,0,0,0,0,0,0,0,0,0,0,0,5,2,23,112)",
      "    EPRT (|2|fe80::5|6000|)"}},
    {"EPSV ALL shows only the EPRT line",
     [] {
         data_channel.use_default_dest = false;
         data_channel.epsv_all = 1;
         data_channel.active_dest = ipv4("192.0.2.7", 5001);
     },
     {"    EPSV only mode (EPSV ALL)", "    EPRT (|1|192.0.2.7|5001|)"}},
    {"a destination of no known family gives no lines",
     [] { data_channel.use_default_dest = false; }, {}},
};

class StatusDataConnection : public StatusTest, public testing::WithParamInterface<DataCase> {
protected:
    void TearDown() override {
        // The made-up listener descriptor must not be closed.
        data_channel.pasv_fd = -1;
        StatusTest::TearDown();
    }
};

TEST_P(StatusDataConnection, Lines) {
    GetParam().set_up();
    EXPECT_EQ(data_connection_lines(), GetParam().lines);
}

INSTANTIATE_TEST_SUITE_P(Cases, StatusDataConnection, testing::ValuesIn(data_cases));

TEST_F(StatusTest, AfterRealPasvTheReportShowsTheAnnouncedPort) {
    log_in_as(REAL);
    std::string reply = run("PASV");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(reply, m, std::regex(R"(227 .*\(127,0,0,1,(\d+),(\d+)\))")))
        << reply;
    int high = std::stoi(m[1]);
    int low = std::stoi(m[2]);
    std::string numbers = std::to_string(high) + "," + std::to_string(low);
    std::vector<std::string> expected = {
        "    in Passive mode", "    PASV (127,0,0,1," + numbers + ")",
        "    LPSV (4,4,127,0,0,1,2," + numbers + ")",
        "    EPSV (|1|127.0.0.1|" + std::to_string(high * 256 + low) + "|)"};
    EXPECT_EQ(data_connection_lines(), expected);
}

TEST_F(StatusTest, CountersOnlyShowDataWhenLoggedInAndCountOne) {
    log_in_as(REAL);
    TransferCounters& c = transfer_counters;
    c.data_bytes_sent = 1;
    c.data_files_sent = 1;
    c.data_bytes_received = 0;
    c.data_files_received = 0;
    c.data_bytes_total = 2048;
    c.data_files_total = 3;
    c.transfers_sent = 1;
    c.transfers_received = 2;
    c.transfers_total = 3;
    std::string report = run("STAT");
    EXPECT_NE(report.find("\r\n    Data sent:        1 byte in 1 file\r\n"
                          "    Data received:    0 bytes in 0 files\r\n"
                          "    Total data:       2048 bytes in 3 files\r\n"),
              std::string::npos)
        << report;
    std::size_t traffic = report.find("    Traffic sent:");
    ASSERT_NE(traffic, std::string::npos);
    std::string tail = report.substr(traffic);
    std::string expected = traffic_lines(traffic, 0, "1 transfer", "2 transfers", "3 transfers");
    EXPECT_EQ(tail.substr(0, expected.size()), expected);

    login_complete = false;
    EXPECT_EQ(run("STAT").find("Data sent:"), std::string::npos);
}

TEST_F(StatusTest, DefaultClassSettingsInOrder) {
    log_in_as(REAL);
    const std::vector<std::string> expected = {
        "    ",
        "    Class: default, type: REAL",
        "    Check PORT/LPRT commands: enabled",
        "    Idle timeout: 900, maximum timeout: 7200",
        "    Current connections: 1",
        "    Maximum connections: unlimited",
        "    Deny bad ftpusers(5) quickly: disabled",
        "    Maximum file size: unlimited",
        "    MotD file: /cfg/motd",
        "    Modify commands (CHMOD, DELE, MKD, RMD, RNFR, UMASK): enabled",
        "    Upload commands (APPE, STOR, STOU): enabled",
        "    Sanitize file names: disabled",
        "    PASV/LPSV/EPSV connections: enabled",
        "    Rate get limit: disabled",
        "    Rate put limit: disabled",
        "    Mmap size: disabled",
        "    Read size: default",
        "    Write size: default",
        "    Receive buffer size: default",
        "    Send buffer size: default",
        "    Send low water mark: default",
        "    Umask: 0027",
    };
    EXPECT_EQ(class_lines(), expected);
}

ConversionRule* conversion(const char* suffix, const char* types, const char* disable,
                           const char* command) {
    auto* rule = new ConversionRule;
    auto copy = [](const char* text) { return text != nullptr ? strdup_or_die(text) : nullptr; };
    rule->suffix = copy(suffix);
    rule->types = copy(types);
    rule->disable = copy(disable);
    rule->command = copy(command);
    return rule;
}

TEST_F(StatusTest, EveryConditionalClassLineInOrder) {
    log_in_as(CHROOT);
    ClassSettings& c = curclass;
    std::free(c.classname);
    c.classname = strdup_or_die("staff");
    c.flags = class_flag::denyquick | class_flag::sanenames;
    c.display = strdup_or_die(".message");
    c.notify = strdup_or_die("README*");
    c.timeout = 60;
    c.maxtimeout = 600;
    class_connections = 3;
    c.limit = 10;
    c.limitfile = strdup_or_die("full.msg");
    c.chroot = strdup_or_die("/srv/%u");
    c.homedir = strdup_or_die("/home/%u");
    c.maxfilesize = 1048576;
    std::free(c.motd);
    c.motd = strdup_or_die("/etc/motd.ftp");
    c.advertise = ipv6("2001:db8::99", 0);
    c.portmin = 50000;
    c.portmax = 50100;
    c.rateget = 1000;
    c.rateput = 2000;
    c.mmapsize = 4096;
    c.readsize = 512;
    c.writesize = 1024;
    c.recvbufsize = 8192;
    c.sendbufsize = 16384;
    c.sendlowat = 256;
    c.umask = 02;
    // Rules in list order; one without types is never shown.
    c.conversions = conversion(".gz", "f", "/etc/nogz", "/bin/gzip -c %s");
    c.conversions->next = conversion(".Z", nullptr, nullptr, nullptr);
    c.conversions->next->next = conversion(".tar", "d", ".", "/bin/tar -cf - %s");
    const std::vector<std::string> expected = {
        "    ",
        "    Class: staff, type: CHROOT",
        "    Check PORT/LPRT commands: disabled",
        "    Display file: .message",
        "    Notify fileglob: README*",
        "    Idle timeout: 60, maximum timeout: 600",
        "    Current connections: 3",
        "    Maximum connections: 10",
        "    Connection limit exceeded message file: /cfg/full.msg",
        "    Chroot format: /srv/%u",
        "    Deny bad ftpusers(5) quickly: enabled",
        "    Homedir format: /home/%u",
        "    Maximum file size: 1048576",
        "    MotD file: /etc/motd.ftp",
        "    Modify commands (CHMOD, DELE, MKD, RMD, RNFR, UMASK): disabled",
        "    Upload commands (APPE, STOR, STOU): disabled",
        "    Sanitize file names: enabled",
        "    PASV/LPSV/EPSV connections: disabled",
        "    PASV advertise address: 2001:db8::99",
        "    PASV port range: 50000 - 50100",
        "    Rate get limit: 1000 bytes/sec",
        "    Rate put limit: 2000 bytes/sec",
        "    Mmap size: 4096",
        "    Read size: 512",
        "    Write size: 1024",
        "    Receive buffer size: 8192",
        "    Send buffer size: 16384",
        "    Send low water mark: 256",
        "    Umask: 0002",
        "    Conversion: .gz [f] disable: /etc/nogz, command: /bin/gzip -c %s",
        "    Conversion: .tar [d] disable: ., command: /bin/tar -cf - %s",
    };
    EXPECT_EQ(class_lines(), expected);
}

// Settings whose line is left out or changes; each case names the line to look for.
struct ClassLineCase {
    const char* name;
    std::function<void()> set_up;
    const char* prefix;  // the line starting with this...
    const char* line;    // ...is exactly this, or absent when null
};

void PrintTo(const ClassLineCase& c, std::ostream* out) { *out << c.name; }

const ClassLineCase class_line_cases[] = {
    {"empty display file", [] { curclass.display = strdup_or_die(""); }, "    Display file", nullptr},
    {"empty notify glob", [] { curclass.notify = strdup_or_die(""); }, "    Notify", nullptr},
    {"no limit file", [] {}, "    Connection limit", nullptr},
    {"empty chroot format", [] { curclass.chroot = strdup_or_die(""); }, "    Chroot", nullptr},
    {"empty homedir format", [] { curclass.homedir = strdup_or_die(""); }, "    Homedir", nullptr},
    {"no motd",
     [] {
         std::free(curclass.motd);
         curclass.motd = nullptr;
     },
     "    MotD", nullptr},
    {"empty motd", [] { curclass.motd[0] = '\0'; }, "    MotD", nullptr},
    {"no advertise address", [] {}, "    PASV advertise", nullptr},
    {"IPv4 advertise address", [] { curclass.advertise = ipv4("198.51.100.9", 0); },
     "    PASV advertise", "    PASV advertise address: 198.51.100.9"},
    {"port range without maximum", [] { curclass.portmin = 50000; }, "    PASV port range",
     nullptr},
    {"port range without minimum", [] { curclass.portmax = 50000; }, "    PASV port range",
     nullptr},
    {"maximum connections zero", [] { curclass.limit = 0; }, "    Maximum connections",
     "    Maximum connections: 0"},
    {"maximum file size zero", [] { curclass.maxfilesize = 0; }, "    Maximum file size",
     "    Maximum file size: 0"},
    {"guest class", [] { curclass.type = GUEST; }, "    Class:", "    Class: default, type: GUEST"},
    {"unknown class type", [] { curclass.type = static_cast<ClassType>(7); }, "    Class:",
     "    Class: default, type: <unknown>"},
    {"umask with every bit", [] { curclass.umask = 0777; }, "    Umask", "    Umask: 0777"},
    {"rule without command", [] { curclass.conversions = conversion(".gz", "f", ".", nullptr); },
     "    Conversion", nullptr},
    {"rule without suffix",
     [] { curclass.conversions = conversion(nullptr, "f", ".", "/bin/gzip"); }, "    Conversion",
     nullptr},
    {"rule without disable path",
     [] { curclass.conversions = conversion(".gz", "f", nullptr, "/bin/gzip"); }, "    Conversion",
     "    Conversion: .gz [f] disable: , command: /bin/gzip"},
};

class StatusClassLine : public StatusTest, public testing::WithParamInterface<ClassLineCase> {};

TEST_P(StatusClassLine, ShownOrLeftOut) {
    log_in_as(REAL);
    GetParam().set_up();
    std::vector<std::string> matching;
    for (const std::string& line : class_lines()) {
        if (line.rfind(GetParam().prefix, 0) == 0) matching.push_back(line);
    }
    if (GetParam().line == nullptr) EXPECT_EQ(matching, std::vector<std::string>{});
    else EXPECT_EQ(matching, std::vector<std::string>{GetParam().line});
}

INSTANTIATE_TEST_SUITE_P(Cases, StatusClassLine, testing::ValuesIn(class_line_cases));

TEST_F(StatusTest, PrivateClassAndLoggedOutSessionsShowNoClassSettings) {
    log_in_as(REAL);
    curclass.flags |= class_flag::private_;
    std::vector<std::string> lines = report_lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2].rfind("    Total traffic:", 0), 0u) << lines[lines.size() - 2];
    EXPECT_EQ(lines.back(), "211 End of status");
    // The counters are still there for a private class.
    EXPECT_EQ(lines[lines.size() - 7].rfind("    Data sent:", 0), 0u);

    curclass.flags &= ~class_flag::private_;
    login_complete = false;
    lines = report_lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2].rfind("    Total traffic:", 0), 0u);
}

}  // namespace
