#include "mqtt/mqtt_sink.h"

#include <mosquitto.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <iostream>
#include <set>
#include <thread>

#include "common/json_file.h"
#include "hosting/event_log.h"
#include "presentation/alarm_tracker.h"
#include "presentation/signal_values.h"
#include "presentation/state_message.h"

namespace vedhost {
namespace {

constexpr int kQos = 1;
// Messages handed to libmosquitto and not yet acknowledged, per connection;
// the rest wait in our own bounded queue.
constexpr std::size_t kInFlight = 20;
constexpr auto kStopWait = std::chrono::seconds(5);

// True when a TCP connection to host:port can be made within `limit`, so
// that the blocking connect of libmosquitto that follows does not hang on a
// broker that does not answer at all.
bool reachable(const std::string& host, int port, std::chrono::milliseconds limit,
               std::string& why) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int gai = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (gai != 0) {
        why = gai_strerror(gai);
        return false;
    }
    bool ok = false;
    why = "no answer";
    for (addrinfo* a = found; a != nullptr && !ok; a = a->ai_next) {
        const int fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) continue;
        if (connect(fd, a->ai_addr, a->ai_addrlen) == 0) {
            ok = true;
        } else if (errno == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            int error = 0;
            socklen_t len = sizeof error;
            if (poll(&p, 1, static_cast<int>(limit.count())) == 1 &&
                getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) == 0) {
                ok = error == 0;
                if (!ok) why = std::strerror(error);
            }
        } else {
            why = std::strerror(errno);
        }
        close(fd);
    }
    freeaddrinfo(found);
    return ok;
}

// libmosquitto's texts end with a full stop; ours go on after them.
std::string withoutStop(std::string text) {
    while (!text.empty() && text.back() == '.') text.pop_back();
    return text;
}

void libraryInit() {
    static const int once = mosquitto_lib_init();
    (void)once;
}

}  // namespace

namespace {

std::int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

struct MqttSink::Client {
    struct Message {
        std::string topic;
        std::string payload;
    };

    MqttSink& sink;
    unsigned dataId;
    std::string line;
    int slave;
    std::string base;  // PREFIX/DATA_ID
    mosquitto* mosq = nullptr;

    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Message> queue;
    std::set<int> inFlight;        // message ids awaiting the broker's acknowledgement
    std::size_t dropped = 0;       // since the last connect, for its line
    std::size_t droppedTotal = 0;  // since start, for /metrics
    bool connected = false;
    std::int64_t awaySinceMs = nowMs();  // while not connected
    // A connection is being made (the first, or one the broker has not yet
    // answered): stopping waits for it, so a slow handshake loses nothing.
    bool attempting = true;
    bool online = false;  // the meter answers
    int statusMid = -1;   // the final "offline" while stopping
    bool statusAcked = false;
    AlarmTracker alarms;                         // which alarm checks are news
    std::vector<DiscoveryMessage> announcement;  // the meter's, for Home Assistant
    bool sweeper = false;                        // clears the host's announcements no longer made
    std::set<std::string> clearedDevices;        // the sweeper's, named on stderr
    bool refused = false;                        // the broker refused the connection being closed
    bool lostNoted = false;  // the connection being closed was up, and its loss is said
    std::thread thread;      // runs the connection: connects, reads, writes, reconnects

    Client(MqttSink& s, unsigned id, std::string l, int sl)
        : sink(s),
          dataId(id),
          line(std::move(l)),
          slave(sl),
          base(s.options_.prefix + "/" + std::to_string(id)) {}

    // Queues a state or alarm message; the oldest goes when the queue is full.
    void enqueue(const std::string& leaf, const Json::Value& payload) {
        std::lock_guard<std::mutex> lock(mutex);
        if (queue.size() >= sink.options_.queueLimit) {
            queue.pop_front();
            ++dropped;
            ++droppedTotal;
        }
        queue.push_back({base + "/" + leaf, presentedJson(payload)});
        flushLocked();
    }

    // Hands queued messages to libmosquitto while connected and the broker
    // keeps up. Called with `mutex` held.
    void flushLocked() {
        while (connected && !queue.empty() && inFlight.size() < kInFlight) {
            const Message& m = queue.front();
            int mid = 0;
            const int rc =
                mosquitto_publish(mosq, &mid, m.topic.c_str(), static_cast<int>(m.payload.size()),
                                  m.payload.data(), kQos, false);
            if (rc != MOSQ_ERR_SUCCESS) break;  // gone meanwhile: keep it for the reconnect
            inFlight.insert(mid);
            queue.pop_front();
        }
        changed.notify_all();
    }

    // Sends the meter's status, retained. Called with `mutex` held.
    int publishStatusLocked() {
        const char* text = online ? "online" : "offline";
        int mid = -1;
        mosquitto_publish(mosq, &mid, (base + "/status").c_str(),
                          static_cast<int>(std::strlen(text)), text, kQos, true);
        return mid;
    }

    // Sends the meter's announcements, retained; stop() waits for them as for
    // the queue. Called with `mutex` held.
    void announceLocked() {
        for (const DiscoveryMessage& m : announcement) {
            int mid = 0;
            if (mosquitto_publish(mosq, &mid, m.topic.c_str(), static_cast<int>(m.payload.size()),
                                  m.payload.data(), kQos, true) == MOSQ_ERR_SUCCESS)
                inFlight.insert(mid);
        }
    }

    // Home Assistant's birth message, and the host's earlier announcements
    // read back by the sweeping connection.
    void onMessage(const mosquitto_message& m) {
        const Discovery& discovery = *sink.discovery_;
        const std::string topic = m.topic;
        const std::string payload(static_cast<const char*>(m.payload),
                                  static_cast<std::size_t>(std::max(m.payloadlen, 0)));
        if (topic == discovery.birthTopic()) {
            // A retained birth is an old one: the connect announced already.
            if (m.retain || payload != "online") return;
            std::lock_guard<std::mutex> lock(mutex);
            if (connected) announceLocked();
            return;
        }
        // Only what the broker kept from before: a live announcement is one
        // being made now.
        if (!sweeper || !m.retain || !discovery.outdated(topic, payload, sink.announced_)) return;
        std::string device = topic;
        Json::Value config;
        std::string error;
        if (parseJson(payload, config, error) && config["device"]["name"].isString())
            device = config["device"]["name"].asString();
        {
            std::lock_guard<std::mutex> lock(mutex);
            int mid = 0;
            if (mosquitto_publish(mosq, &mid, topic.c_str(), 0, nullptr, kQos, true) ==
                MOSQ_ERR_SUCCESS)
                inFlight.insert(mid);
        }
        // One line per device, however many of its announcements go.
        if (clearedDevices.insert(device).second)
            sink.note("discovery: cleared announcements no longer configured (" + device + ")");
    }

    void onConnect(int rc) {
        if (rc != 0) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                refused = true;
                attempting = false;
                changed.notify_all();
            }
            std::string why = withoutStop(mosquitto_connack_string(rc));
            if (rc == 4 || rc == 5) why += " (check --mqtt-user and --mqtt-password-file)";
            sink.note("refused by the broker: " + why);
            return;
        }
        std::size_t kept = 0, lost = 0;
        {
            std::lock_guard<std::mutex> lock(mutex);
            connected = true;
            awaySinceMs = 0;
            attempting = false;
            // What was in flight when the connection broke is libmosquitto's
            // to send again; it no longer counts against our window.
            inFlight.clear();
            if (sink.discovery_) {
                const Discovery& d = *sink.discovery_;
                mosquitto_subscribe(mosq, nullptr, d.birthTopic().c_str(), kQos);
                if (sweeper) mosquitto_subscribe(mosq, nullptr, d.announcedFilter().c_str(), kQos);
                announceLocked();
            }
            publishStatusLocked();
            kept = queue.size();
            lost = dropped;
            dropped = 0;
            flushLocked();
        }
        sink.note("connected");
        if (kept > 0 || lost > 0) {
            std::cerr << "vedhost: mqtt: data id " << dataId << ": sending " << kept
                      << " kept messages";
            if (lost > 0) std::cerr << ", " << lost << " oldest dropped while the broker was away";
            std::cerr << std::endl;
        }
    }

    void onDisconnect(int rc) {
        bool was = false;
        {
            std::lock_guard<std::mutex> lock(mutex);
            was = connected;
            if (was) awaySinceMs = nowMs();
            connected = false;
            lostNoted = rc != 0 && was;
            changed.notify_all();
        }
        // A connection that never got through is run()'s to report.
        if (rc != 0 && was) sink.note("connection lost: " + withoutStop(mosquitto_strerror(rc)));
    }

    // The connection's thread: connects, then serves the socket until it
    // breaks, and connects again after a back-off of 1 to 30 seconds, until
    // the sink stops. libmosquitto's own thread would give up for good on a
    // failed first connect or TLS handshake.
    void run() {
        const MqttOptions& o = sink.options_;
        auto delay = std::chrono::seconds(1);
        bool open = false;
        while (!sink.stopRequested()) {
            int rc = MOSQ_ERR_SUCCESS;
            std::string why;
            if (!open) {
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    attempting = true;
                }
                if (!reachable(o.host, o.port, std::chrono::seconds(3), why)) {
                    rc = MOSQ_ERR_NO_CONN;
                } else {
                    rc = mosquitto_connect(mosq, o.host.c_str(), o.port, o.keepaliveSeconds);
                    why = reason(rc);
                }
                open = rc == MOSQ_ERR_SUCCESS;
            } else {
                rc = mosquitto_loop(mosq, 200, 1);
                if (rc != MOSQ_ERR_SUCCESS) {
                    open = false;
                    why = reason(rc);
                }
            }
            if (rc == MOSQ_ERR_SUCCESS) {
                std::lock_guard<std::mutex> lock(mutex);
                if (connected) delay = std::chrono::seconds(1);
                continue;
            }
            bool wasRefused = false, wasConnected = false, wasLost = false;
            {
                std::lock_guard<std::mutex> lock(mutex);
                wasRefused = refused;
                refused = false;
                wasLost = lostNoted;
                lostNoted = false;
                wasConnected = connected;
                if (wasConnected) awaySinceMs = nowMs();
                connected = false;
                attempting = false;
                changed.notify_all();
            }
            // A refusal and a lost connection are said where they are seen.
            if (!wasRefused && !wasConnected && !wasLost)
                sink.note("cannot connect: " + why + "; trying again, messages are kept meanwhile");
            if (sink.waitStop(delay)) break;
            delay = std::min(delay * 2, std::chrono::seconds(30));
        }
        if (open) {
            mosquitto_disconnect(mosq);
            for (int i = 0; i < 10 && mosquitto_loop(mosq, 100, 1) == MOSQ_ERR_SUCCESS; ++i) {
            }
        }
    }

    static std::string reason(int rc) {
        if (rc == MOSQ_ERR_ERRNO) return std::strerror(errno);
        std::string why = withoutStop(mosquitto_strerror(rc));
        if (rc == MOSQ_ERR_TLS) why += " (check --mqtt-tls-ca and the broker's certificate)";
        return why;
    }

    void onPublish(int mid) {
        std::lock_guard<std::mutex> lock(mutex);
        inFlight.erase(mid);
        if (mid == statusMid) statusAcked = true;
        flushLocked();
    }

    static Client& of(void* user) { return *static_cast<Client*>(user); }
};

MqttSink::MqttSink(MqttOptions options, const Presentation& presentation, DiscoverySite site)
    : options_(std::move(options)), presentation_(presentation) {
    libraryInit();
    if (!options_.discoveryPrefix.empty())
        discovery_ = std::make_unique<Discovery>(options_.discoveryPrefix, options_.prefix,
                                                 presentation_, std::move(site));
}

MqttSink::~MqttSink() {
    stop();
    for (auto& [id, client] : clients_)
        if (client->mosq != nullptr) mosquitto_destroy(client->mosq);
}

void MqttSink::note(const std::string& text) {
    std::lock_guard<std::mutex> lock(noteMutex_);
    if (text == lastNote_) return;
    lastNote_ = text;
    std::cerr << "vedhost: mqtt " << options_.host << ":" << options_.port << ": " << text
              << std::endl;
}

bool MqttSink::addMeter(unsigned dataId, const std::string& line, int slave, std::string& error) {
    auto client = std::make_unique<Client>(*this, dataId, line, slave);
    mosquitto* m = mosquitto_new(nullptr, true, client.get());
    if (m == nullptr) {
        error = "mqtt: cannot make a client";
        return false;
    }
    client->mosq = m;
    mosquitto_connect_callback_set(
        m, [](mosquitto*, void* user, int rc) { Client::of(user).onConnect(rc); });
    mosquitto_disconnect_callback_set(
        m, [](mosquitto*, void* user, int rc) { Client::of(user).onDisconnect(rc); });
    mosquitto_publish_callback_set(
        m, [](mosquitto*, void* user, int mid) { Client::of(user).onPublish(mid); });
    if (discovery_) {
        mosquitto_message_callback_set(m, [](mosquitto*, void* user, const mosquitto_message* msg) {
            Client::of(user).onMessage(*msg);
        });
        client->announcement = discovery_->announce(dataId);
        for (const DiscoveryMessage& a : client->announcement) announced_.insert(a.topic);
    }
    // Our own thread runs the connection, others publish on it.
    mosquitto_threaded_set(m, true);
    const std::string will = client->base + "/status";
    int rc = mosquitto_will_set(m, will.c_str(), 7, "offline", kQos, true);
    if (rc == MOSQ_ERR_SUCCESS && !options_.user.empty())
        rc = mosquitto_username_pw_set(
            m, options_.user.c_str(),
            options_.password.empty() ? nullptr : options_.password.c_str());
    if (rc == MOSQ_ERR_SUCCESS && !options_.tlsCaFile.empty())
        rc = mosquitto_tls_set(m, options_.tlsCaFile.c_str(), nullptr, nullptr, nullptr, nullptr);
    clients_[dataId] = std::move(client);
    if (rc != MOSQ_ERR_SUCCESS) {
        error = std::string("mqtt: ") + mosquitto_strerror(rc);
        return false;
    }
    return true;
}

std::vector<MqttSink::Health> MqttSink::health() const {
    std::vector<Health> out;
    for (const auto& [id, c] : clients_) {
        std::lock_guard<std::mutex> lock(c->mutex);
        out.push_back({id, c->connected, c->connected ? 0 : c->awaySinceMs, c->queue.size(),
                       c->droppedTotal});
    }
    return out;
}

void MqttSink::setHostValues(HostValues values, std::vector<HostEntity> announced) {
    hostValues_ = std::move(values);
    if (discovery_) discovery_->setEntities(std::move(announced));
}

void MqttSink::start() {
    started_ = true;
    if (!clients_.empty()) clients_.begin()->second->sweeper = true;
    for (auto& [id, client] : clients_) {
        Client* c = client.get();
        c->thread = std::thread([c] { c->run(); });
    }
}

bool MqttSink::stopRequested() {
    std::lock_guard<std::mutex> lock(stopMutex_);
    return stopRequested_;
}

bool MqttSink::waitStop(std::chrono::seconds delay) {
    std::unique_lock<std::mutex> lock(stopMutex_);
    return stopping_.wait_for(lock, delay, [this] { return stopRequested_; });
}

void MqttSink::stop() {
    if (!started_) return;
    started_ = false;
    const auto until = std::chrono::steady_clock::now() + kStopWait;
    std::size_t unsent = 0;
    for (auto& [id, client] : clients_) {
        Client& c = *client;
        std::unique_lock<std::mutex> lock(c.mutex);
        c.online = false;
        if (c.connected) c.statusMid = c.publishStatusLocked();
        c.statusAcked = c.statusMid < 0;
        // Sent: everything queued and the final status acknowledged. A
        // connection still being made is waited for, then sent to.
        c.changed.wait_until(lock, until, [&c] {
            if (!c.connected) return !c.attempting;
            return c.queue.empty() && c.inFlight.empty() && c.statusAcked;
        });
        unsent += c.queue.size() + c.inFlight.size();
    }
    {
        std::lock_guard<std::mutex> lock(stopMutex_);
        stopRequested_ = true;
    }
    stopping_.notify_all();
    for (auto& [id, client] : clients_)
        if (client->thread.joinable()) client->thread.join();
    if (unsent > 0) note(std::to_string(unsent) + " messages not sent");
}

void MqttSink::round(const Round& round) { this->round(round.dataId, round.report); }

void MqttSink::round(unsigned dataId, const Json::Value& report) {
    const auto it = clients_.find(dataId);
    if (it == clients_.end()) return;
    Client& c = *it->second;
    const Json::Value state =
        stateMessage(dataId, timestamp(std::chrono::system_clock::now()), c.line, c.slave, report,
                     presentation_, hostValues_ ? hostValues_(dataId) : Json::Value());
    c.enqueue("state", state);
}

void MqttSink::answering(unsigned dataId, bool answering) {
    const auto it = clients_.find(dataId);
    if (it == clients_.end()) return;
    Client& c = *it->second;
    std::lock_guard<std::mutex> lock(c.mutex);
    if (c.online == answering) return;
    c.online = answering;
    if (c.connected) c.publishStatusLocked();
}

void MqttSink::alarmCheck(unsigned dataId, int level, const std::string& key,
                          const std::string& alarmId, const std::string& valueText,
                          const std::string& message, bool active, unsigned short serial) {
    const auto it = clients_.find(dataId);
    if (it == clients_.end()) return;
    Client& c = *it->second;
    AlarmTracker::Check check;
    {
        std::lock_guard<std::mutex> lock(c.mutex);
        check = c.alarms.check(alarmId, key, valueText, active);
    }
    if (check.news == AlarmTracker::News::None) return;
    Json::Value alarm(Json::objectValue);
    alarm["data_id"] = dataId;
    alarm["time"] = timestamp(std::chrono::system_clock::now());
    alarm["kind"] = "alarm";
    alarm["state"] = active ? "raised" : "cleared";
    alarm["alarm_id"] = alarmId;
    alarm["key"] = key;
    if (check.signal != nullptr) alarm["signal"] = check.signal;
    alarm["level"] = level;
    alarm["value"] = valueText;
    alarm["message"] = message;
    alarm["serial"] = serial;
    c.enqueue("alarm", alarm);
}

void MqttSink::analogReport(unsigned dataId, const std::string& key, float value) {
    const auto it = clients_.find(dataId);
    if (it == clients_.end()) return;
    Json::Value report(Json::objectValue);
    report["data_id"] = dataId;
    report["time"] = timestamp(std::chrono::system_clock::now());
    report["kind"] = "analog";
    report["key"] = key;
    if (const char* id = signalIdOfKey(key)) report["signal"] = id;
    report["value"] = value;
    it->second->enqueue("alarm", report);
}

void MqttSink::clientWrite(unsigned dataId, const Json::Value& audit) {
    const auto it = clients_.find(dataId);
    if (it != clients_.end()) it->second->enqueue("write", audit);
}

}  // namespace vedhost
