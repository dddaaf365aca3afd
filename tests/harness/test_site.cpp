// A test site: the temporary directory of one test's server world.
#include "test_site.h"

#include <fcntl.h>
#include <ftw.h>
#include <glob.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fd.h"

namespace {

constexpr mode_t default_file_mode = 0644;
constexpr mode_t default_dir_mode = 0755;
constexpr mode_t record_file_mode = 0664;  // utmp and wtmp, as the system keeps them
constexpr int removal_open_fds = 32;

constexpr const char* default_hosts =
    "127.0.0.1\tftp.wharfd.test localhost\n"
    "::1\tftp6.wharfd.test localhost ip6-localhost\n";

constexpr const char* default_shells =
    "# valid login shells of the test site\n"
    "/bin/sh\n/usr/bin/sh\n/bin/bash\n/usr/bin/bash\n";

// Only the site's files answer: no DNS, no nscd, no systemd user database.
constexpr const char* site_nsswitch =
    "passwd: files\ngroup: files\nshadow: files\ngshadow: files\n"
    "hosts: files\nnetworks: files\nprotocols: files\nservices: files\n";

std::string join(const std::string& base, std::string_view relative) {
    if (relative.empty()) return base;
    return base + "/" + std::string(relative);
}

std::string parent_of(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

// pam_matrix comes with the pam_wrapper package, in the library folder of the
// machine's architecture.
std::string find_pam_matrix() {
    glob_t found{};
    std::string path;
    if (glob("/usr/lib/*/pam_wrapper/pam_matrix.so", 0, nullptr, &found) == 0 && found.gl_pathc > 0)
        path = found.gl_pathv[0];
    globfree(&found);
    return path;
}

bool write_whole_file(const std::string& path, std::string_view content, mode_t mode) {
    Fd file(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, mode));
    if (!file.valid()) return false;
    std::size_t done = 0;
    while (done < content.size()) {
        ssize_t wrote = write(file.get(), content.data() + done, content.size() - done);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) return false;
        done += static_cast<std::size_t>(wrote);
    }
    return fchmod(file.get(), mode) == 0;
}

int remove_entry(const char* path, const struct stat*, int, FTW*) {
    if (remove(path) < 0) std::fprintf(stderr, "test site: cannot remove %s: %s\n", path, std::strerror(errno));
    return 0;
}

}  // namespace

TestSite::TestSite() {
    char templ[] = "/tmp/wharfd-site-XXXXXX";
    if (mkdtemp(templ) == nullptr) {
        fail("mkdtemp");
        return;
    }
    dir_ = templ;
    // Test users that are not root must be able to reach their files below it.
    if (chmod(dir_.c_str(), default_dir_mode) < 0) fail("chmod " + dir_);
    for (const char* part : {"etc", "run", "pam.d"}) {
        if (mkdir(file_path(part).c_str(), default_dir_mode) < 0) fail(std::string("mkdir ") + part);
    }
    add_dir("");
    write_whole_file(run_path("utmp"), "", record_file_mode);
    write_whole_file(file_path("wtmp"), "", record_file_mode);
    write_hosts(default_hosts);
    write_site_file("shells", default_shells);
    write_site_file("nsswitch.conf", site_nsswitch);

    std::string pam_matrix = find_pam_matrix();
    if (pam_matrix.empty()) fail("pam_matrix.so not found (package libpam-wrapper)");
    std::string module = pam_matrix + " passdb=" + file_path("passdb");
    std::string service;
    for (const char* type : {"auth", "account", "password", "session"})
        service += std::string(type) + "\trequired\t" + module + "\n";
    if (!write_whole_file(file_path("pam.d/wharfd"), service, default_file_mode)) fail("pam.d/wharfd");

    groups_ = {{"root", 0, {}}, {"users", users_gid, {}}, {"ftp", ftp_gid, {}},
               {"nogroup", 65534, {}}};
    users_ = {
        {.name = "root", .uid = 0, .gid = 0, .home = "/root", .shell = "/bin/bash", .gecos = "root"},
        {.name = "nobody", .uid = 65534, .gid = 65534, .home = "/nonexistent",
         .shell = "/usr/sbin/nologin", .gecos = "nobody"},
        {.name = "ftp", .uid = ftp_uid, .gid = ftp_gid, .home = root_path(),
         .shell = "/usr/sbin/nologin", .gecos = "anonymous FTP"},
    };
    write_accounts();
}

TestSite::~TestSite() {
    if (dir_.empty()) return;
    nftw(dir_.c_str(), remove_entry, removal_open_fds, FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
}

std::string TestSite::root_path(std::string_view relative) const { return join(dir_ + "/root", relative); }
std::string TestSite::etc_path(std::string_view name) const { return join(dir_ + "/etc", name); }
std::string TestSite::run_path(std::string_view name) const { return join(dir_ + "/run", name); }
std::string TestSite::file_path(std::string_view name) const { return join(dir_, name); }

bool TestSite::fail(const std::string& what) {
    ADD_FAILURE() << "test site " << dir_ << ": " << what << ": " << std::strerror(errno);
    ok_ = false;
    return false;
}

template <typename Create>
bool TestSite::create_entry(const std::string& path, const Attributes& attributes, Create create) {
    std::string parent = parent_of(path);
    if (!ensure_directory(parent)) return false;
    struct stat parent_status {};
    bool inside = parent.size() > dir_.size() && lstat(parent.c_str(), &parent_status) == 0;
    if (!create(path)) return fail("create " + path);
    if (lchown(path.c_str(), attributes.uid, attributes.gid) < 0) return fail("chown " + path);
    struct stat status {};
    if (lstat(path.c_str(), &status) < 0) return fail("stat " + path);
    // After chown, which clears set-id bits.
    if (!S_ISLNK(status.st_mode)) {
        mode_t mode = attributes.mode.value_or(S_ISDIR(status.st_mode) ? default_dir_mode
                                                                        : default_file_mode);
        if (chmod(path.c_str(), mode) < 0) return fail("chmod " + path);
    }
    timespec times[2] = {{.tv_sec = attributes.mtime, .tv_nsec = 0},
                         {.tv_sec = attributes.mtime, .tv_nsec = 0}};
    if (utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) < 0)
        return fail("utimensat " + path);
    if (inside) {
        timespec kept[2] = {parent_status.st_atim, parent_status.st_mtim};
        if (utimensat(AT_FDCWD, parent.c_str(), kept, AT_SYMLINK_NOFOLLOW) < 0)
            return fail("utimensat " + parent);
    }
    return true;
}

bool TestSite::ensure_directory(const std::string& path) {
    struct stat status {};
    if (stat(path.c_str(), &status) == 0) return S_ISDIR(status.st_mode) || fail("not a directory " + path);
    if (path.size() <= dir_.size()) return fail("outside the site " + path);
    return create_entry(path, {}, [](const std::string& p) { return mkdir(p.c_str(), 0700) == 0; });
}

bool TestSite::add_file(std::string_view relative, std::string_view content, Attributes attributes) {
    return create_entry(root_path(relative), attributes, [content](const std::string& p) {
        return write_whole_file(p, content, 0600);
    });
}

bool TestSite::add_dir(std::string_view relative, Attributes attributes) {
    return create_entry(root_path(relative), attributes, [](const std::string& p) {
        struct stat status {};
        return mkdir(p.c_str(), 0700) == 0 || (errno == EEXIST && lstat(p.c_str(), &status) == 0 &&
                                               S_ISDIR(status.st_mode));
    });
}

bool TestSite::add_symlink(std::string_view relative, std::string_view target, Attributes attributes) {
    std::string link_target(target);
    return create_entry(root_path(relative), attributes, [&link_target](const std::string& p) {
        return symlink(link_target.c_str(), p.c_str()) == 0;
    });
}

bool TestSite::write_site_file(std::string_view name, std::string_view content) {
    return write_whole_file(file_path(name), content, default_file_mode) ||
           fail("write " + std::string(name));
}

bool TestSite::write_etc(std::string_view name, std::string_view content) {
    return write_site_file("etc/" + std::string(name), content);
}

bool TestSite::write_nologin(std::string_view content) { return write_site_file("run/nologin", content); }

bool TestSite::remove_nologin() {
    return unlink(run_path("nologin").c_str()) == 0 || errno == ENOENT || fail("unlink nologin");
}

bool TestSite::write_hosts(std::string_view content) { return write_site_file("hosts", content); }

uid_t TestSite::add_user(TestUser user) {
    if (user.uid == 0 && user.name != "root") user.uid = next_uid_++;
    if (user.home.empty()) user.home = root_path("home/" + user.name);
    struct stat status {};
    if (user.home.rfind(dir_ + "/", 0) == 0 && stat(user.home.c_str(), &status) < 0) {
        create_entry(user.home, {.uid = user.uid, .gid = user.gid},
                     [](const std::string& p) { return mkdir(p.c_str(), 0700) == 0; });
    }
    std::erase_if(users_, [&user](const TestUser& u) { return u.name == user.name; });
    uid_t uid = user.uid;
    users_.push_back(std::move(user));
    write_accounts();
    return uid;
}

bool TestSite::add_group(std::string_view name, gid_t gid, std::vector<std::string> members) {
    std::erase_if(groups_, [&](const Group& g) { return g.name == name || g.gid == gid; });
    groups_.push_back({std::string(name), gid, std::move(members)});
    return write_accounts();
}

bool TestSite::write_accounts() {
    std::string passwd;
    std::string passdb;
    for (const TestUser& u : users_) {
        passwd += u.name + ":x:" + std::to_string(u.uid) + ":" + std::to_string(u.gid) + ":" +
                  u.gecos + ":" + u.home + ":" + u.shell + "\n";
        // pam_matrix's list: user:password:service.
        if (!u.password.empty()) passdb += u.name + ":" + u.password + ":wharfd\n";
    }
    std::string group;
    for (const Group& g : groups_) {
        group += g.name + ":x:" + std::to_string(g.gid) + ":";
        for (std::size_t i = 0; i < g.members.size(); ++i) group += (i > 0 ? "," : "") + g.members[i];
        group += "\n";
    }
    return write_site_file("passwd", passwd) && write_site_file("group", group) &&
           write_site_file("passdb", passdb);
}
