// lftp against the server: a nested tree mirrored down and back up, through MLSD
// listings and through LIST, and MLSD listings of names with blanks.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>
#include <string>
#include <vector>

#include "interop_fixture.h"

namespace {

// Settings every run wants: stop at the first failing command, retry once, time
// out soon, no TLS attempt, nothing from the user's rc files (HOME is private).
constexpr const char* lftp_settings =
    "set cmd:fail-exit yes; set net:max-retries 1; set net:timeout 10; set net:reconnect-interval-base 1; "
    "set ftp:ssl-allow no; set ftp:passive-mode yes; ";

class Lftp : public Interop {
protected:
    void SetUp() override {
        Interop::SetUp();
        Attributes bobs{.uid = bob_uid, .gid = users_gid};
        tree = {
            {"top.txt", "top level\nsecond line\n"},
            {"name with blanks.txt", "blanks\n"},
            {"sub/one.bin", patterned(70000, 1)},
            {"sub/two.bin", patterned(1, 2)},
            {"sub/deeper/three.bin", patterned(300000, 3)},
            {"sub/deeper/still deeper/four.txt", "four\n"},
            {"empty.dat", ""},
        };
        for (const auto& [name, content] : tree) site.add_file("home/bob/tree/" + name, content, bobs);
        // add_file made the directories root's; bob must own the tree he mirrors.
        for (const char* dir : {"tree", "tree/sub", "tree/sub/deeper", "tree/sub/deeper/still deeper"})
            site.add_dir(std::string("home/bob/") + dir, bobs);
    }

    // lftp -d -c "<settings> open ...; <commands>" as bob.
    ClientCommand lftp(const std::string& commands) const {
        std::string script = std::string(lftp_settings) + "open -u bob,secret " + url("") + "; " + commands;
        return {.argv = {"lftp", "-d", "-c", script}, .timeout = Millis(30000)};
    }

    std::map<std::string, std::string> expected_checksums() const {
        std::map<std::string, std::string> sums;
        for (const auto& [name, content] : tree) sums[name] = checksum(content);
        return sums;
    }

    std::vector<std::pair<std::string, std::string>> tree;
};

struct MirrorCase {
    std::string label;
    std::string use_mlsd;      // "yes" or "no"
    std::string listing_sent;  // the listing command lftp must have used
    friend void PrintTo(const MirrorCase& c, std::ostream* out) { *out << c.label; }
};

class LftpMirror : public Lftp, public testing::WithParamInterface<MirrorCase> {};

TEST_P(LftpMirror, CopiesANestedTreeDownAndUp) {
    ASSERT_TRUE(serve());
    ClientResult result = run(lftp("set ftp:use-mlsd " + GetParam().use_mlsd +
                                   "; mirror tree tree-down; mirror -R tree-down tree-up"));
    ASSERT_TRUE(result.succeeded()) << result << server_log();
    EXPECT_NE(result.errors.find("---> " + GetParam().listing_sent), std::string::npos) << result;

    EXPECT_EQ(tree_checksums(home.work("tree-down")), expected_checksums()) << result;
    EXPECT_EQ(tree_checksums(bob_path("tree-up")), expected_checksums()) << result;
    // Uploads belong to the user who made them.
    struct stat status {};
    ASSERT_EQ(stat(bob_path("tree-up/sub/deeper/still deeper/four.txt").c_str(), &status), 0);
    EXPECT_EQ(status.st_uid, bob_uid);
    // mirror -R copies the modes with SITE CHMOD, names with blanks included; the
    // umask alone would have left 0640 and 0750.
    ASSERT_EQ(stat(bob_path("tree-up/name with blanks.txt").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0644u);
    ASSERT_EQ(stat(bob_path("tree-up/sub/deeper/still deeper").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0755u);
}

INSTANTIATE_TEST_SUITE_P(Lftp, LftpMirror,
                         testing::ValuesIn(std::vector<MirrorCase>{
                             {"ThroughMlsd", "yes", "MLSD"},
                             {"ThroughList", "no", "LIST"},
                         }),
                         CaseLabel());

TEST_F(Lftp, MlsdListingsShowNamesWithBlanks) {
    site.add_file("home/bob/tree/ two  blanks ", "x", {.uid = bob_uid, .gid = users_gid});
    ASSERT_TRUE(serve());
    ClientResult result = run(lftp("set ftp:use-mlsd yes; cls -l tree/; cls -1 tree/sub/deeper/"));
    ASSERT_TRUE(result.succeeded()) << result << server_log();
    EXPECT_NE(result.errors.find("---> MLSD"), std::string::npos) << result;
    // cls -l shows what the MLSD facts said: size, modification time, the type and
    // the whole name, blanks at either end included.
    for (const char* line : {"        7 Oct  1  2023 tree/name with blanks.txt\n",
                             "        1 Oct  1  2023 tree/ two  blanks \n",
                             "       22 Oct  1  2023 tree/top.txt\n",
                             "        0 Oct  1  2023 tree/empty.dat\n",
                             "          Oct  1  2023 tree/sub/\n",
                             "\ntree/sub/deeper/still deeper/\n",
                             "\ntree/sub/deeper/three.bin\n"})
        EXPECT_NE(result.output.find(line), std::string::npos) << line << "\n" << result;

    // A file whose name has blanks downloads by that name.
    result = run(lftp("get 'tree/name with blanks.txt' -o got.txt"));
    ASSERT_TRUE(result.succeeded()) << result << server_log();
    EXPECT_EQ(read_file(home.work("got.txt")), "blanks\n");
}

}  // namespace
