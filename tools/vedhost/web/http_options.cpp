// The web view's settings.
#include "web/http_options.h"

#include "common/json_file.h"
#include "common/parse.h"

namespace vedhost {
namespace {

using J = const Json::Value&;

const SettingRow<HttpOptions> kRows[] = {
    {{"everything", "--http", "ADDR:PORT", "http.listen",
      "serve the web view, the JSON API and /metrics (127.0.0.1 unless an address is given)",
      ValueType::Custom, 0, 0},
     [](HttpOptions& h, J v, const Given& given, std::string& error) {
         std::string host;
         int port = 0;
         if (!v.isString() || !parseListen(v.asString(), host, port)) {
             error = given.name + ": expected ADDR:PORT, got " +
                     (v.isString() ? "\"" + v.asString() + "\"" : valueText(v));
             return false;
         }
         h.listen = v.asString();
         return true;
     },
     [](const HttpOptions& h) { return textOrNull(h.listen); }},
    {{"everything", "--http-password-file", "F", "http.password_file",
      "basic authentication: USER:PASSWORD on the first line of F", ValueType::Path, 0, 0},
     [](HttpOptions& h, J v, const Given&, std::string&) {
         h.passwordFile = v.asString();
         return true;
     },
     [](const HttpOptions& h) { return textOrNull(h.passwordFile); }},
    {{"everything", "--http-tls-cert", "FILE", "http.tls_cert",
      "HTTPS with this certificate (PEM); needs --http-tls-key", ValueType::Path, 0, 0},
     [](HttpOptions& h, J v, const Given&, std::string&) {
         h.tlsCertFile = v.asString();
         return true;
     },
     [](const HttpOptions& h) { return textOrNull(h.tlsCertFile); }},
    {{"everything", "--http-tls-key", "FILE", "http.tls_key", "the certificate's private key (PEM)",
      ValueType::Path, 0, 0},
     [](HttpOptions& h, J v, const Given&, std::string&) {
         h.tlsKeyFile = v.asString();
         return true;
     },
     [](const HttpOptions& h) { return textOrNull(h.tlsKeyFile); }},
    {{"everything", "--http-connections", "N", "http.connections",
      "open connections at most, event streams included (default 64)", ValueType::Integer, 2, 4096},
     [](HttpOptions& h, J v, const Given&, std::string&) {
         h.connections = v.asUInt();
         return true;
     },
     [](const HttpOptions& h) { return Json::Value(Json::UInt64(h.connections)); }},
    {{"everything", "--http-event-clients", "N", "http.event_clients",
      "event streams (live pages) at most, fewer than the connections; more get 503\n"
      "(default 32)",
      ValueType::Integer, 1, 4095},
     [](HttpOptions& h, J v, const Given&, std::string&) {
         h.eventClients = v.asUInt();
         return true;
     },
     [](const HttpOptions& h) { return Json::Value(Json::UInt64(h.eventClients)); }},
};

// The address is needed by the other members; the files are read now, so a
// missing or malformed one stops the host (and check-config) before any line
// is opened, and the server uses what was read here.
bool finishHttp(HttpOptions& h, Sources& sources, std::string& error) {
    if (!sources.has("http.listen")) {
        error = sources.givenInDocument("http.")
                    ? "http.listen: missing; the other \"http\" members need it"
                    : "the --http-* options need --http ADDR:PORT";
        return false;
    }
    if (h.tlsCertFile.empty() != h.tlsKeyFile.empty()) {
        error = sources.spelled("http.tls_cert", "--http-tls-cert") + " and " +
                sources.spelled("http.tls_key", "--http-tls-key") + " go together";
        return false;
    }
    // Event streams hold their connections open: some must stay for the rest.
    if (h.eventClients >= h.connections) {
        error = sources.spelled("http.event_clients", "--http-event-clients") + " (" +
                std::to_string(h.eventClients) + ") must be below " +
                sources.spelled("http.connections", "--http-connections") + " (" +
                std::to_string(h.connections) + ")";
        return false;
    }
    if (!h.passwordFile.empty()) {
        if (!sources.readNamedFile("http.password_file", "--http-password-file", h.passwordFile,
                                   h.credentials, error))
            return false;
        h.credentials = firstLine(h.credentials);
        if (h.credentials.find(':') == std::string::npos) {
            error = sources.spelled("http.password_file", "--http-password-file") + ": " +
                    h.passwordFile + ": expected USER:PASSWORD on its first line";
            return false;
        }
    }
    return h.tlsCertFile.empty() ||
           (sources.readNamedFile("http.tls_cert", "--http-tls-cert", h.tlsCertFile, h.tlsCert,
                                  error) &&
            sources.readNamedFile("http.tls_key", "--http-tls-key", h.tlsKeyFile, h.tlsKey, error));
}

const SettingTable<HttpOptions> kTable = settingTable(kRows, finishHttp);

}  // namespace

const SettingTable<HttpOptions>& httpOptions() { return kTable; }

}  // namespace vedhost
