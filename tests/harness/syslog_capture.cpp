// Syslog capture: the receiving end of a server's /dev/log.
#include "syslog_capture.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cstdlib>

namespace {

// Longer than any record the C library sends.
constexpr std::size_t datagram_size = 8192;

std::vector<SyslogCapture*>& open_captures() {
    static std::vector<SyslogCapture*> captures;
    return captures;
}

// Splits "<PRI>Mmm dd hh:mm:ss tag[pid]: message".
SyslogLine parse_record(std::string raw) {
    SyslogLine line;
    std::size_t start = 0;
    if (raw.size() > 1 && raw[0] == '<') {
        std::size_t close = raw.find('>');
        if (close != std::string::npos) {
            int value = std::atoi(raw.c_str() + 1);
            line.priority = LOG_PRI(value);
            line.facility = value & LOG_FACMASK;
            start = close + 1;
        }
    }
    std::size_t tag_end = raw.find("]: ", start);
    line.message = tag_end != std::string::npos ? raw.substr(tag_end + 3) : raw.substr(start);
    line.raw = std::move(raw);
    return line;
}

}  // namespace

std::unique_ptr<SyslogCapture> SyslogCapture::open(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        ADD_FAILURE() << "syslog socket path too long: " << path;
        return nullptr;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    Fd socket_fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!socket_fd.valid() ||
        bind(socket_fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) < 0) {
        ADD_FAILURE() << "syslog socket " << path << ": " << std::strerror(errno);
        return nullptr;
    }
    return std::unique_ptr<SyslogCapture>(new SyslogCapture(std::move(socket_fd), path));
}

SyslogCapture::SyslogCapture(Fd socket, std::string path)
    : socket_(std::move(socket)), path_(std::move(path)) {
    open_captures().push_back(this);
}

SyslogCapture::~SyslogCapture() {
    auto& captures = open_captures();
    captures.erase(std::remove(captures.begin(), captures.end(), this), captures.end());
    unlink(path_.c_str());
}

void SyslogCapture::drain() {
    char buffer[datagram_size];
    for (;;) {
        ssize_t got = recv(socket_.get(), buffer, sizeof buffer, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return;  // EAGAIN: nothing more queued
        lines_.push_back(parse_record(std::string(buffer, static_cast<std::size_t>(got))));
    }
}

const std::vector<SyslogLine>& SyslogCapture::lines() {
    drain();
    return lines_;
}

std::vector<std::string> SyslogCapture::messages() {
    std::vector<std::string> texts;
    for (const SyslogLine& line : lines()) texts.push_back(line.message);
    return texts;
}

std::vector<std::string> SyslogCapture::collect(Millis period) {
    Deadline deadline(period);
    while (!deadline.expired()) wait_ready(-1, 0, deadline);
    return messages();
}

std::optional<SyslogLine> SyslogCapture::wait_for(std::string_view needle, Millis timeout) {
    Deadline deadline(timeout);
    std::size_t searched = 0;
    for (;;) {
        drain();
        for (; searched < lines_.size(); ++searched) {
            if (lines_[searched].message.find(needle) != std::string::npos)
                return lines_[searched];
        }
        if (deadline.expired()) return std::nullopt;
        wait_ready(socket_.get(), POLLIN, deadline);
    }
}

std::string SyslogCapture::dump() {
    std::string text = "syslog records received:\n";
    for (const SyslogLine& line : lines()) text += "  " + line.raw + "\n";
    return text;
}

std::vector<int> SyslogCapture::open_descriptors() {
    std::vector<int> descriptors;
    for (const SyslogCapture* capture : open_captures()) descriptors.push_back(capture->socket_.get());
    return descriptors;
}

void SyslogCapture::drain_open_captures() {
    for (SyslogCapture* capture : open_captures()) capture->drain();
}
