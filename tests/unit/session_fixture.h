// An in-process session: the control streams on one end of a socketpair, the test
// on the other, and the session state reset to what a fresh connection has.
#pragma once

#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "command/grammar.h"
#include "command/lexer.h"
#include "config/class_settings.h"
#include "login/login_state.h"
#include "server/control.h"
#include "server/settings.h"
#include "transfer/counters.h"
#include "transfer/data_channel.h"

// 127.0.0.1 at `port`, as the session's addresses and the tests' sockets use it.
inline SocketAddress loopback(int port) {
    SocketAddress address;
    address.in4.sin_family = AF_INET;
    address.in4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.in4.sin_port = htons(static_cast<in_port_t>(port));
    address.length = sizeof(sockaddr_in);
    return address;
}

class SessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair_), 0);
        in_ = fdopen(dup(pair_[0]), "r");
        out_ = fdopen(dup(pair_[0]), "w");
        ASSERT_NE(in_, nullptr);
        ASSERT_NE(out_, nullptr);
        attach_control_channel(in_, out_);
        reset_session_state();
        // Commands that change the tree run in a private directory of the test.
        ASSERT_NE(getcwd(previous_cwd_, sizeof previous_cwd_), nullptr);
        char pattern[] = "/tmp/wharfd-session-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        work_dir_ = pattern;
        ASSERT_EQ(chdir(work_dir_.c_str()), 0);
    }

    void TearDown() override {
        // Other test suites of this program see the state a fresh process has.
        reset_session_state();
        std::fclose(in_);
        std::fclose(out_);
        close(pair_[0]);
        close(pair_[1]);
        if (chdir(previous_cwd_) != 0) ADD_FAILURE() << "cannot return to " << previous_cwd_;
        std::string remove = "rm -rf '" + work_dir_ + "'";
        if (!work_dir_.empty() && std::system(remove.c_str()) != 0) ADD_FAILURE() << remove;
    }

    static void reset_session_state() {
        login_complete = false;
        std::free(rename_from);
        rename_from = nullptr;
        restart_offset = 0;
        transfer_type = TYPE_A;
        transfer_form = FORM_N;
        data_channel = DataChannel{};
        transfer_counters = TransferCounters{};
        lexer_state = COMMAND_WORD;
        lexer_position = 0;
        line_replied = false;
        pending_line[0] = '\0';
        curclass.type = REAL;
        reset_class();
        std::strcpy(login_dir, "/");
        std::strcpy(server_name, "test.example");
        version_string = default_version_string;
        log_utmp = false;
        log_wtmp = false;
        remote_addr.clear();
        local_addr.clear();
        ipv4_mapped = false;
        data_port_option = 0;
        drop_privileges = 0;
        user_account = nullptr;
        client_name[0] = '\0';
    }

    // Parse one line (CR LF added) and return every byte the server wrote.
    std::string run(const std::string& line) {
        std::string with_end = line + "\r\n";
        std::snprintf(command_line, sizeof command_line, "%s", with_end.c_str());
        parse_command();
        return drain();
    }

    // Everything the server has written so far.
    std::string drain() {
        std::string got;
        char buffer[8192];
        for (int rounds = 0; rounds < 1000; ++rounds) {
            pollfd p{.fd = pair_[1], .events = POLLIN, .revents = 0};
            if (poll(&p, 1, 0) <= 0) break;
            ssize_t n = read(pair_[1], buffer, sizeof buffer);
            if (n <= 0) break;
            got.append(buffer, static_cast<std::size_t>(n));
        }
        return got;
    }

    // Bytes the client sends to the server.
    void client_sends(const std::string& bytes) {
        ASSERT_EQ(write(pair_[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    void client_closes() { shutdown(pair_[1], SHUT_WR); }

    // Run `body` in a child (for code that ends the process) and return what it
    // wrote to the client and its exit status.
    std::pair<std::string, int> run_in_child(const std::function<void()>& body) {
        std::fflush(nullptr);
        pid_t pid = fork();
        if (pid == 0) {
            body();
            _exit(99);
        }
        close(pair_[0]);
        pair_[0] = -1;
        std::fclose(in_);
        std::fclose(out_);
        in_ = std::fopen("/dev/null", "r");
        out_ = std::fopen("/dev/null", "w");
        std::string got;
        char buffer[8192];
        for (int rounds = 0; rounds < 1000; ++rounds) {
            pollfd p{.fd = pair_[1], .events = POLLIN, .revents = 0};
            if (poll(&p, 1, 5000) <= 0) break;
            ssize_t n = read(pair_[1], buffer, sizeof buffer);
            if (n <= 0) break;
            got.append(buffer, static_cast<std::size_t>(n));
        }
        int status = 0;
        waitpid(pid, &status, 0);
        return {got, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
    }

    void log_in() { login_complete = true; }

    char previous_cwd_[4096] = "";
    std::string work_dir_;
    int pair_[2] = {-1, -1};
    FILE* in_ = nullptr;
    FILE* out_ = nullptr;
};
