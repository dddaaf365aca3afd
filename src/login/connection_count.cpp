// Counting the live sessions of a class. The file is a packed array of process
// IDs; a non-blocking write lock serialises concurrent logins, and a login that
// does not get the lock at once counts only itself.
#include "login/connection_count.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "config/class_settings.h"

int class_connections = 1;

namespace {

constexpr mode_t pid_file_mode = 0600;
// A pid file larger than this is not read: no system runs that many sessions.
constexpr off_t largest_pid_file = 4 * 1024 * 1024;

using Slot = std::int32_t;

bool process_exists(Slot pid) {
    return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

bool set_lock(int fd, short type) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    return fcntl(fd, F_SETLK, &lock) == 0;
}

bool read_whole(int fd, void* buffer, std::size_t size) {
    auto* bytes = static_cast<char*>(buffer);
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = pread(fd, bytes + done, size - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool write_whole(int fd, const void* buffer, std::size_t size) {
    const auto* bytes = static_cast<const char*>(buffer);
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = pwrite(fd, bytes + done, size - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Count the live IDs in `slots`, place the own ID, and return how many slots
// from the start are to be written back.
std::size_t count_and_place(std::vector<Slot>& slots, std::size_t whole_slots, Slot own) {
    bool placed = false;
    std::size_t last_used = 0;
    for (std::size_t i = 0; i < whole_slots; ++i) {
        if (slots[i] == 0) continue;
        if (process_exists(slots[i])) {
            ++class_connections;
            last_used = i;
        } else if (!placed) {
            slots[i] = own;
            placed = true;
            last_used = i;
        }
    }
    if (!placed) {
        // The buffer has one spare slot behind the file's slots for this.
        if (slots[last_used] != 0) ++last_used;
        slots[last_used] = own;
    }
    return last_used + 1;
}

void count_in_file(int fd) {
    struct stat st {};
    if (fstat(fd, &st) < 0 || st.st_size < 0 || st.st_size > largest_pid_file) return;
    std::size_t size = static_cast<std::size_t>(st.st_size);
    std::size_t whole_slots = size / sizeof(Slot);
    std::vector<Slot> slots(whole_slots + 1, 0);
    if (size > 0 && !read_whole(fd, slots.data(), whole_slots * sizeof(Slot))) return;
    std::size_t keep = count_and_place(slots, whole_slots, static_cast<Slot>(getpid()));
    std::size_t length = keep * sizeof(Slot);
    if (write_whole(fd, slots.data(), length)) {
        if (ftruncate(fd, static_cast<off_t>(length)) < 0) {
            // A longer file only keeps stale slots for later logins to reuse.
        }
    }
}

}  // namespace

void count_connections() {
    char path[1024];
    std::snprintf(path, sizeof path, "%s%s", pid_file_prefix,
                  curclass.classname != nullptr ? curclass.classname : "");
    count_connections_in(path);
}

void count_connections_in(const char* path) {
    class_connections = 1;
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, pid_file_mode);
    if (fd < 0) return;
    if (set_lock(fd, F_WRLCK)) {
        count_in_file(fd);
        set_lock(fd, F_UNLCK);
    }
    close(fd);
}
