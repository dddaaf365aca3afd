// The lister's output formats, run as the `wharfls` program on prepared trees and
// compared byte for byte: long lines, dates, block totals, devices, owners, modes,
// type marks, column arithmetic, the stream, printable names, inode columns.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "lister_fixture.h"

namespace lister_test {
namespace {

// 2019-10-01 12:00:05 UTC and 2023-10-01 12:00:05 UTC.
constexpr std::time_t old_time = 1569931205;
constexpr std::time_t full_time_example = 1696161605;
const std::string old_date = "Oct  1  2019 ";

// The four long lines of the format description, with the owner "owner" and the
// group "staff" from private account files. Linux gives every symbolic link the
// mode 0777, so the link line reads lrwxrwxrwx.
TEST(ListerLongFormat, ExampleLines) {
    TempTree tree;
    tree.write_text("passwd", "root:x:0:0:root:/root:/bin/sh\nowner:x:1234:1234::/:/bin/sh\n");
    tree.write_text("group", "root:x:0:\nstaff:x:1234:\n");
    tree.dir("t");
    tree.file("t/notes.txt", 1234);
    tree.file("t/data", 4);
    tree.symlink("data", "t/latest");
    for (const char* name : {"t/notes.txt", "t/data", "t/latest"}) tree.owner(name, 1234, 1234);

    std::time_t recent = std::time(nullptr) - 3 * 86400;
    std::string recent_date = date_field(recent, true);
    tree.times("t/latest", recent);

    RunOptions options;
    options.cwd = tree.path("t");
    options.in_child = [&] { return private_accounts(tree.path("passwd"), tree.path("group")); };

    struct Example {
        std::time_t notes_time;
        ListerCase expected;
    };
    const Example examples[] = {
        {recent,
         {{"-lgA", "latest", "notes.txt"},
          "lrwxrwxrwx  1 owner  staff     4 " + recent_date + "latest -> data\n"
          "-rw-r--r--  1 owner  staff  1234 " + recent_date + "notes.txt\n"}},
        {old_time,
         {{"-l", "notes.txt"}, "-rw-r--r--  1 owner  staff  1234 " + old_date + "notes.txt\n"}},
        {full_time_example,
         {{"-lT", "notes.txt"},
          "-rw-r--r--  1 owner  staff  1234 Oct  1 12:00:05 2023 notes.txt\n"}},
        {old_time,
         {{"-lF", "latest"}, "lrwxrwxrwx  1 owner  staff  4 " + recent_date + "latest@ -> data\n"}},
        {old_time,
         {{"-ln", "notes.txt"}, "-rw-r--r--  1 1234  1234  1234 " + old_date + "notes.txt\n"}},
        // -o adds the (empty) flags column and its blank.
        {old_time,
         {{"-lo", "notes.txt"}, "-rw-r--r--  1 owner  staff   1234 " + old_date + "notes.txt\n"}},
    };
    for (const Example& example : examples) {
        tree.times("t/notes.txt", example.notes_time);
        run_cases({example.expected}, options);
    }
}

// A time exactly 182 days (15724800 seconds) from "now", in the past or the
// future, shows the year; one second closer shows the clock. "Now" is the
// lister's own clock, so a run counts only when the second did not change
// around it.
TEST(ListerLongFormat, HalfYearRule) {
    TempTree tree;
    tree.dir("t");
    for (const char* name : {"f_edge", "f_in", "p_edge", "p_in"})
        tree.file(std::string("t/") + name);
    RunOptions options;
    options.cwd = tree.root();
    constexpr std::time_t half_year = 15724800;
    bool checked = false;
    for (int attempt = 0; attempt < 5 && !checked; ++attempt) {
        std::time_t now = std::time(nullptr);
        tree.times("t/f_edge", now + half_year);
        tree.times("t/f_in", now + half_year - 1);
        tree.times("t/p_edge", now - half_year);
        tree.times("t/p_in", now - half_year + 1);
        RunResult result = run_lister({"-ln", "t"}, options);
        if (std::time(nullptr) != now) continue;
        std::string line = "-rw-r--r--  1 0  0  0 ";
        EXPECT_EQ(result.out, "total 0\n" + line + date_field(now + half_year, false) + "f_edge\n" +
                                  line + date_field(now + half_year - 1, true) + "f_in\n" + line +
                                  date_field(now - half_year, false) + "p_edge\n" + line +
                                  date_field(now - half_year + 1, true) + "p_in\n");
        EXPECT_EQ(result.status, 0);
        checked = true;
    }
    EXPECT_TRUE(checked) << "the clock moved during every attempt";
}

// Block counts in 1024-byte units, rounded up, on a squashfs image whose files
// occupy one (100 bytes), two (700) and three (1500) 512-byte units.
TEST(ListerLongFormat, BlockTotalsAndBlockColumn) {
    TempTree tree;
    tree.dir("src");
    tree.dir("mnt");
    for (const char* d : {"src/d1", "src/d2", "src/d3", "src/d4"}) tree.dir(d);
    tree.file("src/d1/one", 100);
    tree.file("src/d2/two", 700);
    tree.file("src/d3/three", 1500);
    tree.file("src/d4/one", 100);
    tree.file("src/d4/two", 700);
    tree.file("src/d4/three", 1500);
    for (const char* f : {"src/d1/one", "src/d2/two", "src/d3/three", "src/d4/one", "src/d4/two",
                          "src/d4/three"})
        tree.times(f, old_time);
    std::string command = "mksquashfs " + tree.path("src") + " " + tree.path("image") +
                          " -noappend -quiet -no-progress -no-xattrs >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << "mksquashfs (package squashfs-tools) failed";

    RunOptions options;
    options.cwd = tree.path("mnt");
    options.in_child = [&] { return mount_squashfs(tree.path("image"), tree.path("mnt")); };
    const std::string file = "-rw-r--r--  1 0  0  ";
    run_cases(
        {
            {{"-ln", "d1"}, "total 1\n" + file + "100 " + old_date + "one\n"},
            {{"-ln", "d2"}, "total 1\n" + file + "700 " + old_date + "two\n"},
            {{"-ln", "d3"}, "total 2\n" + file + "1500 " + old_date + "three\n"},
            {{"-lns", "d4"},
             "total 3\n1 " + file + " 100 " + old_date + "one\n2 " + file + "1500 " + old_date +
                 "three\n1 " + file + " 700 " + old_date + "two\n"},
            {{"-lns", "d4/three"}, "2 " + file + "1500 " + old_date + "d4/three\n"},
            {{"-s", "d4"}, "1 one\n2 three\n1 two\n"},
            {{"-Cs", "d4"}, "total 3\n1 one   2 three 1 two\n"},
            {{"-xs", "d4"}, "total 3\n1 one   2 three 1 two   \n"},
            {{"-ms", "d4"}, "1 one, 2 three, 1 two\n"},
            {{"-sk", "d3"}, "2 three\n"},
        },
        options);
}

// Device numbers fill the size column, which widens for them; sizes of other
// entries are right-aligned to the same width.
TEST(ListerLongFormat, DeviceNumbers) {
    TempTree tree;
    tree.file("file5", 5);
    tree.device("tty", S_IFCHR, 0, 13);
    tree.sparse_file("big", 1234567);
    tree.device("blk", S_IFBLK, 4, 64);
    tree.device("wide", S_IFCHR, 259, 1048575);
    tree.device("narrow", S_IFCHR, 1, 3);
    for (const char* f : {"file5", "tty", "big", "blk", "wide", "narrow"}) tree.times(f, old_time);
    RunOptions options;
    options.cwd = tree.root();
    run_cases(
        {
            {{"-ln", "file5", "tty"},
             "-rw-r--r--  1 0  0      5 " + old_date + "file5\n"
             "crw-r--r--  1 0  0  0, 13 " + old_date + "tty\n"},
            {{"-ln", "big", "blk"},
             "-rw-r--r--  1 0  0  1234567 " + old_date + "big\n"
             "brw-r--r--  1 0  0    4, 64 " + old_date + "blk\n"},
            {{"-ln", "narrow", "wide"},
             "crw-r--r--  1 0  0    1,       3 " + old_date + "narrow\n"
             "crw-r--r--  1 0  0  259, 1048575 " + old_date + "wide\n"},
        },
        options);
}

// Owner and group names through the password and group databases (accounts every
// Debian system has), the number when an id has no name, and numbers with -n.
TEST(ListerLongFormat, OwnerAndGroupTexts) {
    TempTree tree;
    tree.file("o_root");
    tree.file("o_daemon");
    tree.file("o_none");
    tree.owner("o_daemon", 1, 2);
    tree.owner("o_none", 4242, 4243);
    for (const char* f : {"o_root", "o_daemon", "o_none"}) tree.times(f, old_time);
    RunOptions options;
    options.cwd = tree.root();
    run_cases(
        {
            {{"-l", "o_root", "o_daemon", "o_none"},
             "-rw-r--r--  1 daemon  bin   0 " + old_date + "o_daemon\n"
             "-rw-r--r--  1 4242    4243  0 " + old_date + "o_none\n"
             "-rw-r--r--  1 root    root  0 " + old_date + "o_root\n"},
            {{"-ln", "o_root", "o_daemon", "o_none"},
             "-rw-r--r--  1 1     2     0 " + old_date + "o_daemon\n"
             "-rw-r--r--  1 4242  4243  0 " + old_date + "o_none\n"
             "-rw-r--r--  1 0     0     0 " + old_date + "o_root\n"},
        },
        options);
}

// Mode strings for every file type and the set-id and sticky bits, and the marks
// of -F and -p.
TEST(ListerLongFormat, ModesAndTypeMarks) {
    TempTree tree;
    tree.dir("m");
    tree.file("m/plain", 0, 0644);
    tree.file("m/run", 0, 0755);
    tree.file("m/suid", 0, 04755);
    tree.file("m/suid_nx", 0, 04644);
    tree.file("m/sgid", 0, 02755);
    tree.file("m/sgid_nx", 0, 02644);
    tree.file("m/sticky", 0, 01755);
    tree.file("m/sticky_nx", 0, 01644);
    tree.fifo("m/pipe", 0600);
    tree.socket("m/sock");
    tree.dir("marks");
    tree.dir("marks/sub");
    tree.symlink("sub", "marks/lnk");
    tree.fifo("marks/pipe");
    tree.socket("marks/sock");
    tree.file("marks/run", 0, 0700);
    tree.file("marks/gx", 0, 0610);
    tree.file("marks/plain", 0, 0644);
    for (const char* f : {"m/plain", "m/run", "m/suid", "m/suid_nx", "m/sgid", "m/sgid_nx",
                          "m/sticky", "m/sticky_nx", "m/pipe", "m/sock"})
        tree.times(f, old_time);
    RunOptions options;
    options.cwd = tree.root();
    auto line = [](const char* mode, const char* name) {
        return std::string(mode) + "  1 0  0  0 " + old_date + name + "\n";
    };
    run_cases(
        {
            {{"-ln", "m"},
             "total 0\n" + line("prw-------", "pipe") + line("-rw-r--r--", "plain") +
                 line("-rwxr-xr-x", "run") + line("-rwxr-sr-x", "sgid") +
                 line("-rw-r-Sr--", "sgid_nx") + line("srwxr-xr-x", "sock") +
                 line("-rwxr-xr-t", "sticky") + line("-rw-r--r-T", "sticky_nx") +
                 line("-rwsr-xr-x", "suid") + line("-rwSr--r--", "suid_nx")},
            {{"-F", "marks"}, "gx*\nlnk@\npipe|\nplain\nrun*\nsock=\nsub/\n"},
            {{"-p", "marks"}, "gx\nlnk\npipe\nplain\nrun\nsock\nsub/\n"},
            {{"-mF", "marks"}, "gx*, lnk@, pipe|, plain, run*, sock=, sub/\n"},
        },
        options);
}

// A link target as long as the system allows (4095 bytes) is shown in full.
TEST(ListerLongFormat, LongestLinkTarget) {
    TempTree tree;
    tree.dir("l");
    const std::string target(4095, 't');  // PATH_MAX - 1
    tree.symlink(target, "l/far");
    tree.times("l/far", old_time);
    RunOptions options;
    options.cwd = tree.root();
    run_cases({{{"-ln", "l/far"},
                "lrwxrwxrwx  1 0  0  4095 " + old_date + "l/far -> " + target + "\n"}},
              options);
}

// Which time the long format shows: mtime, atime with -u, ctime with -c; of -c
// and -u the later letter wins.
TEST(ListerLongFormat, TimeSelection) {
    TempTree tree;
    tree.file("f");
    tree.times("f", old_time, 0, full_time_example);
    struct stat status {};
    ASSERT_EQ(lstat(tree.path("f").c_str(), &status), 0);
    std::string ctime_date = date_field(status.st_ctim.tv_sec, true);
    RunOptions options;
    options.cwd = tree.root();
    const std::string line = "-rw-r--r--  1 0  0  0 ";
    run_cases(
        {
            {{"-ln", "f"}, line + old_date + "f\n"},
            {{"-lnu", "f"}, line + "Oct  1  2023 f\n"},
            {{"-lnc", "f"}, line + ctime_date + "f\n"},
            {{"-lncu", "f"}, line + "Oct  1  2023 f\n"},
            {{"-lnuc", "f"}, line + ctime_date + "f\n"},
            {{"-lnuT", "f"}, line + "Oct  1 12:00:05 2023 f\n"},
        },
        options);
}

std::vector<std::string> names_of_ten(int count) {
    std::vector<std::string> names;
    for (int i = 1; i <= count; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "name%06d", i);
        names.push_back(name);
    }
    return names;
}

// Columns at width 80 (output to a pipe keeps the width at 80): names of ten
// characters give 7 columns of 11; a 40-character name falls back to one name
// per line, a 39-character one still gives two columns of 40.
TEST(ListerColumns, WidthEightyArithmetic) {
    TempTree tree;
    tree.dir("ten");
    for (const auto& name : names_of_ten(14)) tree.file("ten/" + name);
    tree.dir("forty");
    tree.file("forty/" + std::string(40, 'a'));
    tree.file("forty/b");
    tree.dir("thirtynine");
    tree.file("thirtynine/" + std::string(39, 'a'));
    tree.file("thirtynine/b");
    tree.dir("abc");
    for (const char* f : {"abc/a", "abc/b", "abc/c"}) tree.file(f);
    RunOptions options;
    options.cwd = tree.root();

    const std::string down =
        "name000001 name000003 name000005 name000007 name000009 name000011 name000013\n"
        "name000002 name000004 name000006 name000008 name000010 name000012 name000014\n";
    const std::string across =
        "name000001 name000002 name000003 name000004 name000005 name000006 name000007 \n"
        "name000008 name000009 name000010 name000011 name000012 name000013 name000014 \n";
    run_cases(
        {
            {{"-C", "ten"}, down},
            {{"-x", "ten"}, across},
            {{"-C", "forty"}, std::string(40, 'a') + "\nb\n"},
            {{"-x", "forty"}, std::string(40, 'a') + "\nb\n"},
            {{"-C", "thirtynine"}, std::string(39, 'a') + " b\n"},
            {{"-x", "thirtynine"}, std::string(39, 'a') + " b" + std::string(39, ' ') + "\n"},
            // The last format letter wins.
            {{"-lx", "abc"}, "a b c \n"},
            {{"-mC", "abc"}, "a b c\n"},
            {{"-Cm", "abc"}, "a, b, c\n"},
            {{"-C1", "abc"}, "a\nb\nc\n"},
            {{"abc"}, "a\nb\nc\n"},
        },
        options);
}

// -m: ", " between names; a name that would reach the width goes on a new line
// and the line before it ends with ",".
TEST(ListerColumns, StreamWrapping) {
    TempTree tree;
    tree.dir("s");
    for (int i = 1; i <= 8; ++i) tree.file("s/nine_ch_" + std::to_string(i));
    // Two names and ", " that would fill all 80 columns wrap; 79 columns fit.
    tree.dir("eighty");
    tree.file("eighty/" + std::string(39, 'a'));
    tree.file("eighty/" + std::string(39, 'b'));
    tree.dir("seventynine");
    tree.file("seventynine/" + std::string(38, 'a'));
    tree.file("seventynine/" + std::string(39, 'b'));
    RunOptions options;
    options.cwd = tree.root();
    run_cases({{{"-m", "s"},
                "nine_ch_1, nine_ch_2, nine_ch_3, nine_ch_4, nine_ch_5, nine_ch_6, nine_ch_7,\n"
                "nine_ch_8\n"},
               {{"-m", "eighty"}, std::string(39, 'a') + ",\n" + std::string(39, 'b') + "\n"},
               {{"-m", "seventynine"}, std::string(38, 'a') + ", " + std::string(39, 'b') + "\n"}},
              options);
}

// Names with a newline, a control character, a byte of 0x80 and a two-byte
// UTF-8 character: unchanged without -q, "?" for each such byte with -q, also in
// a UTF-8 locale (whose single-byte limit is 128). Link targets likewise.
TEST(ListerNames, NonPrintableBytes) {
    TempTree tree;
    tree.dir("q");
    tree.file("q/a\nb");
    tree.file("q/c\x01" "d");
    tree.file("q/e\x80" "f");
    tree.file("q/g\xc3\xa9h");
    tree.dir("l");
    tree.symlink("x\x01y", "l/t");
    tree.times("l/t", old_time);
    RunOptions c_locale;
    c_locale.cwd = tree.root();
    RunOptions utf8_locale = c_locale;
    utf8_locale.env = {"TZ=UTC", "LC_ALL=C.UTF-8"};
    const std::string raw = "a\nb\nc\x01" "d\ne\x80" "f\ng\xc3\xa9h\n";
    const std::string escaped = "a?b\nc?d\ne?f\ng??h\n";
    run_cases({{{"q"}, raw}, {{"-q", "q"}, escaped}, {{"-mq", "q"}, "a?b, c?d, e?f, g??h\n"}},
              c_locale);
    run_cases({{{"q"}, raw},
               {{"-q", "q"}, escaped},
               {{"-lnq", "l"}, "total 0\nlrwxrwxrwx  1 0  0  3 " + old_date + "t -> x?y\n"},
               {{"-ln", "l"}, "total 0\nlrwxrwxrwx  1 0  0  3 " + old_date + "t -> x\x01y\n"}},
              utf8_locale);
}

// -i puts a right-aligned inode column and one space before each name in every
// format.
TEST(ListerNames, InodeColumn) {
    TempTree tree;
    tree.dir("i");
    tree.file("i/a");
    tree.file("i/bb");
    tree.times("i/a", old_time);
    tree.times("i/bb", old_time);
    struct stat a {};
    struct stat bb {};
    ASSERT_EQ(lstat(tree.path("i/a").c_str(), &a), 0);
    ASSERT_EQ(lstat(tree.path("i/bb").c_str(), &bb), 0);
    // Give both numbers the width of the larger, as the lister must.
    int width = static_cast<int>(std::to_string(std::max(a.st_ino, bb.st_ino)).size());
    auto inode = [width](const struct stat& s) {
        std::string text = std::to_string(s.st_ino);
        return std::string(static_cast<std::size_t>(width) - text.size(), ' ') + text + " ";
    };
    std::string ia = inode(a) + "a";
    std::string ib = inode(bb) + "bb";
    std::string pad(static_cast<std::size_t>(80 / (80 / (width + 4))) - ia.size(), ' ');
    RunOptions options;
    options.cwd = tree.root();
    run_cases(
        {
            {{"-i", "i"}, ia + "\n" + ib + "\n"},
            {{"-mi", "i"}, ia + ", " + ib + "\n"},
            {{"-Ci", "i"}, ia + pad + ib + "\n"},
            {{"-lni", "i"},
             "total 0\n" + inode(a) + "-rw-r--r--  1 0  0  0 " + old_date + "a\n" + inode(bb) +
                 "-rw-r--r--  1 0  0  0 " + old_date + "bb\n"},
        },
        options);
}

}  // namespace
}  // namespace lister_test
