// What an administrator gets: `cmake --install` of this build into a staging
// directory (DESTDIR), and manual pages that render without warnings.
#include <glob.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "interop_fixture.h"

namespace {

const std::string source_dir = WHARFD_SOURCE_DIR;
constexpr const char* prefix = "/usr/local";

class Install : public testing::Test {
protected:
    // cmake --install of the test's own build with DESTDIR=<scratch>/dest.
    ClientResult install() {
        return run_client(home,
                          {.argv = {"cmake", "--install", WHARFD_BUILD_DIR, "--prefix", prefix},
                           .environment = {"DESTDIR=" + destdir()},
                           .timeout = Millis(60000)},
                          nullptr);
    }
    std::string destdir() const { return home.dir() + "/dest"; }
    // An installed path below the prefix, or (absolute) below DESTDIR.
    std::string installed(const std::string& path) const {
        return destdir() + (path.starts_with("/") ? path : std::string(prefix) + "/" + path);
    }

    ClientHome home;
};

TEST_F(Install, PutsEveryPartInPlaceAndKeepsTheConfiguration) {
    ASSERT_TRUE(home.ok());
    ClientResult result = install();
    ASSERT_TRUE(result.succeeded()) << result;

    struct Expected {
        std::string path;
        mode_t mode;
        std::string source;  // the file it must equal; empty: the built program
    } expected[] = {
        {"sbin/wharfd", 0755, ""},
        {"bin/wharfls", 0755, ""},
        {"share/man/man8/wharfd.8", 0644, "man/wharfd.8"},
        {"share/man/man5/wharfd.conf.5", 0644, "man/wharfd.conf.5"},
        {"share/man/man5/ftpusers.5", 0644, "man/ftpusers.5"},
        {"share/man/man1/wharfls.1", 0644, "man/wharfls.1"},
        {"lib/systemd/system/wharfd.socket", 0644, "packaging/systemd/wharfd.socket"},
        {"lib/systemd/system/wharfd@.service", 0644, "packaging/systemd/wharfd@.service"},
        {"lib/systemd/system/wharfd.service", 0644, "packaging/systemd/wharfd.service"},
        {"/etc/pam.d/wharfd", 0644, "packaging/pam.d/wharfd"},
        {"etc/wharfd.conf", 0644, "packaging/etc/wharfd.conf"},
        {"etc/ftpusers", 0644, "packaging/etc/ftpusers"},
        {"etc/ftpwelcome", 0644, "packaging/etc/ftpwelcome"},
        {"etc/motd", 0644, "packaging/etc/motd"},
    };
    for (const Expected& entry : expected) {
        struct stat status {};
        std::string path = installed(entry.path);
        ASSERT_EQ(stat(path.c_str(), &status), 0) << entry.path << " not installed\n" << result;
        EXPECT_TRUE(S_ISREG(status.st_mode)) << entry.path;
        EXPECT_EQ(status.st_mode & 07777, entry.mode) << entry.path;
        if (!entry.source.empty()) {
            EXPECT_EQ(read_file(path), read_file(source_dir + "/" + entry.source)) << entry.path;
        }
    }
    // The units start the program where this prefix installed it.
    for (const char* unit : {"wharfd@.service", "wharfd.service"}) {
        std::string text = read_file(installed(std::string("lib/systemd/system/") + unit)).value_or("");
        EXPECT_NE(text.find("ExecStart=" + std::string(prefix) + "/sbin/wharfd "), std::string::npos) << text;
    }
    EXPECT_NE(read_file(installed("lib/systemd/system/wharfd.socket")).value_or("").find("Accept=yes"),
              std::string::npos);

    // The installed program is a working server.
    TestSite site;
    site.write_etc("ftpusers", "ftp allow\n");
    auto server = ServerProcess::start(site, {.program = installed("sbin/wharfd")});
    ASSERT_NE(server, nullptr);
    EXPECT_EQ(server->client().read_reply().raw, "220 ftp.wharfd.test FTP server (quorvel 20231001) ready.\r\n");
    EXPECT_EQ(server->client().command("USER ftp").code, 331);
    EXPECT_EQ(server->client().command("PASS guest@example.org").code, 230);
    EXPECT_EQ(server->client().command("QUIT").code, 221);
    EXPECT_EQ(server->wait_exit(), ExitStatus::exit_code(0));

    // A second install renews the programs but keeps the administrator's files.
    ASSERT_TRUE(write_file(installed("etc/wharfd.conf"), "# edited by the administrator\n"));
    ASSERT_EQ(unlink(installed("etc/motd").c_str()), 0);
    ASSERT_EQ(unlink(installed("sbin/wharfd").c_str()), 0);
    result = install();
    ASSERT_TRUE(result.succeeded()) << result;
    EXPECT_EQ(read_file(installed("etc/wharfd.conf")), "# edited by the administrator\n");
    EXPECT_EQ(read_file(installed("etc/motd")), read_file(source_dir + "/packaging/etc/motd"))
        << "a missing sample is installed again";
    EXPECT_EQ(access(installed("sbin/wharfd").c_str(), X_OK), 0);
}

TEST(ManualPages, RenderWithoutWarnings) {
    ClientHome home;
    ASSERT_TRUE(home.ok());
    glob_t found{};
    ASSERT_EQ(glob((source_dir + "/man/*.[1-8]").c_str(), 0, nullptr, &found), 0);
    std::vector<std::string> pages(found.gl_pathv, found.gl_pathv + found.gl_pathc);
    globfree(&found);
    EXPECT_GE(pages.size(), 4u);
    for (const std::string& page : pages) {
        // -ww: every warning; -z: no output, only the diagnostics.
        ClientResult result = run_client(home, {.argv = {"groff", "-man", "-ww", "-z", page}}, nullptr);
        EXPECT_TRUE(result.succeeded()) << result;
        EXPECT_EQ(result.errors, "") << page;
        // The page also formats to text with its name in the header.
        result = run_client(home, {.argv = {"groff", "-man", "-Tutf8", "-ww", page}}, nullptr);
        EXPECT_TRUE(result.succeeded()) << result;
        EXPECT_EQ(result.errors, "") << page;
        EXPECT_GT(result.output.size(), 500u) << page;
    }
}

}  // namespace
