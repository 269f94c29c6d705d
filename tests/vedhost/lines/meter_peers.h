// Meters on the other end of a real line, for the line and scheduler tests:
// a Modbus TCP server on loopback and the far side of a pseudo-terminal.
// Frames are written here by hand from the Modbus application protocol and
// the serial line guide; nothing of libmodbus stands in for either end.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace peers {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

// Modbus RTU's CRC-16 (polynomial 0xA001 reflected, from 0xFFFF), low byte
// first on the wire.
inline Bytes withCrc(Bytes frame) {
    std::uint16_t crc = 0xFFFF;
    for (std::uint8_t b : frame) {
        crc ^= b;
        for (int i = 0; i < 8; ++i) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    frame.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<std::uint8_t>(crc >> 8));
    return frame;
}

// The PDU of a good reply to a request PDU: a read gives `value(address)` for
// each register; a write echoes address and value (6) or address and count (16).
inline Bytes replyPdu(const std::uint8_t* pdu, std::size_t length,
                      const std::function<std::uint16_t(int)>& value) {
    if (length < 5) return {};
    const int function = pdu[0];
    const int address = pdu[1] << 8 | pdu[2];
    const int count = pdu[3] << 8 | pdu[4];
    if (function == 6 || function == 16) return Bytes(pdu, pdu + 5);
    Bytes out = {3, static_cast<std::uint8_t>(2 * count)};
    for (int r = address; r < address + count; ++r) {
        const std::uint16_t v = value(r);
        out.push_back(static_cast<std::uint8_t>(v >> 8));
        out.push_back(static_cast<std::uint8_t>(v & 0xFF));
    }
    return out;
}

// Reads exactly n bytes, waiting at most `limit` for each; false on end or time-out.
inline bool readAll(int fd, std::uint8_t* out, std::size_t n,
                    std::chrono::milliseconds limit = 2000ms) {
    std::size_t got = 0;
    while (got < n) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(limit.count())) <= 0) return false;
        const ssize_t r = ::read(fd, out + got, n - got);
        if (r <= 0) return false;
        got += static_cast<std::size_t>(r);
    }
    return true;
}

inline void writeAll(int fd, const Bytes& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t w = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (w <= 0) return;
        done += static_cast<std::size_t>(w);
    }
}

// A Modbus TCP meter on 127.0.0.1, one connection at a time. What it does
// with the n-th request it receives (counted over every connection, from 0)
// is acts[n]; past the list it answers. Registers not in the image read 0.
class TcpMeter {
  public:
    enum class Act {
        Answer,
        Silent,  // reads the request and never answers
        Close,   // reads the request and closes the connection
        Late,    // answers after `lateBy`, whatever the master did meanwhile
    };
    // Each reply word is the image's value plus mark(n) for the n-th request:
    // lets a test tell which request a reply answered.
    using Mark = std::function<std::uint16_t(int request)>;

    explicit TcpMeter(
        std::vector<Act> acts = {}, std::map<int, std::uint16_t> image = {},
        Mark mark = [](int) { return std::uint16_t{0}; }, std::chrono::milliseconds lateBy = 300ms)
        : acts_(std::move(acts)),
          image_(std::move(image)),
          mark_(std::move(mark)),
          lateBy_(lateBy) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = 0;
        socklen_t size = sizeof a;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(listener_, 4) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &size) != 0)
            ADD_FAILURE() << "cannot listen on loopback";
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~TcpMeter() {
        stop_ = true;
        thread_.join();
        ::close(listener_);
    }
    TcpMeter(const TcpMeter&) = delete;
    TcpMeter& operator=(const TcpMeter&) = delete;

    int port() const { return port_; }
    int connections() const { return connections_; }
    int requests() const { return requests_; }

  private:
    bool wait(int fd) const {
        while (!stop_) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 20) > 0) return true;
        }
        return false;
    }
    void serve() {
        while (wait(listener_)) {
            const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            ++connections_;
            while (wait(fd)) {
                std::uint8_t head[7];
                if (!readAll(fd, head, sizeof head)) break;
                const std::size_t rest = static_cast<std::size_t>(head[4] << 8 | head[5]) - 1;
                Bytes pdu(rest);
                if (rest > 256 || !readAll(fd, pdu.data(), rest)) break;
                const int n = requests_++;
                const Act act = n < static_cast<int>(acts_.size()) ? acts_[n] : Act::Answer;
                if (act == Act::Silent) continue;
                if (act == Act::Close) break;
                if (act == Act::Late) std::this_thread::sleep_for(lateBy_);
                const std::uint16_t offset = mark_(n);
                const Bytes reply = replyPdu(pdu.data(), pdu.size(), [&](int r) {
                    const auto it = image_.find(r);
                    return static_cast<std::uint16_t>((it == image_.end() ? 0 : it->second) +
                                                      offset);
                });
                Bytes adu = {head[0], head[1], 0, 0, 0, static_cast<std::uint8_t>(reply.size() + 1),
                             head[6]};
                adu.insert(adu.end(), reply.begin(), reply.end());
                writeAll(fd, adu);
            }
            ::close(fd);
        }
    }

    std::vector<Act> acts_;
    std::map<int, std::uint16_t> image_;
    const Mark mark_;
    const std::chrono::milliseconds lateBy_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0}, requests_{0};
    std::thread thread_;
};

// The far side of a pseudo-terminal: the line opens path(), the test reads
// and writes frames here. The slave side is held open too, so the line
// closing its end never hangs the pair up.
class PtyPeer {
  public:
    PtyPeer() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
            ADD_FAILURE() << "cannot make a pseudo-terminal";
            return;
        }
        path_ = ::ptsname(master_);
        termios tio{};
        ::tcgetattr(master_, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(master_, TCSANOW, &tio);
        held_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY);
    }
    ~PtyPeer() {
        if (held_ >= 0) ::close(held_);
        if (master_ >= 0) ::close(master_);
    }
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    const std::string& path() const { return path_; }
    // One request of `length` bytes as the line sent it; empty when none came.
    Bytes request(std::size_t length) {
        Bytes frame(length);
        if (!readAll(master_, frame.data(), length)) return {};
        return frame;
    }
    void send(const Bytes& bytes) {
        if (::write(master_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
            ADD_FAILURE() << "short write on the pseudo-terminal";
    }

  private:
    int master_ = -1;
    int held_ = -1;
    std::string path_;
};

}  // namespace peers
