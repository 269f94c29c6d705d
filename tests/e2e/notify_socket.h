// The service manager's side of sd_notify for tests: a datagram socket that
// NOTIFY_SOCKET names, and what the host told it, each message with the time
// it came.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "processes.h"

namespace e2e {

// What a service manager hears on its notification socket.
class NotifySocket {
  public:
    explicit NotifySocket(const std::string& path) : path_(path) {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        path.copy(addr.sun_path, sizeof addr.sun_path - 1);
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << path;
    }
    ~NotifySocket() { close(fd_); }

    struct Message {
        std::string text;
        std::chrono::steady_clock::time_point when;
        std::int64_t unixMs;  // the same, on the clock of the host's events
    };
    // Everything received so far, oldest first.
    const std::vector<Message>& messages() {
        char buffer[4096];
        for (ssize_t n; (n = recv(fd_, buffer, sizeof buffer, 0)) > 0;)
            messages_.push_back({std::string(buffer, static_cast<std::size_t>(n)),
                                 std::chrono::steady_clock::now(), nowUnixMs()});
        return messages_;
    }
    std::size_t count(const std::string& what) {
        std::size_t n = 0;
        for (const auto& m : messages()) n += m.text.find(what) != std::string::npos;
        return n;
    }
    std::chrono::steady_clock::time_point last(const std::string& what) {
        std::chrono::steady_clock::time_point at{};
        for (const auto& m : messages())
            if (m.text.find(what) != std::string::npos) at = m.when;
        return at;
    }
    std::int64_t lastUnixMs(const std::string& what) {
        std::int64_t at = 0;
        for (const auto& m : messages())
            if (m.text.find(what) != std::string::npos) at = m.unixMs;
        return at;
    }
    // The status sent last, e.g. "2 of 2 meters answering".
    std::string status() {
        std::string latest;
        for (const auto& m : messages()) {
            const auto at = m.text.find("STATUS=");
            if (at != std::string::npos)
                latest = m.text.substr(at + 7, m.text.find('\n', at) - (at + 7));
        }
        return latest;
    }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
    int fd_ = -1;
    std::vector<Message> messages_;
};

}  // namespace e2e
