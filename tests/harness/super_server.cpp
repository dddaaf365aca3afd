// The test's super-server: loopback listeners, one server process per connection.
#include "super_server.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>

#include "ftp_client.h"

namespace {

// Enough for every client of a parallel test to connect at once.
constexpr int listen_backlog = 64;
// Sessions accepted in one serve_ready call at most, so a flood cannot keep the
// caller from its own work.
constexpr int accepts_per_call = 64;
constexpr Millis reap_interval{20};

std::optional<Fd> loopback_listener(const char* address, int family, std::uint16_t& port) {
    Endpoint endpoint{.family = family, .address = address};
    std::optional<Fd> listener = listen_on(endpoint);
    if (!listener) return std::nullopt;
    if (listen(listener->get(), listen_backlog) < 0 ||
        fcntl(listener->get(), F_SETFL, O_NONBLOCK) < 0) {
        ADD_FAILURE() << "listener on " << address << ": " << std::strerror(errno);
        return std::nullopt;
    }
    port = endpoint.port;
    return listener;
}

}  // namespace

std::unique_ptr<SuperServer> SuperServer::start(const TestSite& site, ServerOptions options) {
    if (!site.ok()) {
        ADD_FAILURE() << "the test site is not usable";
        return nullptr;
    }
    std::unique_ptr<SuperServer> super(new SuperServer(site, std::move(options)));
    static int opened = 0;
    super->log_ = SyslogCapture::open(site.file_path("super-syslog-" + std::to_string(++opened)));
    if (super->log_ == nullptr) return nullptr;
    auto ipv4 = loopback_listener("127.0.0.1", AF_INET, super->port4_);
    auto ipv6 = loopback_listener("::1", AF_INET6, super->port6_);
    if (!ipv4 || !ipv6) return nullptr;
    super->listener4_ = std::move(*ipv4);
    super->listener6_ = std::move(*ipv6);
    return super;
}

void SuperServer::serve_ready() {
    SiteCommand command{.argv = server_arguments(site_, options_),
                        .environment = server_environment(options_),
                        .syslog_socket = log_->path()};
    for (const Fd* listener : {&listener4_, &listener6_}) {
        for (int count = 0; count < accepts_per_call; ++count) {
            Fd connection(accept4(listener->get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (!connection.valid()) {
                if (errno == EINTR) continue;
                if (errno != EAGAIN && errno != EWOULDBLOCK)
                    ADD_FAILURE() << "accept: " << std::strerror(errno);
                break;
            }
            // accept4 without SOCK_NONBLOCK: the session gets a blocking socket, as
            // from inetd.
            std::fill(std::begin(command.stdio), std::end(command.stdio), connection.get());
            std::optional<SiteChild> session = start_in_site(site_, command);
            if (!session) continue;  // the failure is recorded; the client sees a close
            ++started_;
            running_.push_back(std::move(*session));
        }
    }
    reap_ended();
}

void SuperServer::reap_ended() {
    for (auto session = running_.begin(); session != running_.end();) {
        ExitStatus status = session->wait_exit(Millis(0));
        if (status.kind == ExitStatus::running) {
            ++session;
            continue;
        }
        ended_.push_back(status);
        session = running_.erase(session);
    }
}

bool SuperServer::wait_all_ended(Millis timeout) {
    Deadline deadline(timeout);
    for (;;) {
        serve_ready();
        if (running_.empty()) return true;
        if (deadline.expired()) break;
        std::vector<pollfd> watched;
        for (int fd : listeners()) watched.push_back({.fd = fd, .events = POLLIN, .revents = 0});
        for (const SiteChild& session : running_)
            watched.push_back({.fd = session.pidfd(), .events = POLLIN, .revents = 0});
        wait_any(watched, Deadline(std::min(reap_interval, Millis(deadline.remaining_ms()))));
    }
    ADD_FAILURE() << running_.size() << " session(s) still running after " << timeout.count() << " ms";
    return false;
}

std::vector<ExitStatus> SuperServer::crashed() const {
    std::vector<ExitStatus> crashes;
    for (const ExitStatus& status : ended_) {
        if (status.kind == ExitStatus::signalled) crashes.push_back(status);
    }
    return crashes;
}
