// Where and how vedhost serves its web view, API and metrics (--http and the
// document's "http" object). Off unless configured.
#pragma once

#include <cstddef>
#include <string>

#include "common/parse.h"  // parseListen() reads `listen`
#include "config/option_rows.h"

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

// --http and the --http-* options, the document's "http" members.
const SettingTable<HttpOptions>& httpOptions();

}  // namespace vedhost
