// Running real FTP clients (curl, lftp, wget, python3) as child processes of a
// test: each in a private scratch directory that is its HOME (no ~/.netrc, no rc
// files of the machine's user), with a plain environment and a time limit, while
// the test's super-server serves the connections they open.
#pragma once

#include <map>
#include <ostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "harness/harness.h"

// The scratch directories of a test's clients, under /tmp, removed with it:
//   home/     HOME of every client
//   work/     the clients' working directory unless a command gives another
//   output/   what the clients write on standard output and error
class ClientHome {
public:
    ClientHome();
    ClientHome(const ClientHome&) = delete;
    ClientHome& operator=(const ClientHome&) = delete;
    ~ClientHome();

    bool ok() const { return ok_; }
    const std::string& dir() const { return dir_; }
    std::string home() const { return dir_ + "/home"; }
    std::string output_dir() const { return dir_ + "/output"; }
    // A path below work/ ("" for work/ itself).
    std::string work(std::string_view relative = "") const;
    // Writes work/<relative>, creating missing directories.
    bool write(std::string_view relative, std::string_view content) const;

private:
    bool ok_ = true;
    std::string dir_;
};

struct ClientCommand {
    std::vector<std::string> argv{};  // argv[0] is looked up in a plain PATH
    std::string cwd{};                // empty: the home's work/
    std::vector<std::string> environment{};  // "NAME=value" beside HOME, PATH, TZ, LC_ALL
    Millis timeout{20000};            // then the client's process group is killed
};

struct ClientResult {
    std::vector<std::string> argv{};
    ExitStatus status{};
    std::string output{};  // standard output
    std::string errors{};  // standard error

    bool succeeded() const { return status == ExitStatus::exit_code(0); }
};
// The command, how it ended and what it wrote: for failure messages.
std::ostream& operator<<(std::ostream& out, const ClientResult& result);

// Starts every command at once and waits for all of them, serving the
// connections they open through `super` meanwhile (may be null when the server
// is reached another way). A client that outlives its time limit is killed and
// recorded as a test failure.
std::vector<ClientResult> run_clients(const ClientHome& home, const std::vector<ClientCommand>& commands,
                                      SuperServer* super);
ClientResult run_client(const ClientHome& home, const ClientCommand& command, SuperServer* super);

// Small file helpers for the checks.
std::optional<std::string> read_file(const std::string& path);
bool write_file(const std::string& path, std::string_view content);
// A short printable digest of `data`: its size and 64-bit FNV-1a hash.
std::string checksum(std::string_view data);
// The checksum of every regular file below `dir`, by path relative to it; entries
// named `skip` (e.g. wget's ".listing") are left out. Empty when `dir` is missing.
std::map<std::string, std::string> tree_checksums(const std::string& dir, std::string_view skip = "");
// Deterministic file contents of `size` bytes that differ with `seed`.
std::string patterned(std::size_t size, unsigned seed = 0);
