// Message files and their escapes, path templates, and the directory notices
// (display file and notify list once per directory and login).
#include "config/messages.h"

#include <sys/stat.h>
#include <sys/time.h>
#include <syslog.h>

#include <fstream>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "isolated_child.h"
#include "login/connection_count.h"
#include "session_fixture.h"

namespace {

char bob_name[] = "bob";
char bob_home[] = "/home/ftp";
char bob_password[] = "";

class MessagesTest : public SessionTest {
protected:
    void SetUp() override {
        SessionTest::SetUp();
        reset_message_state();
    }
    void TearDown() override {
        reset_message_state();
        SessionTest::TearDown();
    }
    void reset_message_state() {
        show_cwd_messages(-1);
        messages_suppressed = false;
        class_connections = 1;
        email_address = nullptr;
        user_account = nullptr;
        std::strcpy(client_name, "client.example");
    }
    static void write_file(const std::string& name, const std::string& content) {
        std::ofstream(name, std::ios::binary) << content;
    }
    // Point user_account at a fixed account "bob" with home /home/ftp.
    void use_bob() {
        account_.pw_name = bob_name;
        account_.pw_dir = bob_home;
        account_.pw_passwd = bob_password;
        user_account = &account_;
    }
    // Show a message file holding `content` with code 230; returns what the client got.
    std::string show(const std::string& content, int* result = nullptr) {
        write_file("message", content);
        int shown = display_message_file("message", 230);
        if (result != nullptr) *result = shown;
        return drain();
    }

    passwd account_ {};
};

// One message line, the session it is shown in, and the text after the four blanks.
struct EscapeCase {
    const char* name;
    const char* line;
    long long limit;
    int connections;
    const char* email;
    const char* classname;
    bool with_account;
    const char* expected;
};

const EscapeCase escape_cases[] = {
    {"ten users, three on", "%N of %M user%s", 10, 3, nullptr, nullptr, false, "3 of 10 users"},
    {"one of one is singular", "%N of %M user%s", 1, 1, nullptr, nullptr, false, "1 of 1 user"},
    {"no limit", "%N of %M user%s", -1, 4, nullptr, nullptr, false, "4 of unlimited users"},
    {"unlimited counts as plural", "%N %M user%s", -1, 1, nullptr, nullptr, false, "1 unlimited users"},
    {"capital plural follows the last count", "%M%S %N%S", 2, 1, nullptr, nullptr, false, "2S 1"},
    {"plural before any count", "%s and %S", 1, 1, nullptr, nullptr, false, "s and S"},
    {"a lone percent sign", "%", -1, 1, nullptr, nullptr, false, ""},
    {"percent ends the line", "100%", -1, 1, nullptr, nullptr, false, "100"},
    {"unknown escape vanishes", "a%xb%Zc", -1, 1, nullptr, nullptr, false, "abc"},
    {"double percent", "%%x", -1, 1, nullptr, nullptr, false, "%x"},
    {"e-mail address set", "mail %E", -1, 1, "ftp@example.org", nullptr, false, "mail ftp@example.org"},
    {"e-mail address unset", "mail %E.", -1, 1, nullptr, nullptr, false, "mail ."},
    {"e-mail address empty", "mail %E.", -1, 1, "", nullptr, false, "mail ."},
    {"server and client names", "%L to %R", -1, 1, nullptr, nullptr, false, "test.example to client.example"},
    {"account", "user %U", -1, 1, nullptr, nullptr, true, "user bob"},
    {"no account", "user %U", -1, 1, nullptr, nullptr, false, "user <unknown>"},
    {"class", "class %c", -1, 1, nullptr, "staff", false, "class staff"},
    {"no class", "class %c", -1, 1, nullptr, nullptr, false, "class <unknown>"},
    // Message files are raw text: nothing of the configuration syntax applies.
    {"no comments or escapes", "C:\\dir # not a comment \\", -1, 1, nullptr, nullptr, false,
     "C:\\dir # not a comment \\"},
    {"empty line", "", -1, 1, nullptr, nullptr, false, ""},
};

TEST_F(MessagesTest, EscapesAreReplacedByFactsOfTheSession) {
    for (const EscapeCase& c : escape_cases) {
        curclass.limit = c.limit;
        class_connections = c.connections;
        email_address = c.email;
        std::free(curclass.classname);
        curclass.classname = c.classname != nullptr ? strdup_or_die(c.classname) : nullptr;
        user_account = nullptr;
        if (c.with_account) use_bob();
        int shown = 0;
        std::string got = show(std::string(c.line) + "\n", &shown);
        EXPECT_EQ(shown, 1) << c.name;
        EXPECT_EQ(got, std::string("230-\r\n    ") + c.expected + "\r\n") << c.name;
    }
}

TEST_F(MessagesTest, DirectoryAndTimeEscapes) {
    EXPECT_EQ(show("in %C\n"), "230-\r\n    in " + work_dir_ + "\r\n");
    std::string got = show("now %T.\n");
    const std::regex ctime_shape(
        R"(230-\r\n    now [A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\d \d\d:\d\d:\d\d \d{4}\.\r\n)");
    EXPECT_TRUE(std::regex_match(got, ctime_shape)) << got;
}

TEST_F(MessagesTest, PluralStateLastsForOneFile) {
    class_connections = 1;
    // The count on the first line still decides on the second; a new file starts afresh.
    EXPECT_EQ(show("%N\nuser%s\n"), "230-\r\n    1\r\n    user\r\n");
    EXPECT_EQ(show("user%s\n"), "230-\r\n    users\r\n");
}

TEST_F(MessagesTest, LinesAreCountedAsTrafficAndFlushed) {
    long long sent_before = transfer_counters.traffic_bytes_sent;
    long long total_before = transfer_counters.traffic_bytes_total;
    // The last line has no newline; the middle one is empty.
    std::string got = show("first %c line\n\nlast %%");
    EXPECT_EQ(got, "230-\r\n    first <unknown> line\r\n    \r\n    last %\r\n");
    auto size = static_cast<long long>(got.size());
    EXPECT_EQ(transfer_counters.traffic_bytes_sent - sent_before, size);
    EXPECT_EQ(transfer_counters.traffic_bytes_total - total_before, size);
    EXPECT_EQ(transfer_counters.data_bytes_sent, 0);
}

TEST_F(MessagesTest, NothingIsShownWithoutAReadableFile) {
    write_file("present", "text\n");
    ASSERT_EQ(mkdir("directory", 0755), 0);
    ASSERT_EQ(mkfifo("fifo", 0644), 0);
    struct Case {
        const char* name;
        const char* path;
        bool suppressed;
    } cases[] = {
        {"no path", nullptr, false},
        {"empty path", "", false},
        {"missing file", "absent", false},
        {"messages suppressed", "present", true},
        {"a directory", "directory", false},
        // A named pipe without writer would block a plain open for ever.
        {"a named pipe", "fifo", false},
    };
    for (const Case& c : cases) {
        messages_suppressed = c.suppressed;
        long long before = transfer_counters.traffic_bytes_sent;
        EXPECT_EQ(display_message_file(c.path, 230), 0) << c.name;
        EXPECT_EQ(drain(), "") << c.name;
        EXPECT_EQ(transfer_counters.traffic_bytes_sent, before) << c.name;
    }
    messages_suppressed = false;
    EXPECT_EQ(display_message_file("present", 220), 1);
    EXPECT_EQ(drain(), "220-\r\n    text\r\n");
}

// A current directory that no longer exists: %C writes nothing and says why.
TEST(MessageEscapes, FailedGetcwdIsLogged) {
    isolated::TempDir dir;
    std::string base = dir.path();
    isolated::Result result = isolated::run([&]() {
        FILE* out = std::tmpfile();
        attach_control_channel(stdin, out);
        messages_suppressed = false;
        std::string message = base + "/message";
        std::ofstream(message) << "[%C]\n";
        std::string gone = base + "/gone";
        if (mkdir(gone.c_str(), 0755) != 0 || chdir(gone.c_str()) != 0 || rmdir(gone.c_str()) != 0)
            return std::string("setup failed");
        display_message_file(message.c_str(), 230);
        show_cwd_messages(250);  // nothing to show in a directory that is gone
        std::rewind(out);
        std::string written;
        for (int c = std::getc(out); c != EOF; c = std::getc(out)) written.push_back(static_cast<char>(c));
        return written;
    });
    ASSERT_EQ(result.setup_error, "");
    EXPECT_EQ(result.output, "230-\r\n    []\r\n");
    std::vector<std::string> warnings;
    for (const isolated::LogLine& line : result.log) {
        EXPECT_EQ(line.priority, LOG_FTP | LOG_WARNING) << line.text;
        warnings.push_back(line.text);
    }
    EXPECT_EQ(warnings, (std::vector<std::string>{"can't getcwd: No such file or directory",
                                                  "can't getcwd: No such file or directory"}));
}

TEST_F(MessagesTest, PathTemplates) {
    std::string long_home(600, 'h');
    struct Case {
        const char* name;
        std::optional<std::string> path_template;  // none: a null template
        const char* home;                          // null: no account
        std::string expected;
    } cases[] = {
        {"home directory", "%d/pub", bob_home, "/home/ftp/pub"},
        {"class and user", "/srv/%c/%u", bob_home, "/srv/staff/bob"},
        {"percent sign", "/100%%/x", bob_home, "/100%/x"},
        {"percent at the end", "/a%", bob_home, "/a"},
        {"unknown escape", "/a%xb", bob_home, "/ab"},
        {"no account", "%d/pub", nullptr, "/pub"},
        {"no template", std::nullopt, bob_home, ""},
        {"long template", std::string(1500, 't'), bob_home, std::string(1023, 't')},
        {"long expansion", "%d%d/tail", long_home.c_str(), std::string(1023, 'h')},
    };
    std::free(curclass.classname);
    curclass.classname = strdup_or_die("staff");
    for (const Case& c : cases) {
        user_account = nullptr;
        if (c.home != nullptr) {
            use_bob();
            account_.pw_dir = const_cast<char*>(c.home);
        }
        char buffer[path_template_size];
        std::memset(buffer, 'z', sizeof buffer);
        expand_path_template(buffer, c.path_template ? c.path_template->c_str() : nullptr);
        EXPECT_EQ(std::string(buffer), c.expected) << c.name;
    }
}

// Directory notices in a small tree of directories that the test enters.
class DirectoryMessagesTest : public MessagesTest {
protected:
    void SetUp() override {
        MessagesTest::SetUp();
        curclass.display = strdup_or_die(".message");
        curclass.notify = strdup_or_die("README*");
    }
    // Enter `directory` (relative to the work directory) and show its messages.
    std::string enter(const std::string& directory, int code = 250) {
        if (chdir((work_dir_ + "/" + directory).c_str()) != 0) ADD_FAILURE() << "cannot enter " << directory;
        show_cwd_messages(code);
        return drain();
    }
    // Set the modification time of `name` to noon `days_ago` local days before today.
    static time_t set_modified_days_ago(const std::string& name, int days_ago) {
        time_t now = time(nullptr);
        struct tm when {};
        localtime_r(&now, &when);
        when.tm_mday -= days_ago;
        when.tm_hour = 12;
        when.tm_min = 0;
        when.tm_sec = 0;
        when.tm_isdst = -1;
        time_t modified = days_ago == 0 ? now : mktime(&when);
        timeval times[2] = {{modified, 0}, {modified, 0}};
        if (utimes(name.c_str(), times) != 0) ADD_FAILURE() << "utimes " << name;
        return modified;
    }
    static std::string ctime_text(time_t t) {
        char text[32] = "";
        ctime_r(&t, text);
        return std::string(text, 24);
    }
};

TEST_F(DirectoryMessagesTest, ShownOncePerDirectoryAndLogin) {
    ASSERT_EQ(mkdir("a", 0755), 0);
    ASSERT_EQ(mkdir("b", 0755), 0);
    write_file("a/.message", "this is a\n");
    write_file("b/.message", "this is b in %C\n");
    std::string shown_a = "250-\r\n    this is a\r\n";
    std::string shown_b = "250-\r\n    this is b in " + work_dir_ + "/b\r\n";
    EXPECT_EQ(enter("a"), shown_a);
    EXPECT_EQ(enter("a"), "");
    // The display name is relative: each directory shows its own file.
    EXPECT_EQ(enter("b"), shown_b);
    EXPECT_EQ(enter("a"), "");
    EXPECT_EQ(enter("b"), "");
    // A new login forgets the visited directories.
    show_cwd_messages(-1);
    EXPECT_EQ(drain(), "");
    EXPECT_EQ(enter("b", 230), "230-\r\n    this is b in " + work_dir_ + "/b\r\n");
    EXPECT_EQ(enter("a"), shown_a);
}

TEST_F(DirectoryMessagesTest, SuppressedMessagesShowNothing) {
    ASSERT_EQ(mkdir("a", 0755), 0);
    write_file("a/.message", "this is a\n");
    write_file("a/README", "read me\n");
    messages_suppressed = true;
    EXPECT_EQ(enter("a"), "");
}

TEST_F(DirectoryMessagesTest, NotifyListNamesRegularFilesWithTheirAge) {
    time_t now = time(nullptr);
    struct tm today {};
    localtime_r(&now, &today);
    int year = today.tm_year + 1899;
    bool leap_before = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    // The age ignores leap years, so the day after a leap year's last day is age 0.
    if (today.tm_yday == 0 && leap_before) GTEST_SKIP() << "1 January after a leap year";

    ASSERT_EQ(mkdir("d", 0755), 0);
    ASSERT_EQ(mkdir("d/README.dir", 0755), 0);  // a directory is never announced
    write_file("d/README", "old\n");
    write_file("d/README.new", "new\n");
    time_t yesterday = set_modified_days_ago(work_dir_ + "/d/README", 1);
    time_t modified_now = set_modified_days_ago(work_dir_ + "/d/README.new", 0);
    // No display file here: the notify list has the one opening line.
    EXPECT_EQ(enter("d"), "250-\r\n"
                          "    Please read the file README\r\n"
                          "      it was last modified on " + ctime_text(yesterday) + " - 1 day ago\r\n"
                          "    Please read the file README.new\r\n"
                          "      it was last modified on " + ctime_text(modified_now) +
                              " - 0 days ago\r\n");

    // With a display file too, each part has its opening line.
    std::string e = work_dir_ + "/e";
    ASSERT_EQ(mkdir(e.c_str(), 0755), 0);
    write_file(e + "/.message", "welcome\n");
    write_file(e + "/README", "x\n");
    time_t ten_days = set_modified_days_ago(work_dir_ + "/e/README", 10);
    EXPECT_EQ(enter("e", 230), "230-\r\n    welcome\r\n230-\r\n"
                               "    Please read the file README\r\n"
                               "      it was last modified on " + ctime_text(ten_days) +
                                   " - 10 days ago\r\n");
}

TEST_F(DirectoryMessagesTest, NotifyGlobMatchingOnlyDirectoriesShowsNothing) {
    ASSERT_EQ(mkdir("only-dirs", 0755), 0);
    ASSERT_EQ(mkdir("only-dirs/README", 0755), 0);
    ASSERT_EQ(mkdir("only-dirs/README.d", 0755), 0);
    ASSERT_EQ(mkdir("nothing", 0755), 0);
    EXPECT_EQ(enter("only-dirs"), "");
    EXPECT_EQ(enter("nothing"), "");
}

TEST_F(DirectoryMessagesTest, NotifyGlobExpandsBraces) {
    std::free(curclass.notify);
    curclass.notify = strdup_or_die("{NEWS,README}");
    ASSERT_EQ(mkdir("d", 0755), 0);
    write_file("d/NEWS", "n\n");
    write_file("d/README", "r\n");
    write_file("d/OTHER", "o\n");
    std::string got = enter("d");
    EXPECT_NE(got.find("Please read the file NEWS\r\n"), std::string::npos) << got;
    EXPECT_NE(got.find("Please read the file README\r\n"), std::string::npos) << got;
    EXPECT_EQ(got.find("OTHER"), std::string::npos) << got;
    EXPECT_TRUE(got.starts_with("250-\r\n    Please")) << got;
}

TEST_F(DirectoryMessagesTest, NotifyGlobIsBounded) {
    // 2^15 brace expansions pass the glob result limit: the list is not shown
    // even though one of them names a file.
    std::string pattern;
    for (int i = 0; i < 15; ++i) pattern += "{a,b}";
    std::free(curclass.notify);
    curclass.notify = strdup_or_die(pattern.c_str());
    ASSERT_EQ(mkdir("d", 0755), 0);
    write_file("d/" + std::string(15, 'a'), "x\n");
    EXPECT_EQ(enter("d"), "");
    // Within the limit the same kind of pattern works.
    std::free(curclass.notify);
    curclass.notify = strdup_or_die(pattern.substr(0, 5 * 10).c_str());
    ASSERT_EQ(mkdir((work_dir_ + "/e").c_str(), 0755), 0);
    write_file(work_dir_ + "/e/" + std::string(10, 'a'), "x\n");
    EXPECT_NE(enter("e").find("Please read the file aaaaaaaaaa\r\n"), std::string::npos);
}

}  // namespace
