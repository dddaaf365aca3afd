// CWD, PWD, MKD, RMD, DELE, RNFR/RNTO and SIZE in the test's private directory.
#include <sys/stat.h>

#include <fstream>

#include "files/logical_cwd.h"

#include <string>
#include "session_fixture.h"

namespace {

class FileCommandsTest : public SessionTest {
protected:
    void SetUp() override {
        SessionTest::SetUp();
        log_in();
    }
    static void write_file(const std::string& name, const std::string& content) {
        std::ofstream(name, std::ios::binary) << content;
    }
    static bool exists(const std::string& name) {
        struct stat st {};
        return lstat(name.c_str(), &st) == 0;
    }
};

TEST_F(FileCommandsTest, CwdAndPwd) {
    ASSERT_EQ(mkdir("sub", 0755), 0);
    EXPECT_EQ(run("CWD sub"), "250 CWD command successful.\r\n");
    EXPECT_EQ(run("PWD"), "257 \"" + work_dir_ + "/sub\" is the current directory.\r\n");
    EXPECT_EQ(run("CDUP"), "250 CWD command successful.\r\n");
    EXPECT_EQ(run("XPWD"), "257 \"" + work_dir_ + "\" is the current directory.\r\n");
    EXPECT_EQ(run("CWD missing"), "550 missing: No such file or directory.\r\n");
    std::strcpy(login_dir, work_dir_.c_str());
    run("CWD sub");
    EXPECT_EQ(run("CWD"), "250 CWD command successful.\r\n");
    EXPECT_EQ(std::string(logical_cwd), work_dir_);
}

TEST_F(FileCommandsTest, PwdDoublesQuotes) {
    ASSERT_EQ(mkdir("say \"hi\"", 0755), 0);
    run("CWD say \"hi\"");
    EXPECT_EQ(run("PWD"), "257 \"" + work_dir_ + "/say \"\"hi\"\"\" is the current directory.\r\n");
}

TEST_F(FileCommandsTest, MkdNamesThePathAsGiven) {
    EXPECT_EQ(run("MKD new"), "257 \"new\" directory created.\r\n");
    EXPECT_EQ(run("MKD new"), "550 new: File exists.\r\n");
    EXPECT_EQ(run("MKD a\"b"), "257 \"a\"\"b\" directory created.\r\n");
    EXPECT_EQ(run("RMD new"), "250 RMD command successful.\r\n");
    EXPECT_FALSE(exists("new"));
    EXPECT_EQ(run("RMD new"), "550 new: No such file or directory.\r\n");
}

TEST_F(FileCommandsTest, DeleRemovesFilesAndEmptyDirectories) {
    write_file("f", "x");
    ASSERT_EQ(mkdir("empty", 0755), 0);
    ASSERT_EQ(mkdir("full", 0755), 0);
    write_file("full/inside", "x");
    EXPECT_EQ(run("DELE f"), "250 DELE command successful.\r\n");
    EXPECT_EQ(run("DELE empty"), "250 DELE command successful.\r\n");
    EXPECT_EQ(run("DELE full"), "550 full: Directory not empty.\r\n");
    EXPECT_FALSE(exists("f"));
    EXPECT_FALSE(exists("empty"));
    EXPECT_TRUE(exists("full/inside"));
}

TEST_F(FileCommandsTest, RenameNeedsASuccessfulRnfrJustBefore) {
    write_file("a", "content");
    EXPECT_EQ(run("RNFR a"), "350 File exists, ready for destination name\r\n");
    EXPECT_EQ(run("RNTO b"), "250 RNTO command successful.\r\n");
    EXPECT_TRUE(exists("b"));
    EXPECT_FALSE(exists("a"));

    EXPECT_EQ(run("RNFR b"), "350 File exists, ready for destination name\r\n");
    run("NOOP");
    EXPECT_EQ(run("RNTO c"), "503 Bad sequence of commands.\r\n");

    EXPECT_EQ(run("RNFR missing"), "550 missing: No such file or directory.\r\n");
    EXPECT_EQ(run("RNTO c"), "503 Bad sequence of commands.\r\n");

    run("RNFR b");
    EXPECT_EQ(run("RNTO nodir/c"), "550 rename: No such file or directory.\r\n");
    EXPECT_TRUE(exists("b"));
}

TEST_F(FileCommandsTest, SizeDependsOnTheType) {
    write_file("three", "a\nb");
    write_file("empty", "");
    write_file("limit", std::string(10240, 'x'));
    write_file("over", std::string(10241, 'x'));
    ASSERT_EQ(mkdir("dir", 0755), 0);
    struct Case {
        const char* type;
        const char* line;
        const char* reply;
    } cases[] = {
        {"TYPE A", "SIZE three", "213 4\r\n"},
        {"TYPE A", "SIZE empty", "213 0\r\n"},
        {"TYPE A", "SIZE limit", "213 10240\r\n"},
        {"TYPE A", "SIZE over", "550 over: file too large for SIZE.\r\n"},
        {"TYPE A", "SIZE dir", "550 dir: not a plain file.\r\n"},
        {"TYPE A", "SIZE missing", "550 missing: No such file or directory.\r\n"},
        {"TYPE I", "SIZE three", "213 3\r\n"},
        {"TYPE I", "SIZE over", "213 10241\r\n"},
        {"TYPE I", "SIZE missing", "550 missing: not a plain file.\r\n"},
        {"TYPE L 8", "SIZE dir", "550 dir: not a plain file.\r\n"},
    };
    for (const Case& c : cases) {
        run(c.type);
        EXPECT_EQ(run(c.line), c.reply) << c.type << " / " << c.line;
    }
    transfer_type = TYPE_E;
    EXPECT_EQ(run("SIZE three"), "504 SIZE not implemented for Type E.\r\n");
}

TEST_F(FileCommandsTest, LogicalPathResolvesLinksAndParentSteps) {
    ASSERT_EQ(mkdir("real", 0755), 0);
    ASSERT_EQ(mkdir("real/deeper", 0755), 0);
    ASSERT_EQ(symlink("real", "relative"), 0);
    ASSERT_EQ(symlink((work_dir_ + "/real/deeper").c_str(), "absolute"), 0);
    ASSERT_EQ(symlink("loop-b", "loop-a"), 0);
    ASSERT_EQ(symlink("loop-a", "loop-b"), 0);
    const char* base = work_dir_.c_str();
    struct Case {
        const char* path;
        std::string expected;
    } cases[] = {
        {"relative", work_dir_ + "/real"},
        {"relative/deeper", work_dir_ + "/real/deeper"},
        {"absolute", work_dir_ + "/real/deeper"},
        {"absolute/..", work_dir_ + "/real"},
        {".//real/./deeper", work_dir_ + "/real/deeper"},
        {"/", "/"},
        {"/../tmp", "/tmp"},
    };
    for (const Case& c : cases) {
        std::string built;
        ASSERT_TRUE(build_logical_path(base, c.path, built)) << c.path;
        EXPECT_EQ(built, c.expected) << c.path;
    }
    // A cycle of links gives up instead of going round for ever.
    std::string built;
    EXPECT_FALSE(build_logical_path(base, "loop-a", built));
}

}  // namespace
