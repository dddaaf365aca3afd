// The lexer and the grammar: exact replies, the login check, the carry-over of
// REST and RNFR, the argument rules and the destinations of PORT and LPRT.
#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <vector>

#include "session_fixture.h"

namespace {

struct DialogueCase {
    const char* line;
    bool logged_in;
    const char* reply;  // every byte the server sends for the line
};

// Replies that do not depend on other state than the login.
const DialogueCase dialogue_cases[] = {
    {"noop", false, "200 NOOP command successful.\r\n"},
    {"NOOP ", false, "501 'NOOP' command does not take any arguments.\r\n"},
    {"NoOp x", false, "501 'NoOp' command does not take any arguments.\r\n"},
    {"FOO bar", false, "500 'FOO bar': command not understood.\r\n"},
    {"ACCT secret", false, "502 ACCT command not implemented.\r\n"},
    {"rein", false, "502 REIN command not implemented.\r\n"},
    {"SMNT x", false, "502 SMNT command not implemented.\r\n"},
    {" NOOP", false, "500 ' NOOP': command not understood.\r\n"},
    {"", false, "500 '': command not understood.\r\n"},
    {"NOOP\rjunk after the carriage return", false, "200 NOOP command successful.\r\n"},
    {"SYST", false, "215 UNIX Type: L8 Version: quorvel 20231001\r\n"},
    // The login check answers once, and the malformed rest of the line adds nothing.
    {"CWD /tmp", false, "530 Please login with USER and PASS.\r\n"},
    {"CDUP", false, "530 Please login with USER and PASS.\r\n"},
    {"PORT 1,2", false, "530 Please login with USER and PASS.\r\n"},
    {"RETR", false, "530 Please login with USER and PASS.\r\n"},
    {"STAT /tmp", false, "530 Please login with USER and PASS.\r\n"},
    {"SITE IDLE 60", false, "530 Please login with USER and PASS.\r\n"},
    {"SITE CHMOD 644 x", false, "530 Please login with USER and PASS.\r\n"},
    {"SITE UMASK 022", false, "530 Please login with USER and PASS.\r\n"},
    {"DELE x", false, "530 Please login with USER and PASS.\r\n"},
    {"STOR x", false, "530 Please login with USER and PASS.\r\n"},
    {"SITE BOGUS", false, "500 'SITE BOGUS': command not understood.\r\n"},
    {"SITE", false, "500 'SITE': command not understood.\r\n"},
    // After login.
    {"PORT 1,2", true, "500 'PORT 1,2': command not understood.\r\n"},
    {"PORT 1,2,3,4,5,6,7", true, "500 'PORT 1,2,3,4,5,6,7': command not understood.\r\n"},
    {"PORT 1,2,x", true, "500 'PORT 1,2,x': command not understood.\r\n"},
    {"RETR ", true, "500 'RETR ': command not understood.\r\n"},
    {"RETR", true, "500 'RETR': command not understood.\r\n"},
    {"TYPE A", true, "200 Type set to A.\r\n"},
    {"TYPE A N", true, "200 Type set to A.\r\n"},
    {"TYPE A T", true, "504 Form must be N.\r\n"},
    {"TYPE A C", true, "504 Form must be N.\r\n"},
    {"TYPE E", true, "504 Type E not implemented.\r\n"},
    {"TYPE I", true, "200 Type set to I.\r\n"},
    {"TYPE L", true, "200 Type set to L (byte size 8).\r\n"},
    {"TYPE L8", true, "200 Type set to L (byte size 8).\r\n"},
    {"TYPE L 8", true, "200 Type set to L (byte size 8).\r\n"},
    {"TYPE L 16", true, "504 Byte size must be 8.\r\n"},
    {"TYPE L ", true, "500 'TYPE L ': command not understood.\r\n"},
    {"TYPE Q", true, "500 'TYPE Q': command not understood.\r\n"},
    {"STRU F", true, "200 STRU F ok.\r\n"},
    {"STRU R", true, "504 Unimplemented STRU type.\r\n"},
    {"STRU P", true, "504 Unimplemented STRU type.\r\n"},
    {"MODE S", true, "200 MODE S ok.\r\n"},
    {"MODE B", true, "502 Unimplemented MODE type.\r\n"},
    {"MODE C", true, "502 Unimplemented MODE type.\r\n"},
    {"ALLO 100", true, "202 ALLO command ignored.\r\n"},
    {"ALLO 100 R 10", true, "202 ALLO command ignored.\r\n"},
    {"ABOR", true, "225 ABOR command successful.\r\n"},
    {"EPSV all", true, "200 EPSV ALL command successful.\r\n"},
    {"EPSV ALLx", true, "500 'EPSV ALLx': command not understood.\r\n"},
    {"EPSV ALL1", true, "500 'EPSV ALL1': command not understood.\r\n"},
    {"SITE  IDLE", true, "200 Current IDLE time limit is 900 seconds; max 7200\r\n"},
    {"SITE IDLE 29", true, "501 IDLE time limit must be between 30 and 7200 seconds\r\n"},
    {"SITE IDLE 7200", true, "200 IDLE time limit set to 7200 seconds\r\n"},
    {"SITE UMASK 999", true, "501 Bad UMASK value\r\n"},
    {"SITE UMASK 1000", true, "501 Bad UMASK value\r\n"},
    {"SITE RATEGET", true, "200 Current RATEGET is 0 bytes/sec\r\n"},
    {"SITE RATEPUT 1k", true, "200 RATEPUT set to 1024 bytes/sec\r\n"},
    {"SITE RATEGET 10 x", true, "501 RATEGET `10 x': illegal number\r\n"},
    {"MDTM", true, "500 'MDTM': command not understood.\r\n"},
    // The RFC 2228 commands need no login and ignore their arguments.
    {"AUTH TLS", false, "502 RFC 2228 authentication not implemented.\r\n"},
    {"MIC abc", false, "502 RFC 2228 authentication not implemented.\r\n"},
    {"CONF abc", false, "502 RFC 2228 authentication not implemented.\r\n"},
    {"ENC abc", false, "502 RFC 2228 authentication not implemented.\r\n"},
    {"ADAT abc", false, "503 Please set authentication state with AUTH.\r\n"},
    {"PBSZ 0", false, "503 Please set authentication state with AUTH.\r\n"},
    {"PROT P", false, "503 Please set protection buffer size with PBSZ.\r\n"},
    {"CCC", false, "533 No protection enabled.\r\n"},
};

class GrammarTest : public SessionTest {};

TEST_F(GrammarTest, RepliesToSingleLines) {
    for (const DialogueCase& c : dialogue_cases) {
        reset_session_state();
        login_complete = c.logged_in;
        EXPECT_EQ(run(c.line), c.reply) << "line: '" << c.line << "'";
        EXPECT_EQ(lexer_state, COMMAND_WORD) << "line: '" << c.line << "'";
    }
}

TEST_F(GrammarTest, XFormsAnswerLikeTheirModernForms) {
    // Each sequence leaves the directory as it found it, so both forms meet the
    // same state.
    const std::vector<std::vector<std::string>> modern = {
        {"PWD"}, {"CWD ."}, {"CDUP", "CWD " + work_dir_}, {"MKD d", "RMD d"}, {"RMD missing"}};
    const std::vector<std::vector<std::string>> x_forms = {
        {"XPWD"}, {"XCWD ."}, {"XCUP", "XCWD " + work_dir_}, {"XMKD d", "XRMD d"}, {"XRMD missing"}};
    for (bool logged_in : {false, true}) {
        for (std::size_t i = 0; i < modern.size(); ++i) {
            login_complete = logged_in;
            std::string expected;
            for (const std::string& line : modern[i]) expected += run(line);
            std::string got;
            for (const std::string& line : x_forms[i]) got += run(line);
            EXPECT_EQ(got, expected) << x_forms[i][0];
        }
    }
}

TEST_F(GrammarTest, TypeCodesAreStored) {
    log_in();
    run("TYPE I");
    EXPECT_EQ(transfer_type, TYPE_I);
    run("TYPE A T");  // refused: the type stays
    EXPECT_EQ(transfer_type, TYPE_I);
    run("TYPE L 8");
    EXPECT_EQ(transfer_type, TYPE_L);
    run("TYPE A");
    EXPECT_EQ(transfer_type, TYPE_A);
    EXPECT_EQ(transfer_form, FORM_N);
}

TEST_F(GrammarTest, RestOffsetLivesUntilTheNextCommand) {
    log_in();
    EXPECT_EQ(run("REST 12345678901"),
              "350 Restarting at 12345678901. Send STORE or RETRIEVE to initiate transfer.\r\n");
    EXPECT_EQ(restart_offset, 12345678901LL);
    run("NOOP");
    EXPECT_EQ(restart_offset, 0);

    run("REST 10");
    run("RNFR a");  // RNFR clears the offset first
    EXPECT_EQ(restart_offset, 0);
}

TEST_F(GrammarTest, RenameSourceIsForgottenByPlainCommands) {
    log_in();
    rename_from = strdup("a");
    run("REST 10");  // REST forgets it itself
    EXPECT_EQ(rename_from, nullptr);

    rename_from = strdup("a");
    run("NOOP");
    EXPECT_EQ(rename_from, nullptr);
    EXPECT_EQ(run("RNTO b"), "503 Bad sequence of commands.\r\n");

    // A syntax error that reaches the line's end counts as a command...
    rename_from = strdup("a");
    restart_offset = 5;
    EXPECT_EQ(run("PORT 1,2"), "500 'PORT 1,2': command not understood.\r\n");
    EXPECT_EQ(rename_from, nullptr);
    EXPECT_EQ(restart_offset, 0);

    // ...while a line the lexer gave up keeps both.
    rename_from = strdup("a");
    restart_offset = 5;
    EXPECT_EQ(run("PORT 1,2,x"), "500 'PORT 1,2,x': command not understood.\r\n");
    ASSERT_NE(rename_from, nullptr);
    EXPECT_STREQ(rename_from, "a");
    EXPECT_EQ(restart_offset, 5);
}

TEST_F(GrammarTest, RestBeforeLoginKeepsItsState) {
    restart_offset = 7;
    EXPECT_EQ(run("REST 100"), "530 Please login with USER and PASS.\r\n");
    EXPECT_EQ(restart_offset, 7);
}

std::string address_text(const SocketAddress& address) {
    char text[INET6_ADDRSTRLEN] = "";
    inet_ntop(address.family(), address.address_bytes(), text, sizeof text);
    return text;
}

struct DestinationCase {
    const char* line;
    int family;            // 0: cleared
    const char* address;
    int port;
};

const DestinationCase destination_cases[] = {
    {"PORT 127,0,0,1,4,1", AF_INET, "127.0.0.1", 1025},
    {"PORT 383,256,0,1,260,257", AF_INET, "127.0.0.1", 1025},  // low eight bits of each
    {"LPRT 4,4,10,1,2,3,2,0,21", AF_INET, "10.1.2.3", 21},
    {"LPRT 4,4,10,1,2,3,3,0,21", 0, "", 0},
    {"LPRT 5,4,10,1,2,3,2,0,21", 0, "", 0},
    {"LPRT 6,16,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,1,2,19,137", AF_INET6, "::1", 5001},
    {"LPRT 6,4,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,1,2,19,137", 0, "", 0},
};

TEST_F(GrammarTest, PortAndLprtSetTheActiveDestination) {
    for (const DestinationCase& c : destination_cases) {
        reset_session_state();
        log_in();
        run(c.line);
        const SocketAddress& dest = data_channel.active_dest;
        EXPECT_EQ(dest.family(), c.family) << c.line;
        if (c.family == 0) continue;
        EXPECT_EQ(address_text(dest), c.address) << c.line;
        EXPECT_EQ(ntohs(dest.port()), c.port) << c.line;
        EXPECT_EQ(dest.length, c.family == AF_INET ? 16u : 28u) << c.line;
    }
}

TEST_F(GrammarTest, ModifyingCommandsObeyTheClass) {
    log_in();
    curclass.flags &= ~class_flag::upload;
    EXPECT_EQ(run("STOR x"), "502 No permission to use this command.\r\n");
    curclass.flags &= ~class_flag::modify;
    EXPECT_EQ(run("DELE x"), "502 No permission to use this command.\r\n");
    EXPECT_EQ(run("SITE UMASK 022"), "502 No permission to use this command.\r\n");
    // Showing the mask changes nothing, so it needs no permission.
    EXPECT_EQ(run("SITE UMASK").substr(0, 22), "200 Current UMASK is 0");
}

TEST_F(GrammarTest, SaneNamesAreCheckedOnlyWhenTheClassAsks) {
    log_in();
    // DELE of names that do not exist: whatever the handler answers, it is not the
    // name check's 553.
    auto refused_by_name_check = [&](const std::string& name) {
        return run("DELE " + name).starts_with("553 File name `" + name + "' not allowed.");
    };
    for (const char* name : {".hidden", "a b", "x/y", "bad*"}) {
        curclass.flags |= class_flag::sanenames;
        EXPECT_TRUE(refused_by_name_check(name)) << name;
        curclass.flags &= ~class_flag::sanenames;
        EXPECT_FALSE(refused_by_name_check(name)) << name;
    }
    curclass.flags |= class_flag::sanenames;
    EXPECT_FALSE(refused_by_name_check("Good-name_1.2+3,4"));
}

TEST_F(GrammarTest, PassiveCommandsNeedThePassiveFlag) {
    log_in();
    curclass.flags &= ~class_flag::passive;
    EXPECT_EQ(run("PASV"), "500 PASV mode not available.\r\n");
    EXPECT_EQ(run("LPSV"), "500 LPSV mode not available.\r\n");
    EXPECT_EQ(run("EPSV"), "500 EPSV mode not available.\r\n");
    EXPECT_EQ(run("EPSV ALL"), "500 EPSV mode not available.\r\n");
    EXPECT_EQ(data_channel.epsv_all, 0);
    curclass.flags |= class_flag::passive;
    run("EPSV ALL");
    EXPECT_NE(data_channel.epsv_all, 0);
    EXPECT_EQ(run("LPSV"), "501 LPSV disallowed after EPSV ALL\r\n");
}

TEST_F(GrammarTest, UmaskUsesTheOctalRule) {
    log_in();
    mode_t before = umask(0027);
    EXPECT_EQ(run("SITE UMASK 022"), "200 UMASK set to 022 (was 027)\r\n");
    EXPECT_EQ(run("SITE UMASK"), "200 Current UMASK is 022\r\n");
    umask(before);
}

class TempFile {
public:
    TempFile() {
        char name[] = "/tmp/wharfd-grammar-XXXXXX";
        int fd = mkstemp(name);
        if (fd >= 0) close(fd);
        path = name;
    }
    ~TempFile() { unlink(path.c_str()); }
    std::string path;
};

TEST_F(GrammarTest, SiteChmodChangesTheModeWithinRange) {
    log_in();
    TempFile file;
    EXPECT_EQ(run("SITE CHMOD 640 " + file.path), "200 CHMOD command successful.\r\n");
    struct stat st {};
    ASSERT_EQ(stat(file.path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    for (const char* mode : {"1000", "8", "779"}) {
        EXPECT_EQ(run(std::string("SITE CHMOD ") + mode + " " + file.path),
                  "501 CHMOD: Mode value must be between 0 and 0777\r\n")
            << mode;
    }
    ASSERT_EQ(stat(file.path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(run("SITE CHMOD 644 /nonexistent/file"),
              "550 /nonexistent/file: No such file or directory.\r\n");
}

TEST_F(GrammarTest, MdtmShowsTheModificationTimeInUtc) {
    log_in();
    TempFile file;
    timespec times[2] = {{.tv_sec = 1704164645, .tv_nsec = 0}, {.tv_sec = 1704164645, .tv_nsec = 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, file.path.c_str(), times, 0), 0);
    EXPECT_EQ(run("MDTM " + file.path), "213 20240102030405\r\n");
    EXPECT_EQ(run("MDTM /tmp"), "550 /tmp: not a plain file.\r\n");
    EXPECT_EQ(run("MDTM /nonexistent"), "550 /nonexistent: No such file or directory.\r\n");
}

TEST_F(GrammarTest, TildeIsExpandedAfterLogin) {
    std::strcpy(login_dir, "/srv/home");
    EXPECT_EQ(run("MDTM ~/x"), "530 Please login with USER and PASS.\r\n");
    log_in();
    EXPECT_EQ(run("MDTM ~/x"), "550 /srv/home/x: No such file or directory.\r\n");
    EXPECT_EQ(run("MDTM ~"), "550 /srv/home: No such file or directory.\r\n");
    passwd* root = getpwnam("root");
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(run("MDTM ~root/nothing-here"),
              std::string("550 ") + root->pw_dir + "/nothing-here: No such file or directory.\r\n");
    EXPECT_EQ(run("MDTM ~no-such-user-here/x"),
              "550 ~no-such-user-here/x: No such file or directory.\r\n");
}

TEST_F(GrammarTest, RateLimitsRespectTheClassBound) {
    log_in();
    curclass.maxrateget = 1000;
    EXPECT_EQ(run("SITE RATEGET 2000"), "501 RATEGET 2000 is greater than 1000.\r\n");
    EXPECT_EQ(curclass.rateget, 0);
    EXPECT_EQ(run("SITE RATEGET 1000"), "200 RATEGET set to 1000 bytes/sec\r\n");
    EXPECT_EQ(curclass.rateget, 1000);
    EXPECT_EQ(run("SITE RATEPUT 64k"), "200 RATEPUT set to 65536 bytes/sec\r\n");
    EXPECT_EQ(curclass.rateput, 65536);
}

TEST_F(GrammarTest, SystWithoutVersion) {
    version_string = nullptr;
    EXPECT_EQ(run("SYST"), "215 UNIX Type: L8\r\n");
}

TEST_F(GrammarTest, PasswordIsEmptyWhenOnlyABlankFollows) {
    // PASS out of turn is answered by its handler: the line was accepted as SP CRLF.
    EXPECT_EQ(run("PASS "), "503 Login with USER first.\r\n");
    EXPECT_EQ(run("PASS"), "500 'PASS': command not understood.\r\n");
}

struct QuitCase {
    long long data_bytes;
    long long files;
    long long transfers;
    const char* data_line;
};

const QuitCase quit_cases[] = {
    {1, 1, 1, "    Data traffic for this session was 1 byte in 1 file.\r\n"},
    {2, 0, 3, "    Data traffic for this session was 2 bytes in 0 files.\r\n"},
};

TEST_F(GrammarTest, QuitSummarisesTheSession) {
    for (const QuitCase& c : quit_cases) {
        if (&c != quit_cases) {
            TearDown();
            SetUp();
        }
        auto [output, status] = run_in_child([&] {
            log_in();
            transfer_counters.data_bytes_total = c.data_bytes;
            transfer_counters.data_files_total = c.files;
            transfer_counters.transfers_total = c.transfers;
            run("QUIT");
        });
        EXPECT_EQ(status, 0);
        std::string expected_start = std::string("221-\r\n") + c.data_line;
        EXPECT_EQ(output.substr(0, expected_start.size()), expected_start);
        // The total counts the traffic so far: the two reply lines already sent.
        long long sent_before_total = 6 + static_cast<long long>(std::strlen(c.data_line));
        std::string total = std::string("    Total traffic for this session was ") +
                            std::to_string(sent_before_total) + " bytes in " +
                            std::to_string(c.transfers) + (c.transfers == 1 ? " transfer." : " transfers.");
        EXPECT_NE(output.find(total), std::string::npos) << output;
        EXPECT_NE(output.find("221 Thank you for using the FTP service on test.example.\r\n"),
                  std::string::npos);
    }
}

TEST_F(GrammarTest, QuitBeforeLoginIsOneLine) {
    auto [output, status] = run_in_child([&] { run("QUIT"); });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(output, "221 Thank you for using the FTP service on test.example.\r\n");
}

}  // namespace
