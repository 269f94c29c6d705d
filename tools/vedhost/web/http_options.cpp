// The web view's settings.
#include "web/http_options.h"

#include "config/config.h"

namespace vedhost {
namespace {

using J = const Json::Value&;

HttpOptions& http(HostConfig& c) {
    if (!c.http) c.http.emplace();
    return *c.http;
}

Json::Value shown(const HostConfig& c, std::string HttpOptions::*field) {
    return c.http ? textOrNull((*c.http).*field) : Json::Value();
}

const OptionRow kRows[] = {
    {"everything", "--http", "ADDR:PORT", "http.listen",
     "serve the web view, the JSON API and /metrics (127.0.0.1 unless an address is given)",
     ValueType::Custom, 0, 0,
     [](HostConfig& c, J v, const Given& given, std::string& error) {
         std::string host;
         int port = 0;
         if (!v.isString() || !parseListen(v.asString(), host, port)) {
             error = given.name + ": expected ADDR:PORT, got " +
                     (v.isString() ? "\"" + v.asString() + "\"" : valueText(v));
             return false;
         }
         http(c).listen = v.asString();
         return true;
     },
     [](const HostConfig& c) { return shown(c, &HttpOptions::listen); }},
    {"everything", "--http-password-file", "F", "http.password_file",
     "basic authentication: USER:PASSWORD on the first line of F", ValueType::Path, 0, 0,
     [](HostConfig& c, J v, const Given&, std::string&) {
         http(c).passwordFile = v.asString();
         return true;
     },
     [](const HostConfig& c) { return shown(c, &HttpOptions::passwordFile); }},
    {"everything", "--http-tls-cert", "FILE", "http.tls_cert",
     "HTTPS with this certificate (PEM); needs --http-tls-key", ValueType::Path, 0, 0,
     [](HostConfig& c, J v, const Given&, std::string&) {
         http(c).tlsCertFile = v.asString();
         return true;
     },
     [](const HostConfig& c) { return shown(c, &HttpOptions::tlsCertFile); }},
    {"everything", "--http-tls-key", "FILE", "http.tls_key", "the certificate's private key (PEM)",
     ValueType::Path, 0, 0,
     [](HostConfig& c, J v, const Given&, std::string&) {
         http(c).tlsKeyFile = v.asString();
         return true;
     },
     [](const HostConfig& c) { return shown(c, &HttpOptions::tlsKeyFile); }},
    {"everything", "--http-connections", "N", "http.connections",
     "open connections at most, event streams included (default 64)", ValueType::Integer, 2, 4096,
     [](HostConfig& c, J v, const Given&, std::string&) {
         http(c).connections = v.asUInt();
         return true;
     },
     [](const HostConfig& c) {
         return c.http ? Json::Value(Json::UInt64(c.http->connections)) : Json::Value();
     }},
    {"everything", "--http-event-clients", "N", "http.event_clients",
     "event streams (live pages) at most, fewer than the connections; more get 503\n(default 32)",
     ValueType::Integer, 1, 4095,
     [](HostConfig& c, J v, const Given&, std::string&) {
         http(c).eventClients = v.asUInt();
         return true;
     },
     [](const HostConfig& c) {
         return c.http ? Json::Value(Json::UInt64(c.http->eventClients)) : Json::Value();
     }},
};

// The address is needed by the other members; the files are read now, so a
// missing or malformed one stops the host (and check-config) before any line
// is opened, and the server uses what was read here.
bool finishHttp(HostConfig& c, std::string& error) {
    if (!c.http) return true;
    HttpOptions& h = *c.http;
    if (!c.sources.count("http.listen")) {
        error = c.givenInDocument("http.")
                    ? "http.listen: missing; the other \"http\" members need it"
                    : "the --http-* options need --http ADDR:PORT";
        return false;
    }
    if (h.tlsCertFile.empty() != h.tlsKeyFile.empty()) {
        error = c.spelled("http.tls_cert", "--http-tls-cert") + " and " +
                c.spelled("http.tls_key", "--http-tls-key") + " go together";
        return false;
    }
    // Event streams hold their connections open: some must stay for the rest.
    if (h.eventClients >= h.connections) {
        error = c.spelled("http.event_clients", "--http-event-clients") + " (" +
                std::to_string(h.eventClients) + ") must be below " +
                c.spelled("http.connections", "--http-connections") + " (" +
                std::to_string(h.connections) + ")";
        return false;
    }
    if (!h.passwordFile.empty()) {
        if (!c.readNamedFile("http.password_file", "--http-password-file", h.passwordFile,
                             h.credentials, error))
            return false;
        h.credentials = firstLine(h.credentials);
        if (h.credentials.find(':') == std::string::npos) {
            error = c.spelled("http.password_file", "--http-password-file") + ": " +
                    h.passwordFile + ": expected USER:PASSWORD on its first line";
            return false;
        }
    }
    return h.tlsCertFile.empty() ||
           (c.readNamedFile("http.tls_cert", "--http-tls-cert", h.tlsCertFile, h.tlsCert, error) &&
            c.readNamedFile("http.tls_key", "--http-tls-key", h.tlsKeyFile, h.tlsKey, error));
}

const OptionTable kTable = optionTable(kRows, finishHttp);

}  // namespace

const OptionTable& httpOptions() { return kTable; }

}  // namespace vedhost
