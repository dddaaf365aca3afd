// A test site: a temporary directory with everything one server under test sees
// as its world. The server process binds these files over the system's own (see
// server_process.h), so the tests never touch the machine's accounts or records.
//
//   root/          the file tree served (the `ftp` account's home by default)
//   etc/           the -c configuration directory: wharfd.conf, ftpusers, ftpwelcome...
//   run/           the server's /run (and so /var/run): utmp, nologin, pid files
//   pam.d/wharfd   the PAM service, pam_matrix with the password list `passdb`
//   passwd group shells hosts nsswitch.conf wtmp   over the files of /etc and /var/log
#pragma once

#include <sys/types.h>

#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// 2023-10-01 12:00:00 UTC: the modification time of every entry a test creates
// unless it asks for another, so listings are the same on every run.
constexpr time_t site_mtime = 1696161600;

// Names of the loopback addresses in the site's hosts file.
constexpr const char* site_host_ipv4 = "ftp.wharfd.test";
constexpr const char* site_host_ipv6 = "ftp6.wharfd.test";

// The accounts every site has.
constexpr uid_t ftp_uid = 2100;
constexpr gid_t ftp_gid = 2100;
constexpr gid_t users_gid = 100;

// Mode, owner and time of a created entry. No mode means 0644 for files and 0755
// for directories.
struct Attributes {
    std::optional<mode_t> mode{};
    uid_t uid = 0;
    gid_t gid = 0;
    time_t mtime = site_mtime;
};

// An account in the site's passwd, with its password in pam_matrix's list.
struct TestUser {
    std::string name{};
    std::string password{};          // empty: no password entry, PAM refuses the user
    uid_t uid = 0;                 // 0: the next free test id (from 2200), except for root
    gid_t gid = users_gid;
    std::string home{};            // empty: root/home/<name>, created and owned by the user
    std::string shell = "/bin/sh";
    std::string gecos{};
};

class TestSite {
public:
    // Creates the site under /tmp; a failure is recorded as a test failure and
    // `ok()` is false.
    TestSite();
    TestSite(const TestSite&) = delete;
    TestSite& operator=(const TestSite&) = delete;
    // Removes the whole directory.
    ~TestSite();

    bool ok() const { return ok_; }
    const std::string& dir() const { return dir_; }
    // Absolute paths of the parts; `relative` is joined with a slash.
    std::string root_path(std::string_view relative = "") const;
    std::string etc_path(std::string_view name = "") const;
    std::string run_path(std::string_view name = "") const;
    std::string file_path(std::string_view name) const;  // a file directly in the site

    // Entries of the file tree, relative to root/. Missing parent directories are
    // created (root-owned, 0755, site_mtime), and the parent's times are kept as they
    // were, so creating an entry never changes another one's mtime.
    bool add_file(std::string_view relative, std::string_view content, Attributes attributes = {});
    bool add_dir(std::string_view relative, Attributes attributes = {});
    // The link's owner and mtime are set on the link itself; its mode is always 0777.
    bool add_symlink(std::string_view relative, std::string_view target, Attributes attributes = {});

    // Writes etc/<name> (mode 0644), e.g. "wharfd.conf", "ftpusers", "ftpwelcome".
    bool write_etc(std::string_view name, std::string_view content);
    // Makes the server see /var/run/nologin with `content`; remove_nologin undoes it.
    bool write_nologin(std::string_view content);
    bool remove_nologin();
    // Replaces the hosts file (the default names 127.0.0.1 and ::1, see above).
    bool write_hosts(std::string_view content);

    // Adds an account (replacing one of the same name, e.g. "ftp") and returns its
    // uid. The home directory is created when it does not exist.
    uid_t add_user(TestUser user);
    // Adds a group (replacing one of the same name or id).
    bool add_group(std::string_view name, gid_t gid, std::vector<std::string> members = {});

private:
    struct Group {
        std::string name{};
        gid_t gid = 0;
        std::vector<std::string> members{};
    };

    bool write_site_file(std::string_view name, std::string_view content);
    bool write_accounts();
    // Creates `path` (absolute, inside the site) by `create` and sets `attributes`,
    // keeping the parent directory's times.
    template <typename Create>
    bool create_entry(const std::string& path, const Attributes& attributes, Create create);
    bool ensure_directory(const std::string& path);
    bool fail(const std::string& what);

    bool ok_ = true;
    std::string dir_;
    std::vector<TestUser> users_;
    std::vector<Group> groups_;
    uid_t next_uid_ = 2200;
};
