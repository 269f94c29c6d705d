#include "modbus_server/modbus_server.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "common/parse.h"

namespace vedhost {

struct WriteCompletions {
    struct Item {
        std::uint64_t connection;
        Frame frame;
        WriteAudit audit;
    };
    std::mutex mutex;
    std::vector<Item> items;
    bool stopping = false;
    int wakeFd = -1;

    WriteCompletions() : wakeFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
    ~WriteCompletions() {
        if (wakeFd >= 0) ::close(wakeFd);
    }
    void wake() const {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wakeFd, &one, sizeof one);
    }
    void push(Item item) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            items.push_back(std::move(item));
        }
        wake();
    }
};

namespace {

using Clock = std::chrono::steady_clock;

// Bytes kept from a client before its frames are taken: four of the longest.
constexpr std::size_t kInputLimit = 4 * kMaxFrameBytes;
// Replies waiting for a client that does not read them; past this its
// requests are no longer read.
constexpr std::size_t kOutputLimit = 16 * 1024;
// Connections accepted in one turn of the loop, so a flood of connects does
// not starve the clients already served.
constexpr int kAcceptsPerTurn = 256;
// The server thread's niceness, above the line threads' 0.
constexpr int kServerNice = 10;

std::string addressText(const sockaddr_storage& peer) {
    char text[INET6_ADDRSTRLEN] = "?";
    if (peer.ss_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(peer).sin_addr, text, sizeof text);
    else if (peer.ss_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(peer).sin6_addr, text,
                  sizeof text);
    return text;
}

struct Connection {
    std::uint64_t id = 0;
    int fd = -1;
    std::string client;
    std::vector<std::uint8_t> in, out;
    Clock::time_point lastRequest;
    bool writing = false;     // a write is being carried out for it
    bool peerClosed = false;  // the client sent its last bytes
};

// One client address: its connections and its request budget.
struct Client {
    std::size_t connections = 0;
    double tokens = 0;
    Clock::time_point refilled;
};

class Loop {
  public:
    Loop(const ModbusServerOptions& options, const ServedMeters& meters,
         const ModbusServer::WriteRunner& runner, const ModbusServer::Audit& audit,
         std::shared_ptr<WriteCompletions> completions, ModbusServer::Counts& counts, int listenFd)
        : options_(options),
          meters_(meters),
          runner_(runner),
          audit_(audit),
          completions_(std::move(completions)),
          counts_(counts),
          listenFd_(listenFd),
          idle_(std::chrono::duration_cast<Clock::duration>(
              std::chrono::duration<double>(options.idleSeconds))),
          burst_(std::max(1.0, options.requestsPerSecond)) {}

    ~Loop() {
        for (auto& [id, c] : connections_) ::close(c.fd);
        counts_.open = 0;
    }

    void run() {
        std::vector<pollfd> fds;
        std::vector<std::uint64_t> ids;
        while (true) {
            fds.clear();
            ids.clear();
            fds.push_back({completions_->wakeFd, POLLIN, 0});
            fds.push_back({listenFd_, POLLIN, 0});
            const Clock::time_point now = Clock::now();
            for (auto& [id, c] : connections_) {
                short events = 0;
                if (!c.writing && !c.peerClosed && c.in.size() < kInputLimit &&
                    c.out.size() < kOutputLimit)
                    events |= POLLIN;
                if (!c.out.empty()) events |= POLLOUT;
                fds.push_back({c.fd, events, 0});
                ids.push_back(id);
            }
            const int timeout = timeoutMs(now);
            if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) break;
            if (fds[0].revents != 0 && !takeCompletions()) return;
            if (fds[1].revents & POLLIN) acceptSome();
            for (std::size_t i = 0; i < ids.size(); ++i) {
                const short got = fds[i + 2].revents;
                if (got == 0) continue;
                const auto it = connections_.find(ids[i]);
                if (it == connections_.end()) continue;
                Connection& c = it->second;
                if ((got & POLLIN) && !readSome(c)) {
                    drop(c.id);
                    continue;
                }
                if ((got & POLLOUT) && !flush(c)) {
                    drop(c.id);
                    continue;
                }
                if ((got & (POLLERR | POLLNVAL)) || ((got & POLLHUP) && !(got & POLLIN)))
                    drop(c.id);
            }
            serveAll();
        }
    }

  private:
    // The longest the loop may sleep: until a throttled client has a request
    // again, a connection idles out, or a second at most.
    int timeoutMs(Clock::time_point now) {
        Clock::duration wait = std::chrono::seconds(1);
        for (auto& [id, c] : connections_) {
            if (!c.writing) wait = std::min(wait, c.lastRequest + idle_ - now);
            if (c.writing || c.in.size() < kMbapBytes) continue;
            Client& client = clients_[c.client];
            refill(client, now);
            if (client.tokens < 1 && options_.requestsPerSecond > 0)
                wait = std::min(
                    wait, std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                              (1 - client.tokens) / options_.requestsPerSecond)));
        }
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(wait).count();
        return static_cast<int>(std::clamp<long long>(ms + 1, 0, 1000));
    }

    void refill(Client& client, Clock::time_point now) {
        const double seconds = std::chrono::duration<double>(now - client.refilled).count();
        client.tokens = std::min(burst_, client.tokens + seconds * options_.requestsPerSecond);
        client.refilled = now;
    }

    void acceptSome() {
        for (int n = 0; n < kAcceptsPerTurn; ++n) {
            sockaddr_storage peer{};
            socklen_t length = sizeof peer;
            const int fd = accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &length,
                                   SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) return;
            const std::string address = addressText(peer);
            Client& client = clients_[address];
            if (connections_.size() >= options_.connections ||
                client.connections >= options_.connectionsPerClient) {
                ++counts_.turnedAway;  // counted before the client can see it
                ::close(fd);
                if (client.connections == 0) clients_.erase(address);
                continue;
            }
            if (client.connections++ == 0) {
                client.tokens = burst_;
                client.refilled = Clock::now();
            }
            Connection c;
            c.id = ++lastId_;
            c.fd = fd;
            c.client = address;
            c.lastRequest = Clock::now();
            connections_.emplace(c.id, std::move(c));
            ++counts_.open;
        }
    }

    // False when the connection is to be closed.
    bool readSome(Connection& c) {
        std::uint8_t buffer[4096];
        const std::size_t room = std::min(sizeof buffer, kInputLimit - c.in.size());
        const ssize_t n = ::recv(c.fd, buffer, room, 0);
        if (n > 0) {
            c.in.insert(c.in.end(), buffer, buffer + n);
            return true;
        }
        if (n == 0) {
            c.peerClosed = true;
            return true;
        }
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    }

    bool flush(Connection& c) {
        while (!c.out.empty()) {
            const ssize_t n = ::send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
            if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
            c.out.erase(c.out.begin(), c.out.begin() + n);
        }
        return true;
    }

    void drop(std::uint64_t id) {
        const auto it = connections_.find(id);
        if (it == connections_.end()) return;
        ::close(it->second.fd);
        const auto client = clients_.find(it->second.client);
        if (client != clients_.end() && --client->second.connections == 0) clients_.erase(client);
        connections_.erase(it);
        --counts_.open;
    }

    // Answers what every connection has sent, as far as its budget goes, and
    // closes connections that idled out or whose client has gone.
    void serveAll() {
        const Clock::time_point now = Clock::now();
        std::vector<std::uint64_t> closing;
        for (auto& [id, c] : connections_) {
            if (!serve(c, now)) {
                closing.push_back(id);
                continue;
            }
            if (!c.out.empty() && !flush(c)) {
                closing.push_back(id);
                continue;
            }
            if (c.writing) continue;
            if (c.peerClosed && c.out.empty()) {
                closing.push_back(id);
            } else if (now - c.lastRequest > idle_) {
                ++counts_.idleClosed;
                closing.push_back(id);
            }
        }
        for (std::uint64_t id : closing) drop(id);
    }

    // False when the connection is to be closed.
    bool serve(Connection& c, Clock::time_point now) {
        while (!c.writing && c.out.size() < kOutputLimit) {
            Frame frame;
            std::size_t used = 0;
            const Take took = takeFrame(c.in.data(), c.in.size(), frame, used);
            if (took == Take::Incomplete) return true;
            if (took == Take::Malformed) {
                ++counts_.malformed;
                return false;
            }
            Client& client = clients_[c.client];
            if (options_.requestsPerSecond > 0) {
                refill(client, now);
                if (client.tokens < 1) return true;
                client.tokens -= 1;
            }
            c.in.erase(c.in.begin(), c.in.begin() + static_cast<std::ptrdiff_t>(used));
            c.lastRequest = now;
            ++counts_.requests;
            Decision d = decide(frame, meters_, now);
            switch (d.kind) {
                case Decision::Kind::Close:
                    ++counts_.malformed;
                    return false;
                case Decision::Kind::Reply:
                    c.out.insert(c.out.end(), d.reply.begin(), d.reply.end());
                    if (d.refusedWrite && audit_)
                        audit_(WriteAudit{c.client, d.dataId, frame.unit, d.request,
                                          WriteOutcome::NotAllowed});
                    break;
                case Decision::Kind::Write: {
                    c.writing = true;
                    WriteCompletions::Item item{c.id, frame,
                                                WriteAudit{c.client, d.dataId, frame.unit,
                                                           d.request, WriteOutcome::NoReply}};
                    std::weak_ptr<WriteCompletions> to = completions_;
                    runner_(d.dataId, d.request, [to, item](WriteOutcome outcome) mutable {
                        item.audit.outcome = outcome;
                        if (const auto completions = to.lock()) completions->push(std::move(item));
                    });
                    break;
                }
            }
        }
        return true;
    }

    // Sends the answers of writes carried out; false when the server stops.
    bool takeCompletions() {
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t n = ::read(completions_->wakeFd, &count, sizeof count);
        std::vector<WriteCompletions::Item> items;
        {
            std::lock_guard<std::mutex> lock(completions_->mutex);
            if (completions_->stopping) return false;
            items.swap(completions_->items);
        }
        for (const WriteCompletions::Item& item : items) {
            if (audit_) audit_(item.audit);
            const auto it = connections_.find(item.connection);
            if (it == connections_.end()) continue;  // the client left meanwhile
            Connection& c = it->second;
            const std::vector<std::uint8_t> reply =
                writeAnswer(item.frame, item.audit.request, item.audit.outcome);
            c.out.insert(c.out.end(), reply.begin(), reply.end());
            c.writing = false;
            c.lastRequest = Clock::now();
        }
        return true;
    }

    const ModbusServerOptions& options_;
    const ServedMeters& meters_;
    const ModbusServer::WriteRunner& runner_;
    const ModbusServer::Audit& audit_;
    std::shared_ptr<WriteCompletions> completions_;
    ModbusServer::Counts& counts_;
    const int listenFd_;
    const Clock::duration idle_;
    const double burst_;
    std::map<std::uint64_t, Connection> connections_;
    std::map<std::string, Client> clients_;
    std::uint64_t lastId_ = 0;
};

}  // namespace

ModbusServer::ModbusServer(ModbusServerOptions options, const ServedMeters& meters,
                           WriteRunner runner, Audit audit)
    : options_(std::move(options)),
      meters_(meters),
      runner_(std::move(runner)),
      audit_(std::move(audit)),
      completions_(std::make_shared<WriteCompletions>()) {}

ModbusServer::~ModbusServer() { stop(); }

bool ModbusServer::start(std::string& error) {
    std::string host;
    int port = 0;
    if (!parseListen(options_.listen, host, port)) {
        error = "modbus server: expected ADDR:PORT, got \"" + options_.listen + "\"";
        return false;
    }
    if (completions_->wakeFd < 0) {
        error = std::string("modbus server: eventfd: ") + std::strerror(errno);
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    const int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    if (rc != 0) {
        error = "modbus server: " + options_.listen + ": " + gai_strerror(rc);
        return false;
    }
    std::string reason = "no address";
    for (addrinfo* a = found; a != nullptr && listenFd_ < 0; a = a->ai_next) {
        const int fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) continue;
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (bind(fd, a->ai_addr, a->ai_addrlen) == 0 && listen(fd, SOMAXCONN) == 0) {
            listenFd_ = fd;
            break;
        }
        reason = std::strerror(errno);
        ::close(fd);
    }
    freeaddrinfo(found);
    if (listenFd_ < 0) {
        error = "modbus server: cannot listen on " + options_.listen + ": " + reason;
        return false;
    }
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    getsockname(listenFd_, reinterpret_cast<sockaddr*>(&bound), &length);
    port_ =
        ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6&>(bound).sin6_port
                                          : reinterpret_cast<const sockaddr_in&>(bound).sin_port);
    thread_ = std::thread([this] { run(); });
    return true;
}

void ModbusServer::run() {
    // Polling comes first when the CPU is short: the line threads wake for
    // each reply on the wire and must not wait behind clients reading flat
    // out. A thread may always lower its own priority.
    setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), kServerNice);
    Loop loop(options_, meters_, runner_, audit_, completions_, counts_, listenFd_);
    loop.run();
}

void ModbusServer::stop() {
    if (thread_.joinable()) {
        {
            std::lock_guard<std::mutex> lock(completions_->mutex);
            completions_->stopping = true;
        }
        completions_->wake();
        thread_.join();
    }
    if (listenFd_ >= 0) ::close(listenFd_);
    listenFd_ = -1;
}

}  // namespace vedhost
