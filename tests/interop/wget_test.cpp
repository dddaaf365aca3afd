// wget against the server: a recursive anonymous mirror, and continuing a partly
// downloaded file.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "interop_fixture.h"

namespace {

class Wget : public Interop {
protected:
    void SetUp() override {
        Interop::SetUp();
        tree = {
            {"pub/readme.txt", "read me\n"},
            {"pub/top.bin", patterned(250000, 4)},
            {"pub/docs/guide.txt", "a guide\nin two lines\n"},
            {"pub/docs/sub/data.bin", patterned(123457, 5)},
            {"pub/docs/sub/name with blanks.txt", "blanks\n"},
        };
        for (const auto& [name, content] : tree) site.add_file(name, content);
        // Beside the mirrored directory: -np must keep wget out of it.
        site.add_file("other/elsewhere.txt", "not mirrored\n");
    }

    static ClientCommand wget(std::vector<std::string> arguments) {
        std::vector<std::string> argv = {"wget", "--no-verbose", "--tries=1", "--timeout=10"};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return {.argv = argv, .timeout = Millis(30000)};
    }

    std::map<std::string, std::string> tree;
};

TEST_F(Wget, MirrorsTheAnonymousAreaRecursively) {
    ASSERT_TRUE(serve());
    ClientResult result = run(wget({"-r", "-np", "-nH", url("/pub/")}));
    ASSERT_TRUE(result.succeeded()) << result << server_log();
    std::map<std::string, std::string> expected;
    for (const auto& [name, content] : tree) expected[name] = checksum(content);
    // wget keeps the listings it parsed only with --no-remove-listing.
    EXPECT_EQ(tree_checksums(home.work(), ".listing"), expected) << result;
}

TEST_F(Wget, ContinuesAPartlyDownloadedFile) {
    ASSERT_TRUE(serve());
    std::string whole = tree["pub/top.bin"];
    ASSERT_TRUE(home.write("top.bin", whole.substr(0, 100000)));
    ClientResult result = run(wget({"-d", "--continue", url("/pub/top.bin")}));
    ASSERT_TRUE(result.succeeded()) << result << server_log();
    EXPECT_NE(result.errors.find("REST 100000"), std::string::npos) << result;
    EXPECT_EQ(checksum(read_file(home.work("top.bin")).value_or("")), checksum(whole));
}

}  // namespace
