// Python's ftplib against the server (the scenarios are in ftplib_client.py):
// MLSD facts, SIZE, MDTM, NLST, ASCII and binary transfers in both directions, and
// an urgent ABOR in the middle of a download.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "interop_fixture.h"

namespace {

const std::string script = std::string(WHARFD_SOURCE_DIR) + "/tests/interop/ftplib_client.py";

class Ftplib : public Interop {
protected:
    void SetUp() override {
        Interop::SetUp();
        site.add_file("pub/small.txt", "line one\nline two\n");
        site.add_file("pub/name with blanks.txt", "blanks\n");
        site.add_file("pub/docs/guide.txt", "a guide\n");
    }

    ClientResult python(Connection family, std::vector<std::string> arguments) {
        std::vector<std::string> argv = {"python3", script, family == Connection::ipv6 ? "::1" : "127.0.0.1",
                                         std::to_string(super->port(family))};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return run({.argv = argv, .timeout = Millis(30000)});
    }
};

TEST_F(Ftplib, ListingsSizesAndTimes) {
    ASSERT_TRUE(serve());
    for (Connection family : {Connection::ipv4, Connection::ipv6}) {
        ClientResult result = python(family, {"listings"});
        EXPECT_TRUE(result.succeeded()) << result << server_log();
        EXPECT_EQ(result.output, "ok\n") << result;
    }
}

TEST_F(Ftplib, UploadsConvertLineEndsOnlyInAscii) {
    // Binary data full of line ends, which must arrive untouched.
    std::string data = patterned(150000, 6);
    for (std::size_t i = 0; i + 1 < data.size(); i += 97) data.replace(i, 2, "\r\n");
    ASSERT_TRUE(home.write("source.bin", data));
    ASSERT_TRUE(serve());
    ClientResult result = python(Connection::ipv4, {"transfers", home.work("source.bin")});
    ASSERT_TRUE(result.succeeded()) << result << server_log();
    EXPECT_EQ(read_file(bob_path("ascii.txt")), "first\nsecond\nthird\n");
    EXPECT_EQ(checksum(read_file(bob_path("binary.bin")).value_or("")), checksum(data));
    struct stat status {};
    ASSERT_EQ(stat(bob_path("binary.bin").c_str(), &status), 0);
    EXPECT_EQ(status.st_uid, bob_uid);
}

TEST_F(Ftplib, AbortDuringADownloadKeepsTheSession) {
    // A slow download (a rate limit of 128 KiB/s on 1 MiB), so the abort surely
    // comes while it runs.
    constexpr std::size_t size = 1024 * 1024;
    site.add_file("pub/huge.bin", patterned(size, 7));
    site.write_etc("wharfd.conf", "rateget guest 128k\n");
    ASSERT_TRUE(serve());
    ClientResult result = python(Connection::ipv4, {"abort", std::to_string(size)});
    ASSERT_TRUE(result.succeeded()) << result << server_log();
    EXPECT_EQ(result.output, "ok\n") << result;
}

}  // namespace
