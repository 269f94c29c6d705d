// A raw TCP client on loopback for tests of servers: connected from any
// 127.x.y.z address (each counts as another client machine), it sends bytes
// no client library would and reads what comes back within a bound.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <vector>

namespace testnet {

class LoopbackClient {
  public:
    using Bytes = std::vector<std::uint8_t>;

    // `receiveBuffer`: the socket's receive buffer, when not the default.
    LoopbackClient(int port, const char* from = "127.0.0.1", int receiveBuffer = 0) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (receiveBuffer > 0)
            setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        inet_pton(AF_INET, from, &local.sin_addr);
        bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<std::uint16_t>(port));
        inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
    }
    ~LoopbackClient() { ::close(fd_); }
    LoopbackClient(const LoopbackClient&) = delete;
    LoopbackClient& operator=(const LoopbackClient&) = delete;

    bool connected() const { return connected_; }
    // Sends all of it, waiting while the socket is full.
    void send(const Bytes& bytes) const { ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
    // Sends what the socket takes now, for a client that must never block.
    void sendNoWait(const Bytes& bytes) const {
        ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    // The next `n` bytes, or what came before the server closed or `limit` passed.
    Bytes receive(std::size_t n,
                  std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) const {
        Bytes got;
        const auto until = std::chrono::steady_clock::now() + limit;
        while (got.size() < n) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                until - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
            std::uint8_t buffer[512];
            const ssize_t r = ::recv(fd_, buffer, std::min(sizeof buffer, n - got.size()), 0);
            if (r <= 0) break;
            got.insert(got.end(), buffer, buffer + r);
        }
        return got;
    }
    // True when the server closed the connection within `limit`.
    bool closedByServer(std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) const {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(limit.count())) <= 0) return false;
        std::uint8_t byte;
        return ::recv(fd_, &byte, 1, MSG_PEEK) == 0 || errno == ECONNRESET;
    }

  private:
    int fd_ = -1;
    bool connected_ = false;
};

}  // namespace testnet
