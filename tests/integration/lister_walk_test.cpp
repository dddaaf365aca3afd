// The lister's operands, walk, sorting and diagnostics, run as the `wharfls`
// program (and once as lister_main in a forked, changed-root child) and compared
// byte for byte.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "lister/lister.h"
#include "lister_fixture.h"

namespace lister_test {
namespace {

constexpr std::time_t old_time = 1569931205;  // 2019-10-01 12:00:05 UTC
const std::string old_date = "Oct  1  2019 ";
constexpr uid_t unprivileged_uid = 65534;

// Operands: none, two directories, a file and a directory, a missing one, an
// empty directory, -d with -R either way round, and symbolic links with and
// without -l, -d, -F and -L.
TEST(ListerOperands, TableOfCases) {
    TempTree tree;
    tree.dir("d1");
    tree.file("d1/x");
    tree.dir("d2");
    tree.file("d2/y");
    tree.file("f");
    tree.dir("empty");
    tree.symlink("d1", "lnk");
    tree.symlink("f", "flink");
    for (const char* name : {"d1/x", "d2/y", "f", "lnk", "flink"}) tree.times(name, old_time);
    RunOptions options;
    options.cwd = tree.root();
    const std::string empty_file = "-rw-r--r--  1 0  0  0 " + old_date;
    run_cases(
        {
            {{}, "d1\nd2\nempty\nf\nflink\nlnk\n"},
            {{"d1", "d2"}, "d1:\nx\n\nd2:\ny\n"},
            {{"d1", "f"}, "f\n\nd1:\nx\n"},
            {{"missing", "f"}, "f\n", "ls: missing: No such file or directory\n", 1},
            {{"d1", "missing"}, "d1:\nx\n", "ls: missing: No such file or directory\n", 1},
            {{"empty"}, ""},
            {{"-l", "empty"}, ""},
            {{"-ln", "d1"}, "total 0\n" + empty_file + "x\n"},
            {{"-ln", "f"}, empty_file + "f\n"},
            {{"-d", "d1"}, "d1\n"},
            {{"-dR", "d1"}, "d1\n"},
            {{"-Rd", "d1"}, "d1\n"},
            {{"-d", "f", "d1"}, "d1\nf\n"},
            {{"lnk"}, "x\n"},
            {{"-d", "lnk"}, "lnk\n"},
            {{"-F", "lnk"}, "lnk@\n"},
            {{"-ln", "lnk"}, "lrwxrwxrwx  1 0  0  2 " + old_date + "lnk -> d1\n"},
            {{"-lnL", "lnk"}, "total 0\n" + empty_file + "x\n"},
            {{"-lnL", "flink"}, empty_file + "flink\n"},
            {{"-W", "d1"}, "x\n"},
            {{"--", "f"}, "f\n"},
            // Options end at the first operand.
            {{"f", "-l"}, "f\n", "ls: -l: No such file or directory\n", 1},
            {{"-z", "f"}, "",
             "ls: invalid option -- 'z'\nusage: ls [-ACFLRSTWacdfgiklmnopqrstux1] [file ...]\n", 1},
        },
        options);
}

std::vector<std::string> directory_order(const std::string& path) {
    std::vector<std::string> names;
    DIR* directory = opendir(path.c_str());
    if (directory == nullptr) return names;
    while (dirent* entry = readdir(directory)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(directory);
    return names;
}

// Sorting by name, time (seconds only, ties by name) and size, reversed or not,
// the last of -S and -t winning, atime with -u, and -f keeping directory order.
TEST(ListerSorting, TableOfCases) {
    TempTree tree;
    tree.dir("s");
    // name: size, mtime seconds (+ nanoseconds), atime
    tree.sparse_file("s/a", 30);
    tree.times("s/a", old_time + 10, 0, old_time + 50);
    tree.sparse_file("s/b", 10);
    tree.times("s/b", old_time + 20, 0, old_time + 40);
    tree.sparse_file("s/c", 20);
    tree.times("s/c", old_time + 20, 500000000, old_time + 30);  // newer than b only in ns
    tree.sparse_file("s/d", 10);
    tree.times("s/d", old_time + 5, 0, old_time + 60);
    std::string unsorted;
    for (const auto& name : directory_order(tree.path("s"))) unsorted += name + "\n";
    ASSERT_FALSE(unsorted.empty());

    RunOptions options;
    options.cwd = tree.root();
    auto line = [](const char* size, const char* name) {
        return std::string("-rw-r--r--  1 0  0  ") + size + " " + "Oct  1  2019 " + name + "\n";
    };
    run_cases(
        {
            {{"s"}, "a\nb\nc\nd\n"},
            {{"-r", "s"}, "d\nc\nb\na\n"},
            {{"-t", "s"}, "b\nc\na\nd\n"},
            {{"-tr", "s"}, "d\na\nc\nb\n"},
            {{"-lnt", "s"},
             "total 0\n" + line("10", "b") + line("20", "c") + line("30", "a") + line("10", "d")},
            {{"-lntr", "s"},
             "total 0\n" + line("10", "d") + line("30", "a") + line("20", "c") + line("10", "b")},
            {{"-S", "s"}, "a\nc\nb\nd\n"},
            {{"-Sr", "s"}, "d\nb\nc\na\n"},
            {{"-St", "s"}, "b\nc\na\nd\n"},
            {{"-tS", "s"}, "a\nc\nb\nd\n"},
            {{"-tu", "s"}, "d\na\nb\nc\n"},
            {{"-tcu", "s"}, "d\na\nb\nc\n"},
            {{"-f", "s"}, unsorted},
            {{"-fr", "s"}, unsorted},
            {{"-ft", "s"}, unsorted},
            {{"-f", "s/d", "s/a"}, "s/d\ns/a\n"},
            {{"s/d", "s/a"}, "s/a\ns/d\n"},
        },
        options);
}

void recursive_tree(TempTree& tree) {
    tree.dir("r");
    tree.file("r/a");
    tree.dir("r/sub");
    tree.file("r/sub/b");
    tree.dir("r/sub/deeper");
    tree.file("r/sub/deeper/c");
    tree.dir("r/.hid");
    tree.dir("r/.hid/vis");
    tree.file("r/.hid/vis/v");
}

// -R: a header "\n<path>:\n" for every directory once output has started; the
// superuser sees hidden entries without -A.
TEST(ListerRecursion, HeadersAsSuperuser) {
    TempTree tree;
    recursive_tree(tree);
    RunOptions options;
    options.cwd = tree.root();
    run_cases(
        {
            {{"-R", "r"},
             ".hid\na\nsub\n\nr/.hid:\nvis\n\nr/.hid/vis:\nv\n\nr/sub:\nb\ndeeper\n\n"
             "r/sub/deeper:\nc\n"},
            {{"-R", "r/sub", "r/a"}, "r/a\n\nr/sub:\nb\ndeeper\n\nr/sub/deeper:\nc\n"},
            {{"-R", "r/sub/deeper", "r/.hid"},
             "r/.hid:\nvis\n\nr/.hid/vis:\nv\n\nr/sub/deeper:\nc\n"},
        },
        options);
}

// For other users a hidden directory gets no header and no listing, but the
// walk still goes through it, so visible directories inside are listed; -A
// shows everything.
TEST(ListerRecursion, HiddenDirectoriesForOtherUsers) {
    TempTree tree;
    recursive_tree(tree);
    tree.file("r/.dotfile");
    RunOptions options;
    options.cwd = tree.root();
    options.drop_to_uid = true;
    options.uid = unprivileged_uid;
    run_cases(
        {
            {{"-R", "r"}, "a\nsub\n\nr/.hid/vis:\nv\n\nr/sub:\nb\ndeeper\n\nr/sub/deeper:\nc\n"},
            {{"-RA", "r"},
             ".dotfile\n.hid\na\nsub\n\nr/.hid:\nvis\n\nr/.hid/vis:\nv\n\nr/sub:\nb\ndeeper\n\n"
             "r/sub/deeper:\nc\n"},
            {{"r"}, "a\nsub\n"},
            {{"-a", "r"}, ".\n..\n.dotfile\n.hid\na\nsub\n"},
        },
        options);
}

// Operands whose status cannot be read are reported after the others are
// sorted, among themselves by name ascending even with -r, and left out; the
// others are listed and the exit status is 1. (glibc's fts falls back to lstat
// for any link it cannot follow, so a looping link under -L is shown as a link.)
TEST(ListerRecursion, StatusUnavailable) {
    TempTree tree;
    tree.dir("d");
    tree.symlink("loop", "d/loop");
    tree.times("d/loop", old_time);
    tree.file("d/ok");
    tree.times("d/ok", old_time);
    RunOptions options;
    options.cwd = tree.root();
    const std::string missing =
        "ls: aa: No such file or directory\nls: zz: No such file or directory\n";
    run_cases(
        {
            {{"zz", "d/ok", "aa"}, "d/ok\n", missing, 1},
            {{"-r", "zz", "d/ok", "aa", "d/loop"}, "d/ok\nd/loop\n", missing, 1},
            {{"-t", "zz", "d/ok", "aa"}, "d/ok\n", missing, 1},
            {{"-lnL", "d/loop"}, "lrwxrwxrwx  1 0  0  4 " + old_date + "d/loop -> loop\n"},
        },
        options);
}

// A directory reached again through a followed link is reported as a cycle and
// not entered; the exit status stays 0.
TEST(ListerRecursion, CycleWarning) {
    TempTree tree;
    tree.dir("cy");
    tree.dir("cy/sub");
    tree.symlink("..", "cy/sub/back");
    RunOptions options;
    options.cwd = tree.root();
    run_cases(
        {{{"-RL", "cy"}, "sub\n\ncy/sub:\nback\n", "ls: back: directory causes a cycle\n", 0}},
        options);
}

// An unreadable directory. The tests run as the superuser, who may read any
// directory, so the lister runs under an unprivileged user id (set in the child
// between fork and exec) to meet a mode-000 directory it cannot read.
TEST(ListerRecursion, UnreadableDirectory) {
    TempTree tree;
    tree.dir("u");
    tree.dir("u/locked", 0);
    tree.file("u/open");
    // Readable but not searchable: names can be read, file status cannot.
    tree.dir("u/nosearch");
    tree.file("u/nosearch/p");
    tree.file("u/nosearch/q");
    tree.mode("u/nosearch", 0444);
    RunOptions options;
    options.cwd = tree.root();
    options.drop_to_uid = true;
    options.uid = unprivileged_uid;
    run_cases(
        {
            {{"u/locked"}, "", "ls: u/locked: Permission denied\n", 1},
            {{"u/locked", "u/open"},
             "u/open\n\nu/locked:\n",
             "ls: u/locked: Permission denied\n",
             1},
            {{"-R", "u"},
             "locked\nnosearch\nopen\n\nu/locked:\n\nu/nosearch:\np\nq\n",
             "ls: locked: Permission denied\nls: nosearch: Permission denied\n", 1},
            {{"u"}, "locked\nnosearch\nopen\n"},
            {{"u/nosearch"}, "p\nq\n"},
            {{"-l", "u/nosearch"}, "", "ls: u/nosearch: Permission denied\n", 1},
            // The operand as given, also with a trailing slash.
            {{"u/locked/"}, "", "ls: u/locked/: Permission denied\n", 1},
        },
        options);
}

// A listing that cannot be written is a failure: output to a full device.
TEST(ListerOutput, WriteErrorIsReported) {
    TempTree tree;
    tree.file("f");
    RunOptions options;
    options.cwd = tree.root();
    options.stdout_path = "/dev/full";
    run_cases({{{"f"}, "", "ls: stdout: No space left on device\n", 1}}, options);
}

// On a terminal the default format is multi-column with non-printable bytes shown
// as "?"; the width comes from COLUMNS when it is set, else from the window size.
TEST(ListerOutput, TerminalDefaults) {
    TempTree tree;
    tree.dir("t");
    for (int i = 1; i <= 7; ++i) tree.file("t/n" + std::to_string(i));
    tree.dir("q");
    tree.file("q/a\x01" "b");
    struct TerminalCase {
        unsigned short window_columns;
        const char* columns_variable;
        const char* directory;
        std::string out;
    };
    const TerminalCase cases[] = {
        {80, nullptr, "t", "n1 n2 n3 n4 n5 n6 n7\n"},
        {9, nullptr, "t", "n1 n4 n7\nn2 n5\nn3 n6\n"},
        {80, "COLUMNS=9", "t", "n1 n4 n7\nn2 n5\nn3 n6\n"},
        {9, "COLUMNS=80", "t", "n1 n2 n3 n4 n5 n6 n7\n"},
        {80, nullptr, "q", "a?b\n"},
    };
    for (const TerminalCase& c : cases) {
        RunOptions options;
        options.cwd = tree.root();
        options.terminal = true;
        options.terminal_columns = c.window_columns;
        if (c.columns_variable != nullptr) options.env.push_back(c.columns_variable);
        RunResult result = run_lister({c.directory}, options);
        EXPECT_EQ(result.out, c.out) << "window " << c.window_columns << " "
                                     << (c.columns_variable ? c.columns_variable : "");
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.status, 0);
    }
}

// lister_main as the command-pipe layer runs it: in a forked child of a process
// that has used getopt, after the zone was loaded and the root changed to a tree
// without zone files; called several times in one process. Dates stay in the
// zone loaded before the change of root, and no call inherits options or errors
// of the one before.
TEST(ListerInProcess, RepeatedCallsInChangedRoot) {
    TempTree tree;
    tree.file("f", 5);
    tree.owner("f", 4321, 4321);  // no name for these ids anywhere
    std::time_t recent = std::time(nullptr) - 86400;
    tree.times("f", recent);
    tree.dir("d");
    tree.file("d/x");

    int output[2];
    ASSERT_EQ(pipe(output), 0);
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(output[0]);
        dup2(output[1], STDOUT_FILENO);
        dup2(output[1], STDERR_FILENO);
        // A zone nine hours east of UTC without summer time.
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("/usr/share/zoneinfo/Asia/Tokyo", "/etc/localtime", nullptr, MS_BIND,
                  nullptr) != 0)
            _exit(126);
        unsetenv("TZ");
        tzset();
        // Leave getopt in the middle of an option cluster.
        char program[] = "prog";
        char cluster[] = "-ab";
        char* used[] = {program, cluster, nullptr};
        if (getopt(2, used, "ab") != 'a') _exit(126);
        if (chroot(tree.root().c_str()) != 0 || chdir("/") != 0) _exit(126);

        char ls[] = "/bin/ls";
        char long_options[] = "-lgA";
        char bad_option[] = "-Rz";
        char file[] = "f";
        char directory[] = "d";
        char* first[] = {ls, long_options, file, nullptr};
        char* second[] = {ls, directory, nullptr};
        char* third[] = {ls, bad_option, directory, nullptr};
        char* fourth[] = {ls, file, directory, nullptr};
        int statuses[] = {lister_main(3, first), lister_main(2, second), lister_main(3, third),
                          lister_main(3, fourth)};
        std::printf("%d %d %d %d\n", statuses[0], statuses[1], statuses[2], statuses[3]);
        std::fflush(stdout);
        _exit(0);
    }
    close(output[1]);
    std::string text;
    char buffer[4096];
    ssize_t count = 0;
    while ((count = read(output[0], buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<std::size_t>(count));
    close(output[0]);
    int wait_status = 0;
    ASSERT_EQ(waitpid(child, &wait_status, 0), child);
    ASSERT_TRUE(WIFEXITED(wait_status));
    ASSERT_EQ(WEXITSTATUS(wait_status), 0) << text;
    EXPECT_EQ(text, "-rw-r--r--  1 4321  4321  5 " + date_field(recent + 9 * 3600, true) + "f\n" +
                        "x\n" +
                        "/bin/ls: invalid option -- 'z'\n"
                        "usage: ls [-ACFLRSTWacdfgiklmnopqrstux1] [file ...]\n" +
                        "f\n\nd:\nx\n" + "0 0 1 0\n");
}

}  // namespace
}  // namespace lister_test
