// Command pipes: glob expansion of the arguments, the built-in lister, external
// programs with the user's identity, exit statuses.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "login/login_state.h"
#include "pipe/command_pipe.h"

namespace {

std::string read_all(FILE* stream) {
    std::string text;
    for (int c = std::getc(stream); c != EOF; c = std::getc(stream)) text.push_back(static_cast<char>(c));
    return text;
}

struct Output {
    std::string text;
    int status;
};

Output run_pipe(std::initializer_list<const char*> words, int error_fd = -1) {
    std::vector<const char*> argv(words);
    argv.push_back(nullptr);
    FILE* stream = open_command_pipe(argv.data(), "r", error_fd);
    if (stream == nullptr) return {"<no pipe>", -2};
    std::string text = read_all(stream);
    return {text, close_command_pipe(stream)};
}

class CommandPipe : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/wharfd-pipe-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        for (const char* name : {"a.txt", "b.txt", "c.log"}) std::ofstream(dir + "/" + name) << name;
        user_account = nullptr;
    }
    void TearDown() override {
        user_account = nullptr;
        EXPECT_EQ(std::system(("rm -rf '" + dir + "'").c_str()), 0);
    }
    std::string dir;
};

TEST_F(CommandPipe, ArgumentsButTheFirstAreGlobbed) {
    std::string pattern = dir + "/*.txt";
    Output out = run_pipe({"/bin/echo", pattern.c_str()});
    EXPECT_EQ(out.text, dir + "/a.txt " + dir + "/b.txt\n");
    EXPECT_EQ(out.status, 0);
    std::string nothing = dir + "/*.none";
    EXPECT_EQ(run_pipe({"/bin/echo", nothing.c_str()}).text, nothing + "\n");
    std::string braces = dir + "/{c.log,a.txt}";
    EXPECT_EQ(run_pipe({"/bin/echo", braces.c_str()}).text, dir + "/c.log " + dir + "/a.txt\n");
    EXPECT_EQ(run_pipe({"/bin/echo", "~root"}).text, "/root\n");
}

TEST_F(CommandPipe, BuiltInListerNeedsNoProgramFile) {
    Output out = run_pipe({"/bin/ls", "-1", dir.c_str()});
    EXPECT_EQ(out.text, "a.txt\nb.txt\nc.log\n");
    EXPECT_EQ(out.status, 0);
    std::string missing = dir + "/missing";
    Output failed = run_pipe({"/bin/ls", missing.c_str()});
    EXPECT_EQ(failed.text, "");
    EXPECT_EQ(failed.status, 1);
}

TEST_F(CommandPipe, ErrorOutputGoesWhereTheCallerSays) {
    std::string missing = dir + "/missing";
    Output joined = run_pipe({"/bin/ls", missing.c_str()}, command_error_to_output);
    EXPECT_NE(joined.text.find(missing), std::string::npos) << joined.text;
    EXPECT_NE(joined.text.find("No such file or directory"), std::string::npos);
}

TEST_F(CommandPipe, ExitStatusesOfPrograms) {
    EXPECT_EQ(run_pipe({"/bin/sh", "-c", "exit 3"}).status, 3);
    EXPECT_EQ(run_pipe({"/bin/sh", "-c", "kill -9 $$"}).status, 1);
    Output absent = run_pipe({"/no/such/program"});
    EXPECT_EQ(absent.text, "");
    EXPECT_EQ(absent.status, 1);
    FILE* plain = std::fopen("/dev/null", "r");
    EXPECT_EQ(close_command_pipe(plain), -1);
    std::fclose(plain);
    const char* argv[] = {"/bin/true", nullptr};
    EXPECT_EQ(open_command_pipe(argv, "rw", -1), nullptr);
}

TEST_F(CommandPipe, ProgramsRunAsTheUserForReal) {
    passwd* nobody = copy_passwd_entry("nobody");
    ASSERT_NE(nobody, nullptr);
    user_account = nobody;
    Output ids = run_pipe({"/bin/sh", "-c", "id -ru; id -u; id -rg"});
    EXPECT_EQ(ids.text, std::to_string(nobody->pw_uid) + "\n" + std::to_string(nobody->pw_uid) + "\n" +
                            std::to_string(nobody->pw_gid) + "\n");
}

// The child's input is not the session's descriptor 0 (the client's commands).
TEST_F(CommandPipe, ReadingProgramsSeeAnEmptyInput) {
    int keep = dup(0);
    int fake_control[2];
    ASSERT_EQ(pipe(fake_control), 0);
    ASSERT_EQ(write(fake_control[1], "NOOP\r\n", 6), 6);
    close(fake_control[1]);
    dup2(fake_control[0], 0);
    close(fake_control[0]);
    Output out = run_pipe({"/bin/cat"});
    dup2(keep, 0);
    close(keep);
    EXPECT_EQ(out.text, "");
    EXPECT_EQ(out.status, 0);
}

TEST_F(CommandPipe, WriteModeFeedsTheProgram) {
    std::string target = dir + "/written";
    std::string script = "cat > " + target;
    const char* argv[] = {"/bin/sh", "-c", script.c_str(), nullptr};
    FILE* stream = open_command_pipe(argv, "w", -1);
    ASSERT_NE(stream, nullptr);
    std::fputs("through the pipe\n", stream);
    EXPECT_EQ(close_command_pipe(stream), 0);
    std::ifstream in(target);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "through the pipe");
}

}  // namespace
