// Test support for the lister: a temporary tree with owners, modes and times set
// explicitly, and a runner that starts the `wharfls` program as a child and
// collects its standard output, standard error and exit status.
#pragma once

#include <sys/types.h>

#include <ctime>
#include <functional>
#include <string>
#include <vector>

namespace lister_test {

struct RunResult {
    std::string out;
    std::string err;
    int status = -1;  // exit status, or -1 when the child did not exit normally
};

struct RunOptions {
    // The whole environment of the child.
    std::vector<std::string> env = {"TZ=UTC", "LC_ALL=C"};
    std::string cwd;             // the child's directory ("" = the test's)
    uid_t uid = 0;               // with `drop_to_uid`, the child's user id
    bool drop_to_uid = false;
    std::string stdout_path;     // standard output to this file instead of a pipe
    bool terminal = false;       // standard output on a pseudo-terminal
    unsigned short terminal_columns = 80;
    // Runs in the child after fork, before the program starts (mounts, say); a
    // false result ends the child with status 126.
    std::function<bool()> in_child;
};

// Run `wharfls` with argv[0] "ls" and `args` after it; waits at most 20 seconds.
RunResult run_lister(const std::vector<std::string>& args, const RunOptions& options = {});

// One row of a table of lister runs: the arguments and everything expected of them.
struct ListerCase {
    std::vector<std::string> args;
    std::string out;
    std::string err = "";
    int status = 0;
};

// Runs every row and compares output, diagnostics and exit status.
void run_cases(const std::vector<ListerCase>& cases, const RunOptions& options);

// A fresh directory under /tmp, readable by every user, removed with everything
// inside when the object goes. Paths given to the helpers are relative to it.
class TempTree {
public:
    TempTree();
    ~TempTree();
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;

    const std::string& root() const { return root_; }
    std::string path(const std::string& relative) const { return root_ + "/" + relative; }

    void file(const std::string& name, std::size_t size = 0, mode_t mode = 0644);
    // A file of `size` bytes that occupies no blocks (a hole), so that directory
    // totals stay 0 whatever the file system.
    void sparse_file(const std::string& name, off_t size, mode_t mode = 0644);
    void dir(const std::string& name, mode_t mode = 0755);
    void symlink(const std::string& target, const std::string& name);
    void fifo(const std::string& name, mode_t mode = 0644);
    void socket(const std::string& name);
    void device(const std::string& name, mode_t type, unsigned major_number,
                unsigned minor_number, mode_t mode = 0644);
    void owner(const std::string& name, uid_t uid, gid_t gid);
    void mode(const std::string& name, mode_t mode);
    // Sets mtime (and atime unless given) without following a symbolic link.
    void times(const std::string& name, std::time_t mtime, long mtime_nsec = 0,
               std::time_t atime = -1);
    void write_text(const std::string& name, const std::string& text);

private:
    std::string root_;
};

// For RunOptions::in_child: a private mount namespace in which the two files are
// bound over /etc/passwd and /etc/group, so owner names come from them.
bool private_accounts(const std::string& passwd_path, const std::string& group_path);

// For RunOptions::in_child: a private mount namespace with the squashfs `image`
// mounted read-only on `directory` (squashfs counts a file's blocks in 512-byte
// units of its size, so tests can have files of one, two or three units).
bool mount_squashfs(const std::string& image, const std::string& directory);

// The long-format date field ("Oct  1 12:00 " or "Oct  1  2019 ") of `t` in UTC,
// written independently of the lister for expected lines.
std::string date_field(std::time_t t, bool recent);

}  // namespace lister_test
