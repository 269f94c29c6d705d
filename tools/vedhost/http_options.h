// Where and how vedhost serves its web view, API and metrics (--http and the
// document's "http" object). Off unless configured.
#pragma once

#include <cstddef>
#include <string>

namespace vedhost {

struct HttpOptions {
    std::string listen = "127.0.0.1:8080";  // ADDR:PORT; a bare PORT listens on 127.0.0.1
    std::string passwordFile;       // set: basic authentication, "USER:PASSWORD" on its first line
    std::string credentials;        // its first line, read with the configuration
    std::string tlsCertFile;        // both set: HTTPS with this certificate (PEM) ...
    std::string tlsKeyFile;         // ... and its private key (PEM)
    std::string tlsCert, tlsKey;    // their text, read with the configuration
    std::size_t connections = 64;   // open connections at most, event streams included
    std::size_t eventClients = 32;  // event-stream clients at most; more get 503
};

}  // namespace vedhost

namespace vedhost {

// "ADDR:PORT", "[IPv6]:PORT" or a bare "PORT" (on 127.0.0.1); port 0 picks
// a free one. False when it is none of these.
inline bool parseListen(const std::string& text, std::string& address, int& port) {
    std::string host = "127.0.0.1", digits = text;
    const std::size_t colon = text.rfind(':');
    if (colon != std::string::npos) {
        host = text.substr(0, colon);
        digits = text.substr(colon + 1);
        if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
            host = host.substr(1, host.size() - 2);
        if (host.empty()) return false;
    }
    if (digits.empty() || digits.size() > 5 ||
        digits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const long n = std::stol(digits);
    if (n > 65535) return false;
    address = host;
    port = static_cast<int>(n);
    return true;
}

}  // namespace vedhost
