// A super-server for tests whose clients open their own control connections (real
// FTP clients): loopback listeners owned by the test, and for every connection
// accepted one server process started exactly as ServerProcess::start starts one,
// in the site's world, with the connection on descriptors 0, 1 and 2.
//
// There are no threads: the test serves while it waits. Whatever waits for a
// client (see tests/interop/) polls `listeners()` as well and calls `serve_ready()`
// when one is readable:
//
//   auto super = SuperServer::start(site);
//   ... start curl on ftp://127.0.0.1:<super->port()>/ and, while it runs,
//   ... poll its pidfd and super->listeners(); on a listener: super->serve_ready()
//   EXPECT_TRUE(super->wait_all_ended());
//   EXPECT_TRUE(super->crashed().empty());
//
// Every session logs into one syslog capture (`log()`); the records carry the pid.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "fd.h"
#include "server_process.h"
#include "syslog_capture.h"
#include "test_site.h"

class SuperServer {
public:
    // Listens on 127.0.0.1 and ::1, each on a port the system chooses. `options`
    // gives the server's arguments and environment (its `connection` is not used).
    // Null (and a test failure) when that fails. The site must outlive the server.
    static std::unique_ptr<SuperServer> start(const TestSite& site, ServerOptions options = {});

    SuperServer(const SuperServer&) = delete;
    SuperServer& operator=(const SuperServer&) = delete;
    // Kills the sessions still running (each one's process group) and reaps them.
    ~SuperServer() = default;

    // The listening ports: on 127.0.0.1 (ipv4) or ::1 (ipv6).
    std::uint16_t port(Connection family = Connection::ipv4) const {
        return family == Connection::ipv6 ? port6_ : port4_;
    }
    // The listening descriptors, to poll for POLLIN.
    std::vector<int> listeners() const { return {listener4_.get(), listener6_.get()}; }
    // Accepts every connection waiting on either listener and starts a session for
    // each; reaps the sessions that have ended. Never blocks.
    void serve_ready();
    // Serves and reaps until no session runs any more; false (and a test failure)
    // when some still run after `timeout`.
    bool wait_all_ended(Millis timeout = default_timeout);

    // Sessions started so far, and how those that ended did.
    int sessions_started() const { return started_; }
    const std::vector<ExitStatus>& ended() const { return ended_; }
    // The ended sessions that were killed by a signal other than the SIGKILL of
    // clean-up: a crash, or an abort.
    std::vector<ExitStatus> crashed() const;

    SyslogCapture& log() { return *log_; }

private:
    SuperServer(const TestSite& site, ServerOptions options) : site_(site), options_(std::move(options)) {}
    void reap_ended();

    const TestSite& site_;
    ServerOptions options_;
    std::unique_ptr<SyslogCapture> log_;
    Fd listener4_;
    Fd listener6_;
    std::uint16_t port4_ = 0;
    std::uint16_t port6_ = 0;
    int started_ = 0;
    std::vector<SiteChild> running_;
    std::vector<ExitStatus> ended_;
};
