// A plain HTTP/1.1 client over a loopback socket for tests: one request per
// connection, the whole reply read until the server closes it (or a deadline
// passes), status, headers and body split apart.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <map>
#include <string>

namespace testhttp {

struct Response {
    int status = 0;                              // 0: no reply
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;
};

// A connected socket to 127.0.0.1:port, or -1; from the loopback address
// `from` ("127.0.0.2") when one is given, as another client on the network.
inline int connectTo(int port, const char* from = nullptr) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (from != nullptr) {
        sockaddr_in source{};
        source.sin_family = AF_INET;
        inet_pton(AF_INET, from, &source.sin_addr);
        if (bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0) {
            close(fd);
            return -1;
        }
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

inline bool sendAll(int fd, const std::string& data) {
    std::size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

// Reads what arrives until `done(text)` holds, the peer closes, or `limit` passes.
template <class Done>
std::string readUntil(int fd, Done done, std::chrono::milliseconds limit) {
    std::string text;
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!done(text)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        char buffer[8192];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    return text;
}

inline Response parse(const std::string& text) {
    Response r;
    const std::size_t end = text.find("\r\n\r\n");
    if (text.compare(0, 9, "HTTP/1.1 ") != 0 || end == std::string::npos) return r;
    r.status = std::stoi(text.substr(9, 3));
    std::size_t at = text.find("\r\n") + 2;
    while (at < end) {
        const std::size_t eol = text.find("\r\n", at);
        const std::string line = text.substr(at, eol - at);
        const std::size_t colon = line.find(':');
        if (colon != std::string::npos) {
            std::string name = line.substr(0, colon);
            std::transform(name.begin(), name.end(), name.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            r.headers[name] = line.substr(line.find_first_not_of(' ', colon + 1));
        }
        at = eol + 2;
    }
    r.body = text.substr(end + 4);
    return r;
}

// One request; `extra` holds more header lines, each ending in \r\n.
inline Response request(int port, const std::string& method, const std::string& path,
                        const std::string& extra = "", const std::string& body = "",
                        std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const int fd = connectTo(port);
    if (fd < 0) return {};
    std::string req =
        method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" + extra;
    if (!body.empty()) req += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    req += "\r\n" + body;
    sendAll(fd, req);
    const std::string text = readUntil(
        fd, [](const std::string&) { return false; }, limit);
    close(fd);
    return parse(text);
}

inline Response get(int port, const std::string& path, const std::string& extra = "") {
    return request(port, "GET", path, extra);
}

}  // namespace testhttp
