// Session counting through a class's pid file: live, stale and empty slots.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "login/connection_count.h"

namespace {

using Slots = std::vector<std::int32_t>;

// A process that lives until the test ends it.
struct LiveProcess {
    pid_t pid = fork();
    LiveProcess() {
        if (pid == 0) {
            pause();
            _exit(0);
        }
    }
    ~LiveProcess() {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
};

// The id of a process that has ended and been reaped.
std::int32_t dead_pid() {
    pid_t pid = fork();
    if (pid == 0) _exit(0);
    waitpid(pid, nullptr, 0);
    return pid;
}

class ConnectionCount : public testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/wharfd-pids-XXXXXX";
        int fd = mkstemp(name);
        ASSERT_GE(fd, 0);
        close(fd);
        path = name;
    }
    void TearDown() override { unlink(path.c_str()); }

    void write_slots(const Slots& slots) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(slots.data()),
                  static_cast<std::streamsize>(slots.size() * sizeof(std::int32_t)));
    }
    Slots read_slots() {
        std::ifstream in(path, std::ios::binary);
        Slots slots;
        std::int32_t slot = 0;
        while (in.read(reinterpret_cast<char*>(&slot), sizeof slot)) slots.push_back(slot);
        return slots;
    }

    std::string path;
};

TEST_F(ConnectionCount, FirstLoginCreatesTheFileWithItsOwnId) {
    unlink(path.c_str());
    count_connections_in(path.c_str());
    EXPECT_EQ(class_connections, 1);
    EXPECT_EQ(read_slots(), Slots{getpid()});
}

TEST_F(ConnectionCount, SlotExamples) {
    LiveProcess p1;
    LiveProcess p3;
    std::int32_t p2 = dead_pid();
    std::int32_t p4 = dead_pid();
    std::int32_t own = getpid();
    struct Case {
        Slots before;
        int count;
        Slots after;
    } cases[] = {
        {{p1.pid, p2, p3.pid}, 3, {p1.pid, own, p3.pid}},
        {{p2, p4, p1.pid}, 2, {own, p4, p1.pid}},      // P4 waits for a later login
        {{p1.pid, p2, p4}, 2, {p1.pid, own}},          // P4 is cut off
        {{0, p1.pid}, 2, {0, p1.pid, own}},            // empty slots are kept, not reused
    };
    for (const Case& c : cases) {
        write_slots(c.before);
        count_connections_in(path.c_str());
        EXPECT_EQ(class_connections, c.count);
        EXPECT_EQ(read_slots(), c.after);
    }
}

// Permission to signal a process is not needed for it to count: another user's
// session is still a session.
TEST_F(ConnectionCount, ProcessOfAnotherUserCountsAsLive) {
    write_slots({1});
    // The unprivileged child must be able to open the file.
    chmod(path.c_str(), 0666);
    pid_t child = fork();
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(3);
        count_connections_in(path.c_str());
        _exit(class_connections == 2 ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(ConnectionCount, LockedFileIsLeftAlone) {
    write_slots({dead_pid()});
    Slots before = read_slots();
    int fd = open(path.c_str(), O_RDWR);
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    // Held by another process: a lock of our own would not stop us.
    pid_t holder = fork();
    if (holder == 0) {
        fcntl(fd, F_SETLKW, &lock);
        pause();
        _exit(0);
    }
    usleep(100000);
    count_connections_in(path.c_str());
    EXPECT_EQ(class_connections, 1);
    EXPECT_EQ(read_slots(), before);
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    close(fd);
}

}  // namespace
