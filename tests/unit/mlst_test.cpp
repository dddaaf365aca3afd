// FEAT, OPTS, MLST and MLSD: the feature list, fact selection, the facts and the
// permission letters.
#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <fstream>
#include <regex>

#include "files/mlst.h"
#include "session_fixture.h"

struct MlstFact {
    const char* name;
    int enabled;
    void (*write)(const char*, FILE*, const struct MlstEntry&);
};
extern MlstFact mlst_facts[];

namespace {

class MlstTest : public SessionTest {
protected:
    void SetUp() override {
        SessionTest::SetUp();
        log_in();
        for (int i = 0; i < 5; ++i) mlst_facts[i].enabled = 1;
    }
    void TearDown() override {
        for (int i = 0; i < 5; ++i) mlst_facts[i].enabled = 1;
        SessionTest::TearDown();
    }
    static void write_file(const std::string& name, const std::string& content, mode_t mode) {
        std::ofstream(name, std::ios::binary) << content;
        chmod(name.c_str(), mode);
    }
    // The entry line of MLST for `path` (the middle line of the reply).
    std::string mlst_line(const std::string& path) {
        std::string reply = run("MLST " + path);
        std::size_t first = reply.find("\r\n");
        std::size_t second = reply.find("\r\n", first + 2);
        if (first == std::string::npos || second == std::string::npos) return reply;
        return reply.substr(first + 2, second - first - 2);
    }
    static std::string fact(const std::string& line, const std::string& name) {
        std::smatch m;
        if (!std::regex_search(line, m, std::regex("(^| |;)" + name + "=([^;]*);"))) return "<none>";
        return m[2];
    }
};

TEST_F(MlstTest, FeatListsTheFeaturesAndTheSelectedFacts) {
    login_complete = false;
    const std::string all =
        "211-Features supported\r\n MDTM\r\n MLST Type*;Size*;Modify*;Perm*;Unique*;\r\n"
        " REST STREAM\r\n SIZE\r\n TVFS\r\n211 End\r\n";
    EXPECT_EQ(run("FEAT"), all);
    EXPECT_EQ(run("OPTS MLST Size;"), "200 MLST OPTS Size;\r\n");
    EXPECT_EQ(run("FEAT"),
              "211-Features supported\r\n MDTM\r\n MLST Type;Size*;Modify;Perm;Unique;\r\n"
              " REST STREAM\r\n SIZE\r\n TVFS\r\n211 End\r\n");
}

TEST_F(MlstTest, OptsSelectsFactsOrStoresOptions) {
    struct Case {
        const char* line;
        const char* reply;
    } cases[] = {
        {"OPTS MLST type;SIZE;", "200 MLST OPTS Type;Size;\r\n"},
        {"OPTS MLST Type", "501 Invalid MLST options\r\n"},
        {"OPTS MLST Type; Size;", "501 Invalid MLST options\r\n"},
        {"OPTS MLST Type;;", "501 Invalid MLST options\r\n"},
        {"OPTS MLST Unknown;Perm;", "200 MLST OPTS Perm;\r\n"},
        {"OPTS MLST", "200 MLST OPTS\r\n"},
        {"OPTS NOOP abc", "200 Options for NOOP are 'abc'.\r\n"},
        {"OPTS noop", "200 Options for NOOP are 'abc'.\r\n"},
        {"OPTS RETR x", "501 RETR command does not support persistent options.\r\n"},
        {"OPTS REIN x", "502 REIN command not implemented.\r\n"},
        {"OPTS BOGUS x", "502 Unknown command 'BOGUS'.\r\n"},
    };
    for (const Case& c : cases) EXPECT_EQ(run(c.line), c.reply) << c.line;
    // The refused texts changed nothing: the last good selection is none at all.
    EXPECT_EQ(mlst_line("."), "  " + work_dir_);
}

TEST_F(MlstTest, MlstOfAFileShowsEveryFact) {
    write_file("f", "12345", 0644);
    timespec times[2] = {{.tv_sec = 1704164645, .tv_nsec = 0}, {.tv_sec = 1704164645, .tv_nsec = 0}};
    utimensat(AT_FDCWD, "f", times, 0);
    std::string reply = run("MLST f");
    EXPECT_TRUE(reply.starts_with("250-MLST f\r\n ")) << reply;
    EXPECT_TRUE(reply.ends_with(" " + work_dir_ + "/f\r\n250 End\r\n")) << reply;
    std::string line = mlst_line("f");
    EXPECT_EQ(fact(line, "Type"), "file");
    EXPECT_EQ(fact(line, "Size"), "5");
    EXPECT_EQ(fact(line, "Modify"), "20240102030405");
    EXPECT_EQ(fact(line, "Perm"), "adfrw");
    struct stat st {};
    stat("f", &st);
    char unique[unique_fact_size];
    unique_fact_text(st.st_dev, st.st_ino, unique);
    EXPECT_EQ(fact(line, "Unique"), unique);
    EXPECT_EQ(run("MLST missing"), "550 missing: No such file or directory.\r\n");
}

TEST_F(MlstTest, UniqueIsBase64OfDeviceAndInode) {
    char text[unique_fact_size];
    unique_fact_text(90, 12345, text);
    EXPECT_STREQ(text, "WgAAAAAAAAA5MAAAAAAAAA");
    unique_fact_text(0, 0, text);
    EXPECT_STREQ(text, "AAAAAAAAAAAAAAAAAAAAAA");
    write_file("one", "x", 0644);
    ASSERT_EQ(link("one", "two"), 0);
    EXPECT_EQ(fact(mlst_line("one"), "Unique"), fact(mlst_line("two"), "Unique"));
}

TEST_F(MlstTest, DirectoryFactsAndPermissionLetters) {
    ASSERT_EQ(mkdir("empty", 0700), 0);
    ASSERT_EQ(mkdir("full", 0700), 0);
    write_file("full/x", "", 0644);
    ASSERT_EQ(mkdir("locked", 0755), 0);
    write_file("locked/f", "", 0644);
    chmod("locked", 0555);  // not writable by its owner: no d or f inside
    EXPECT_EQ(fact(mlst_line("empty"), "Type"), "dir");
    EXPECT_EQ(fact(mlst_line("empty"), "Size"), "<none>");
    EXPECT_EQ(fact(mlst_line("empty"), "Perm"), "cdeflmp");
    EXPECT_EQ(fact(mlst_line("full"), "Perm"), "ceflmp");
    EXPECT_EQ(fact(mlst_line("locked/f"), "Perm"), "arw");
    curclass.flags &= ~class_flag::modify;
    EXPECT_EQ(fact(mlst_line("full"), "Perm"), "el");
    EXPECT_EQ(fact(mlst_line("full/x"), "Perm"), "arw");
    curclass.flags |= class_flag::modify;
    curclass.flags &= ~class_flag::upload;
    EXPECT_EQ(fact(mlst_line("full/x"), "Perm"), "dfr");
    chmod("locked", 0755);
}

TEST_F(MlstTest, MlstWithoutFactsAndWithoutArgument) {
    run("OPTS MLST");
    EXPECT_EQ(run("MLST"), "250-MLST .\r\n  " + work_dir_ + "\r\n250 End\r\n");
    // A blank with nothing after it is no path: the lexer refuses the line.
    EXPECT_EQ(run("MLST "), "500 'MLST ': command not understood.\r\n");
}

TEST_F(MlstTest, MlsdListsTheDirectoryWithItsParent) {
    remote_addr = loopback(40000);
    local_addr = loopback(2121);
    ASSERT_EQ(mkdir("d", 0755), 0);
    write_file("d/file", "abc", 0644);
    ASSERT_EQ(mkdir("d/sub", 0755), 0);
    auto listing = [&](const std::string& line) {
        std::string pasv = run("PASV");
        std::smatch m;
        std::regex_search(pasv, m, std::regex(R"(,(\d+),(\d+)\))"));
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        SocketAddress address = loopback(std::stoi(m[1]) * 256 + std::stoi(m[2]));
        connect(fd, &address.sa, address.length);
        std::string replies = run(line);
        std::string data;
        char buffer[4096];
        ssize_t n = 0;
        while ((n = read(fd, buffer, sizeof buffer)) > 0) data.append(buffer, static_cast<std::size_t>(n));
        close(fd);
        return std::make_pair(replies, data);
    };
    auto [replies, data] = listing("MLSD d");
    EXPECT_EQ(replies, "150 Opening ASCII mode data connection for 'MLSD'.\r\n226 MLSD complete.\r\n");
    EXPECT_NE(data.find("Type=cdir;"), std::string::npos) << data;
    EXPECT_NE(data.find(" " + work_dir_ + "/d\r\n"), std::string::npos) << data;
    EXPECT_NE(data.find("Type=pdir;"), std::string::npos);
    EXPECT_NE(data.find(" ..\r\n"), std::string::npos);
    EXPECT_NE(data.find("Type=file;Size=3;"), std::string::npos);
    EXPECT_NE(data.find(" file\r\n"), std::string::npos);
    EXPECT_NE(data.find("Type=dir;"), std::string::npos);
    EXPECT_NE(data.find(" sub\r\n"), std::string::npos);
    EXPECT_EQ(transfer_counters.transfers_sent, 1);

    run("OPTS MLST Size;");
    auto [replies2, data2] = listing("MLSD d");
    EXPECT_EQ(data2.find(" ..\r\n"), std::string::npos) << data2;
    EXPECT_NE(data2.find("Size=3; file\r\n"), std::string::npos) << data2;

    EXPECT_EQ(run("MLSD d/file"), "501 d/file: Not a directory.\r\n");
    EXPECT_EQ(run("MLSD missing"), "550 missing: No such file or directory.\r\n");
}

}  // namespace
