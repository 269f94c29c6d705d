#include "web/http_server.h"

#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <list>
#include <map>
#include <mutex>
#include <thread>

#include "common/json_file.h"
#include "web/web_assets.h"

namespace vedhost {
namespace {

// Only the host's own files: no inline script or style, no other origin.
constexpr const char* kSecurityPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
    "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";
constexpr auto kKeepAlive = std::chrono::seconds(15);
// A request line with its headers must fit here; a larger one is refused.
constexpr std::size_t kConnectionMemory = 32 * 1024;
// A connection quiet for this long is closed: one that has not sent its
// request by then, or a kept-alive one between requests. Event streams wait
// suspended and are not timed; their keep-alive comes every 15 s.
constexpr unsigned kConnectionTimeoutSeconds = 5;
// What a client beyond its address's share reads before its connection is
// closed, in place of an answer to a request it may not have sent yet.
const std::string& busyReply() {
    static const std::string body = "{\"error\":\"too many connections from here\"}\n";
    static const std::string reply =
        "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\n"
        "Content-Length: " +
        std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    return reply;
}
constexpr std::int64_t kHour = 3600;

struct Reply {
    unsigned status = MHD_HTTP_OK;
    const char* type = "application/json";
    std::string body;
};

Reply jsonReply(const Json::Value& value, unsigned status = MHD_HTTP_OK) {
    return {status, "application/json", presentedJson(value) + "\n"};
}

Reply errorReply(unsigned status, const std::string& message) {
    Json::Value e(Json::objectValue);
    e["error"] = message;
    return jsonReply(e, status);
}

// A whole decimal number within [min, max], nothing else.
bool parseNumber(const char* text, std::int64_t min, std::int64_t max, std::int64_t& out) {
    return text != nullptr && parseInteger(text, min, max, out);
}

// Constant-time comparison: how long it takes says nothing of where the two
// differ, nor, beyond the expected length, of how long the offered one is.
bool sameSecret(const std::string& offered, const std::string& expected) {
    unsigned char diff = offered.size() == expected.size() ? 0 : 1;
    for (std::size_t i = 0; i < expected.size(); ++i)
        diff |= static_cast<unsigned char>(expected[i] ^ (i < offered.size() ? offered[i] : 0));
    return diff == 0;
}

// A client's address without its port: what the per-address shares count.
std::string addressOf(const sockaddr* address) {
    if (address == nullptr) return {};
    if (address->sa_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(address);
        return std::string(reinterpret_cast<const char*>(&in->sin_addr), sizeof in->sin_addr);
    }
    if (address->sa_family == AF_INET6) {
        const auto* in = reinterpret_cast<const sockaddr_in6*>(address);
        return std::string(reinterpret_cast<const char*>(&in->sin6_addr), sizeof in->sin6_addr);
    }
    return {};
}

}  // namespace

// Each connection's place in its address's share, from the moment it is
// accepted until it closes.
struct PeerConnection {
    std::string address;
    bool waiting = true;   // no complete request yet
    bool refused = false;  // beyond its address's share: closed at once
};

// One event-stream client: what waits to be sent to it, and whether its
// connection is suspended for want of anything to send.
struct EventClient {
    HttpServer::Impl* server;
    MHD_Connection* connection;
    std::string pending;
    bool suspended = false;
    bool ended = false;  // stopping, or it fell too far behind
};

struct HttpServer::Impl {
    HttpOptions options;
    WebState& state;
    const Presentation& presentation;
    HistoryReader* reader;  // null: no history is kept
    QualitySource quality;
    EnergyQuery energy;
    MHD_Daemon* daemon = nullptr;
    int port = 0;

    std::mutex mutex;  // the clients and what waits for them
    std::list<EventClient> clients;
    bool stopping = false;
    std::condition_variable wake;
    std::thread keepAlive;

    // Connections by client address: open, and open without a complete
    // request yet. One address may hold most of the connections, and only a
    // few of them idle, so idle connections from one client can never take
    // every place (libmicrohttpd's own per-address limit would close the
    // extra ones without a word; these read a 503 first).
    struct Share {
        std::size_t open = 0, waiting = 0;
    };
    std::function<HostHealth()> hostHealth;  // set before start; empty: the meters alone

    std::mutex peersMutex;
    std::map<std::string, Share> peers;
    std::size_t openPerAddress = 0, waitingPerAddress = 0;

    Impl(HttpOptions o, WebState& s, const Presentation& p, HistoryReader* h)
        : options(std::move(o)), state(s), presentation(p), reader(h) {}

    // Appends to every client and resumes those waiting. Called with `mutex` held.
    void sendLocked(const std::string& text) {
        for (EventClient& c : clients) {
            if (c.ended) continue;
            if (c.pending.size() + text.size() > kClientBacklog) {
                // It does not read: end its stream; the browser connects again.
                c.pending.clear();
                c.ended = true;
            } else {
                c.pending += text;
            }
            resumeLocked(c);
        }
    }
    static void resumeLocked(EventClient& c) {
        if (!c.suspended) return;
        c.suspended = false;
        MHD_resume_connection(c.connection);
    }

    static std::string meterEvent(const std::string& meter) {
        return "event: meter\ndata: " + meter + "\n\n";
    }

    void runKeepAlive() {
        std::unique_lock<std::mutex> lock(mutex);
        while (!wake.wait_for(lock, kKeepAlive, [this] { return stopping; }))
            sendLocked(": keep-alive\n\n");
    }

    // --- Requests ---------------------------------------------------------------

    Reply meters(const std::string&, MHD_Connection*) {
        return {MHD_HTTP_OK, "application/json", state.metersText() + "\n"};
    }

    Reply meter(const std::string& rest, MHD_Connection*) {
        std::int64_t id = 0;
        if (!parseNumber(rest.c_str(), 0, 0xffffffffLL, id))
            return errorReply(MHD_HTTP_NOT_FOUND, "no such meter");
        const std::string m = state.meterText(static_cast<unsigned>(id));
        if (m.empty()) return errorReply(MHD_HTTP_NOT_FOUND, "no such meter");
        return {MHD_HTTP_OK, "application/json", m + "\n"};
    }

    Reply alarms(const std::string&, MHD_Connection*) { return jsonReply(state.alarms()); }

    Reply signals(const std::string&, MHD_Connection*) {
        Json::Value list(Json::arrayValue);
        for (const auto& s : ved96_report::signals()) {
            if (s.kind != ved96_report::SignalKind::Number) continue;
            Json::Value row(Json::objectValue);
            row["id"] = s.id;
            row["label"] = presentation.label(s);
            const std::string unit = presentation.unit(s);
            if (!unit.empty()) row["unit"] = unit;
            list.append(row);
        }
        return jsonReply(list);
    }

    Reply history(const std::string&, MHD_Connection* c) {
        auto arg = [c](const char* name) {
            return MHD_lookup_connection_value(c, MHD_GET_ARGUMENT_KIND, name);
        };
        const std::int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count();
        std::int64_t dataId = 0, to = now, from = now - kHour, points = 500;
        constexpr std::int64_t kLatest = 253402300799;  // the end of year 9999
        if (!parseNumber(arg("data_id"), 0, 0xffffffffLL, dataId))
            return errorReply(MHD_HTTP_BAD_REQUEST, "data_id: expected a meter's data id");
        if (arg("to") != nullptr && !parseNumber(arg("to"), 0, kLatest, to))
            return errorReply(MHD_HTTP_BAD_REQUEST, "to: expected unix seconds");
        if (arg("from") != nullptr && !parseNumber(arg("from"), 0, kLatest, from))
            return errorReply(MHD_HTTP_BAD_REQUEST, "from: expected unix seconds");
        if (arg("from") == nullptr) from = std::max<std::int64_t>(0, to - kHour);
        if (from > to) return errorReply(MHD_HTTP_BAD_REQUEST, "from is after to");
        if (arg("points") != nullptr &&
            !parseNumber(arg("points"), 1, static_cast<std::int64_t>(kMaxChartPoints), points))
            return errorReply(MHD_HTTP_BAD_REQUEST,
                              "points: expected 1.." + std::to_string(kMaxChartPoints));
        const char* id = arg("signal");
        const ved96_report::Signal* signal = id == nullptr ? nullptr : ved96_report::findSignal(id);
        if (signal == nullptr || signal->kind != ved96_report::SignalKind::Number)
            return errorReply(MHD_HTTP_BAD_REQUEST, "signal: expected a numeric signal's id");
        if (!state.has(static_cast<unsigned>(dataId)))
            return errorReply(MHD_HTTP_NOT_FOUND, "no such meter");
        if (reader == nullptr)
            return errorReply(MHD_HTTP_NOT_FOUND, "no history is kept (see --history)");

        const SignalStyle* style = presentation.find(signal->id);
        const double scale = style != nullptr ? style->scale : 1.0;
        Json::Value out(Json::objectValue);
        out["data_id"] = Json::Int64(dataId);
        out["signal"] = signal->id;
        out["label"] = presentation.label(*signal);
        const std::string unit = presentation.unit(*signal);
        if (!unit.empty()) out["unit"] = unit;
        out["from"] = Json::Int64(from);
        out["to"] = Json::Int64(to);
        Json::Value list(Json::arrayValue);
        for (const SeriesPoint& p : reader->series(static_cast<unsigned>(dataId), signal->id, from,
                                                   to, static_cast<std::size_t>(points))) {
            Json::Value row(Json::arrayValue);
            row.append(Json::Int64(p.time));
            for (double v : {p.min, p.avg, p.max})
                row.append(std::isfinite(v) ? Json::Value(roundToSingle(v * scale))
                                            : Json::Value());
            list.append(row);
        }
        out["points"] = list;
        return jsonReply(out);
    }

    Reply qualityWeek(const std::string&, MHD_Connection* c) {
        const char* idText = MHD_lookup_connection_value(c, MHD_GET_ARGUMENT_KIND, "data_id");
        const char* week = MHD_lookup_connection_value(c, MHD_GET_ARGUMENT_KIND, "week");
        if (idText == nullptr) {
            Json::Value out(Json::objectValue);
            out["kept"] = static_cast<bool>(quality);
            return jsonReply(out);
        }
        std::int64_t dataId = 0;
        if (!parseNumber(idText, 0, 0xffffffffLL, dataId))
            return errorReply(MHD_HTTP_BAD_REQUEST, "data_id: expected a meter's data id");
        if (!state.has(static_cast<unsigned>(dataId)))
            return errorReply(MHD_HTTP_NOT_FOUND, "no such meter");
        if (!quality)
            return errorReply(MHD_HTTP_NOT_FOUND,
                              "no supply-quality report is kept (see quality.nominal_v)");
        Json::Value document;
        std::string error;
        if (!quality(static_cast<unsigned>(dataId), week != nullptr ? week : "", document, error))
            return errorReply(MHD_HTTP_BAD_REQUEST, error);
        if (document.isNull()) return errorReply(MHD_HTTP_NOT_FOUND, "no values for this week");
        return jsonReply(document);
    }

    // What the page needs to know of the host beside its meters.
    Reply health(const std::string&, MHD_Connection*) {
        Json::Value out = hostHealth ? healthJson(hostHealth()) : Json::Value(Json::objectValue);
        out["history"]["kept"] = reader != nullptr;
        return jsonReply(out);
    }

    Reply energyUse(const std::string&, MHD_Connection* c) {
        if (!energy) return errorReply(MHD_HTTP_NOT_FOUND, "no energy is kept (see --energy)");
        std::string reply;
        const unsigned status = energy(
            [c](const char* name) {
                return MHD_lookup_connection_value(c, MHD_GET_ARGUMENT_KIND, name);
            },
            reply);
        return {status, "application/json", reply + "\n"};
    }

    // The meters, then the host's own families.
    Reply metrics(const std::string&, MHD_Connection*) {
        std::string text = state.metrics();
        if (hostHealth) text += healthMetrics(hostHealth());
        return {MHD_HTTP_OK, "text/plain; version=0.0.4; charset=utf-8", std::move(text)};
    }

    struct Route {
        const char* path;
        bool prefix;  // the rest of the path goes to the handler
        Reply (Impl::*handle)(const std::string& rest, MHD_Connection*);
    };
    static constexpr Route kRoutes[] = {
        {"/api/meters", false, &Impl::meters},   {"/api/meters/", true, &Impl::meter},
        {"/api/alarms", false, &Impl::alarms},   {"/api/signals", false, &Impl::signals},
        {"/api/history", false, &Impl::history}, {"/api/quality", false, &Impl::qualityWeek},
        {"/api/health", false, &Impl::health},   {"/api/energy", false, &Impl::energyUse},
        {"/metrics", false, &Impl::metrics},
    };

    static MHD_Result queue(MHD_Connection* c, const Reply& reply, bool page = false) {
        MHD_Response* r = MHD_create_response_from_buffer(
            reply.body.size(), const_cast<char*>(reply.body.data()), MHD_RESPMEM_MUST_COPY);
        addHeaders(r, reply.type, page);
        // A refused request frees its connection for someone else.
        if (reply.status >= 400) MHD_add_response_header(r, MHD_HTTP_HEADER_CONNECTION, "close");
        const MHD_Result result = MHD_queue_response(c, reply.status, r);
        MHD_destroy_response(r);
        return result;
    }

    static void addHeaders(MHD_Response* r, const char* type, bool page) {
        MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, type);
        MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_SECURITY_POLICY, kSecurityPolicy);
        MHD_add_response_header(r, "X-Content-Type-Options", "nosniff");
        MHD_add_response_header(r, "Referrer-Policy", "no-referrer");
        MHD_add_response_header(r, MHD_HTTP_HEADER_CACHE_CONTROL, page ? "no-cache" : "no-store");
    }

    MHD_Result staticFile(MHD_Connection* c, const std::string& url) {
        const std::string path = url == "/" ? "/index.html" : url;
        for (std::size_t i = 0; i < kWebAssetCount; ++i) {
            const WebAsset& a = kWebAssets[i];
            if (path != a.path) continue;
            MHD_Response* r = MHD_create_response_from_buffer(
                a.size, const_cast<unsigned char*>(a.data), MHD_RESPMEM_PERSISTENT);
            addHeaders(r, a.type, true);
            const MHD_Result result = MHD_queue_response(c, MHD_HTTP_OK, r);
            MHD_destroy_response(r);
            return result;
        }
        return queue(c, errorReply(MHD_HTTP_NOT_FOUND, "not found"));
    }

    MHD_Result events(MHD_Connection* c, bool head) {
        std::unique_lock<std::mutex> lock(mutex);
        std::size_t open = 0;
        for (const EventClient& e : clients) open += !e.ended;
        if (stopping || open >= options.eventClients) {
            lock.unlock();
            return queue(c, errorReply(MHD_HTTP_SERVICE_UNAVAILABLE, "too many event streams"));
        }
        if (head) {
            lock.unlock();
            return queue(c, Reply{MHD_HTTP_OK, "text/event-stream", ""});
        }
        clients.push_back(EventClient{this, c, "retry: 3000\n\n"});
        EventClient* client = &clients.back();
        lock.unlock();
        // The stream opens with every meter as it stands.
        std::string first;
        for (const Json::Value& m : state.meters()) first += meterEvent(presentedJson(m));
        lock.lock();
        client->pending += first;
        lock.unlock();

        MHD_Response* r = MHD_create_response_from_callback(
            MHD_SIZE_UNKNOWN, 4096, &Impl::readEvents, client, &Impl::endEvents);
        addHeaders(r, "text/event-stream", false);
        const MHD_Result result = MHD_queue_response(c, MHD_HTTP_OK, r);
        MHD_destroy_response(r);
        return result;
    }

    static ssize_t readEvents(void* cls, std::uint64_t, char* buffer, std::size_t max) {
        auto* client = static_cast<EventClient*>(cls);
        Impl& self = *client->server;
        std::lock_guard<std::mutex> lock(self.mutex);
        if (client->pending.empty()) {
            if (client->ended) return MHD_CONTENT_READER_END_OF_STREAM;
            // Nothing to send: the connection waits, off the event loop,
            // until sendLocked() resumes it.
            client->suspended = true;
            MHD_suspend_connection(client->connection);
            return 0;
        }
        const std::size_t n = std::min(max, client->pending.size());
        std::memcpy(buffer, client->pending.data(), n);
        client->pending.erase(0, n);
        return static_cast<ssize_t>(n);
    }

    static void endEvents(void* cls) {
        auto* client = static_cast<EventClient*>(cls);
        Impl& self = *client->server;
        std::lock_guard<std::mutex> lock(self.mutex);
        self.clients.remove_if([client](const EventClient& c) { return &c == client; });
    }

    bool authorised(MHD_Connection* c) {
        const std::string& credentials = options.credentials;  // empty: no authentication
        if (credentials.empty()) return true;
        char* password = nullptr;
        char* user = MHD_basic_auth_get_username_password(c, &password);
        const std::string offered =
            std::string(user != nullptr ? user : "") + ":" + (password != nullptr ? password : "");
        if (user != nullptr) MHD_free(user);
        if (password != nullptr) MHD_free(password);
        return user != nullptr && sameSecret(offered, credentials);
    }

    // --- Connections ------------------------------------------------------------

    void connectionStarted(MHD_Connection* c, void** socketContext) {
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
        auto* peer = new PeerConnection{addressOf(info != nullptr ? info->client_addr : nullptr)};
        *socketContext = peer;
        {
            std::lock_guard<std::mutex> lock(peersMutex);
            Share& share = peers[peer->address];
            peer->refused = share.open >= openPerAddress || share.waiting >= waitingPerAddress;
            if (!peer->refused) {
                ++share.open;
                ++share.waiting;
            } else if (share.open == 0) {
                peers.erase(peer->address);
            }
        }
        if (!peer->refused) return;
        // Told why, where the connection is plain text, and closed both ways:
        // the server sees its end at once and frees its place.
        const MHD_ConnectionInfo* fd =
            MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
        if (fd == nullptr) return;
        if (options.tlsCert.empty())
            (void)::send(fd->connect_fd, busyReply().data(), busyReply().size(),
                         MSG_NOSIGNAL | MSG_DONTWAIT);
        ::shutdown(fd->connect_fd, SHUT_RDWR);
    }

    void connectionClosed(void** socketContext) {
        auto* peer = static_cast<PeerConnection*>(*socketContext);
        if (peer == nullptr) return;
        *socketContext = nullptr;
        if (!peer->refused) {
            std::lock_guard<std::mutex> lock(peersMutex);
            const auto it = peers.find(peer->address);
            if (it != peers.end()) {
                --it->second.open;
                if (peer->waiting) --it->second.waiting;
                if (it->second.open == 0) peers.erase(it);
            }
        }
        delete peer;
    }

    // False for a connection beyond its address's share; otherwise it no
    // longer waits for its request.
    bool requestArrived(MHD_Connection* c) {
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(c, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
        auto* peer = info != nullptr ? static_cast<PeerConnection*>(info->socket_context) : nullptr;
        if (peer == nullptr) return true;
        if (peer->refused) return false;
        if (peer->waiting) {
            peer->waiting = false;
            std::lock_guard<std::mutex> lock(peersMutex);
            const auto it = peers.find(peer->address);
            if (it != peers.end()) --it->second.waiting;
        }
        return true;
    }

    static void notify(void* cls, MHD_Connection* c, void** socketContext,
                       MHD_ConnectionNotificationCode code) {
        auto* self = static_cast<Impl*>(cls);
        if (code == MHD_CONNECTION_NOTIFY_STARTED)
            self->connectionStarted(c, socketContext);
        else if (code == MHD_CONNECTION_NOTIFY_CLOSED)
            self->connectionClosed(socketContext);
    }

    // --- Requests, continued ------------------------------------------------------

    MHD_Result handle(MHD_Connection* c, const char* urlText, const char* method,
                      std::size_t* uploadSize, void** context) {
        // A request body is never read: only GET and HEAD are served.
        const bool get = std::strcmp(method, MHD_HTTP_METHOD_GET) == 0;
        const bool head = std::strcmp(method, MHD_HTTP_METHOD_HEAD) == 0;
        if (*context == nullptr) {
            if (!requestArrived(c)) return MHD_NO;
            // First call, headers only. Other methods are answered now, so
            // that their body is never read (and the connection is closed);
            // GET and HEAD on the next call, once the request is complete,
            // so that the connection may serve the next one.
            *context = this;
            if (get || head) return MHD_YES;
        } else if (*uploadSize != 0) {
            *uploadSize = 0;  // a body nobody asked for is dropped
            return MHD_YES;
        }
        if (!get && !head) {
            MHD_Response* r = MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT);
            addHeaders(r, "text/plain", false);
            MHD_add_response_header(r, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
            const MHD_Result result = MHD_queue_response(c, MHD_HTTP_METHOD_NOT_ALLOWED, r);
            MHD_destroy_response(r);
            return result;
        }
        if (!authorised(c)) {
            const std::string body = "{\"error\":\"authentication required\"}\n";
            MHD_Response* r = MHD_create_response_from_buffer(
                body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
            addHeaders(r, "application/json", false);
            const MHD_Result result = MHD_queue_basic_auth_fail_response(c, "vedhost", r);
            MHD_destroy_response(r);
            return result;
        }
        const std::string url = urlText;
        if (url == "/api/events") return events(c, head);
        for (const Route& route : kRoutes) {
            const std::size_t n = std::strlen(route.path);
            if (route.prefix ? url.compare(0, n, route.path) == 0 && url.size() > n
                             : url == route.path)
                return queue(c, (this->*route.handle)(url.substr(n), c));
        }
        return staticFile(c, url);
    }

    static MHD_Result access(void* cls, MHD_Connection* c, const char* url, const char* method,
                             const char*, const char*, std::size_t* uploadSize, void** context) {
        return static_cast<Impl*>(cls)->handle(c, url, method, uploadSize, context);
    }
};

HttpServer::HttpServer(HttpOptions options, WebState& state, const Presentation& presentation,
                       HistoryReader* history)
    : impl_(std::make_unique<Impl>(std::move(options), state, presentation, history)) {}

HttpServer::~HttpServer() { stop(); }

void HttpServer::setEnergy(EnergyQuery energy) { impl_->energy = std::move(energy); }

int HttpServer::port() const { return impl_->port; }

void HttpServer::setQuality(QualitySource quality) { impl_->quality = std::move(quality); }

bool HttpServer::start(std::string& error) {
    Impl& s = *impl_;
    const HttpOptions& o = s.options;
    std::string host;
    int port = 0;
    if (!parseListen(o.listen, host, port)) {
        error = "http: expected ADDR:PORT, got \"" + o.listen + "\"";
        return false;
    }
    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_AUTO;
    if (!o.tlsCert.empty()) {
        if (MHD_is_feature_supported(MHD_FEATURE_TLS) != MHD_YES) {
            error = "http: this libmicrohttpd has no TLS";
            return false;
        }
        flags |= MHD_USE_TLS;
    }

    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const int gai = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (gai != 0 || found == nullptr) {
        error = "http: " + host + ": " + gai_strerror(gai);
        return false;
    }
    sockaddr_storage address{};
    std::memcpy(&address, found->ai_addr, found->ai_addrlen);
    if (found->ai_family == AF_INET6) flags |= MHD_USE_IPv6;
    freeaddrinfo(found);

    // Most of the places may go to one address, and a few of them to
    // connections that have not asked yet; the rest stay for everyone else.
    s.openPerAddress = o.connections - std::max<std::size_t>(1, o.connections / 8);
    s.waitingPerAddress = std::max<std::size_t>(2, o.connections / 8);
    std::vector<MHD_OptionItem> items = {
        {MHD_OPTION_SOCK_ADDR, 0, &address},
        {MHD_OPTION_NOTIFY_CONNECTION, reinterpret_cast<intptr_t>(&Impl::notify), &s},
        {MHD_OPTION_CONNECTION_LIMIT, static_cast<intptr_t>(o.connections), nullptr},
        {MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<intptr_t>(kConnectionMemory), nullptr},
        {MHD_OPTION_CONNECTION_TIMEOUT, kConnectionTimeoutSeconds, nullptr},
    };
    if (flags & MHD_USE_TLS) {
        items.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char*>(o.tlsCert.c_str())});
        items.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char*>(o.tlsKey.c_str())});
    }
    items.push_back({MHD_OPTION_END, 0, nullptr});
    s.daemon = MHD_start_daemon(flags, 0, nullptr, nullptr, &Impl::access, &s, MHD_OPTION_ARRAY,
                                items.data(), MHD_OPTION_END);
    if (s.daemon == nullptr) {
        error = "http: cannot listen on " + o.listen +
                (flags & MHD_USE_TLS ? " (or the certificate and key are not usable)" : "");
        return false;
    }
    const MHD_DaemonInfo* info = MHD_get_daemon_info(s.daemon, MHD_DAEMON_INFO_BIND_PORT);
    s.port = info != nullptr ? info->port : port;
    s.keepAlive = std::thread([&s] { s.runKeepAlive(); });
    return true;
}

void HttpServer::stop() {
    Impl& s = *impl_;
    if (s.daemon == nullptr) return;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.stopping = true;
        for (EventClient& c : s.clients) {
            c.ended = true;
            Impl::resumeLocked(c);
        }
    }
    s.wake.notify_all();
    if (s.keepAlive.joinable()) s.keepAlive.join();
    MHD_stop_daemon(s.daemon);
    s.daemon = nullptr;
}

void HttpServer::setHealth(std::function<HostHealth()> health) {
    impl_->hostHealth = std::move(health);
}

void HttpServer::meterChanged(unsigned dataId) {
    Impl& s = *impl_;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (s.clients.empty()) return;
    }
    const std::string event = Impl::meterEvent(s.state.meterText(dataId));
    std::lock_guard<std::mutex> lock(s.mutex);
    s.sendLocked(event);
}

}  // namespace vedhost
