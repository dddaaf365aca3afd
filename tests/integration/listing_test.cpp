// LIST, NLST and STAT of a path through the real binary, against the standalone
// lister on the same tree, and the confinement seen through /proc.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <string>

#include "harness/harness.h"

namespace {

// The standalone lister's output for `arguments`, run with the site's accounts
// (inside the site's world) so owner names match the server's.
std::string wharfls_output(const TestSite& site, const std::string& arguments) {
    std::string out_path = site.file_path("wharfls.out");
    std::string command = std::string(WHARFLS_BINARY) + " " + arguments + " > " + out_path;
    ExitStatus status = run_in_site(site, [&]() { return std::system(command.c_str()) == 0 ? 0 : 1; });
    EXPECT_EQ(status, ExitStatus::exit_code(0));
    std::string text;
    if (FILE* f = std::fopen(out_path.c_str(), "r"); f != nullptr) {
        for (int c = std::getc(f); c != EOF; c = std::getc(f)) text.push_back(static_cast<char>(c));
        std::fclose(f);
    }
    return text;
}

std::string with_crlf(const std::string& text) {
    std::string converted;
    for (char c : text) {
        if (c == '\n') converted += '\r';
        converted += c;
    }
    return converted;
}

class Listing : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(site.ok());
        site.add_user({.name = "bob", .password = "secret"});
        site.add_group("staff", 3000, {"bob"});
        site.write_etc("ftpusers", "");
        site.add_file("tree/one.txt", "1\n", {.uid = 2200, .gid = 3000});
        site.add_file("tree/.hidden", "h", {.mode = 0600});
        site.add_dir("tree/inner");
        site.add_symlink("tree/link", "one.txt");
        site.add_dir("empty");
        server = ServerProcess::start(site);
        ASSERT_NE(server, nullptr);
        FtpClient& client = server->client();
        EXPECT_EQ(client.read_reply().code, 220);
        client.command("USER bob");
        ASSERT_EQ(client.command("PASS secret").code, 230);
    }

    // The replies and the data of a listing command.
    std::pair<std::string, std::string> listing(const std::string& line) {
        FtpClient& client = server->client();
        std::optional<Fd> data = client.open_passive();
        if (!data) return {"<no data connection>", ""};
        Reply first = client.command(line);
        if (first.code != 150) return {first.raw, ""};
        std::optional<std::string> got = read_stream(data->get());
        return {first.raw + client.read_reply().raw, got.value_or("<timeout>")};
    }

    TestSite site;
    std::unique_ptr<ServerProcess> server;
};

TEST_F(Listing, ListIsTheListerInLongFormat) {
    std::string tree = site.root_path("tree");
    auto [replies, data] = listing("LIST " + tree);
    EXPECT_EQ(replies, "150 Opening ASCII mode data connection for '/bin/ls'.\r\n226 Transfer complete.\r\n");
    EXPECT_EQ(data, with_crlf(wharfls_output(site, "-lgA " + tree)));
    EXPECT_NE(data.find(" bob "), std::string::npos) << data;
    EXPECT_NE(data.find(" staff "), std::string::npos) << data;
    EXPECT_NE(data.find("link -> one.txt"), std::string::npos) << data;

    // Client options reach the lister (the argument is one word, as clients send it).
    ASSERT_EQ(server->client().command("CWD " + tree).code, 250);
    auto [replies_la, data_la] = listing("LIST -la");
    EXPECT_EQ(data_la, with_crlf(wharfls_output(site, "-lgA -la " + tree)));
}

TEST_F(Listing, NlstOfDirectoriesPatternsAndOptions) {
    FtpClient& client = server->client();
    std::string tree = site.root_path("tree");
    ASSERT_EQ(client.command("CWD " + tree).code, 250);
    auto [replies, names] = listing("NLST");
    EXPECT_EQ(replies, "150 Opening ASCII mode data connection for 'file list'.\r\n226 Transfer complete.\r\n");
    for (const char* name : {"one.txt\r\n", ".hidden\r\n", "inner\r\n", "link\r\n"})
        EXPECT_NE(names.find(name), std::string::npos) << name << " in " << names;

    client.command("TYPE I");
    auto [pattern_replies, matched] = listing("NLST *.txt");
    EXPECT_EQ(matched, "one.txt\n");

    EXPECT_EQ(client.command("NLST " + site.root_path("empty")).raw, "450 No files found.\r\n");
    EXPECT_EQ(client.command("NLST missing").raw, "450 missing: No such file or directory.\r\n");

    // No file is named -l: the argument is lister options, the answer a listing.
    auto [option_replies, long_list] = listing("NLST -l");
    EXPECT_EQ(option_replies,
              "150 Opening BINARY mode data connection for '/bin/ls'.\r\n226 Transfer complete.\r\n");
    EXPECT_EQ(long_list, wharfls_output(site, "-l " + tree));
}

TEST_F(Listing, StatOfAPath) {
    FtpClient& client = server->client();
    Reply missing = client.command("STAT " + site.root_path("nothing"));
    ASSERT_EQ(missing.lines.size(), 3u) << missing;
    EXPECT_EQ(missing.lines[0], "211-status of " + site.root_path("nothing") + ":");
    EXPECT_NE(missing.lines[1].find("No such file or directory"), std::string::npos) << missing;
    EXPECT_EQ(missing.lines[2], "211 End of Status");

    // Lines that would begin with a digit get a blank in front.
    ASSERT_EQ(client.command("CWD " + site.root_path("tree")).code, 250);
    Reply sized = client.command("STAT -s");
    for (std::size_t i = 1; i + 1 < sized.lines.size(); ++i) {
        ASSERT_FALSE(sized.lines[i].empty());
        EXPECT_FALSE(std::isdigit(static_cast<unsigned char>(sized.lines[i][0]))) << sized.lines[i];
    }
    EXPECT_TRUE(sized.lines[1].starts_with("total ")) << sized;
}

TEST_F(Listing, ChrootUserIsConfinedAsProcSees) {
    server.reset();
    site.write_etc("ftpchroot", "bob\n");
    server = ServerProcess::start(site);
    ASSERT_NE(server, nullptr);
    FtpClient& client = server->client();
    client.read_reply();
    client.command("USER bob");
    ASSERT_EQ(client.command("PASS secret").code, 230);
    std::array<char, 4096> target {};
    std::string proc = "/proc/" + std::to_string(server->pid());
    ssize_t n = readlink((proc + "/root").c_str(), target.data(), target.size() - 1);
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(target.data(), static_cast<std::size_t>(n)), site.root_path("home/bob"));
    EXPECT_EQ(client.command("CWD ../../..").code, 250);
    n = readlink((proc + "/cwd").c_str(), target.data(), target.size() - 1);
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(target.data(), static_cast<std::size_t>(n)), site.root_path("home/bob"));
}

}  // namespace
