// A real mosquitto broker for tests, on a free loopback port with its own
// configuration in a scratch directory, and a libmosquitto subscriber to it.
// Every wait is for a condition, with a generous deadline, so the tests that
// use them hold under sanitizers and emulation.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "processes.h"

namespace e2e {

inline constexpr auto kDeadline = 30000ms;

inline int freePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}

inline bool accepts(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

// True once the process is stopped by a signal (its state in /proc is "T").
inline bool stoppedBySignal(pid_t pid) {
    const std::string stat = readText("/proc/" + std::to_string(pid) + "/stat");
    const auto end = stat.rfind(')');
    return end != std::string::npos && end + 2 < stat.size() && stat[end + 2] == 'T';
}

// The real broker, on a port of its own, keeping its sessions in the scratch
// directory so that a restart finds a durable subscriber's queue again.
class Broker {
  public:
    // Anonymous clients are let in unless `extraConfig` says otherwise.
    Broker(const Scratch& dir, std::string extraConfig = "allow_anonymous true\n")
        : dir_(dir), port_(freePort()), extra_(std::move(extraConfig)) {}

    int port() const { return port_; }
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }

    void start() {
        const std::string config =
            dir_.write("mosquitto.conf", "listener " + std::to_string(port_) +
                                             " 127.0.0.1\n"
                                             "persistence true\npersistence_location " +
                                             dir_.path().string() + "/\n" +
                                             (getuid() == 0 ? "user root\n" : "") + extra_);
        child_ = std::make_unique<Child>(
            std::vector<std::string>{env("MOSQUITTO", "/usr/sbin/mosquitto"), "-c", config},
            dir_ / "broker.out", dir_ / "broker.err", dir_.path().string());
        ASSERT_TRUE(eventually([&] { return accepts(port_); }, kDeadline))
            << readText(dir_ / "broker.err");
    }
    // A clean stop: the broker saves its sessions and queued messages.
    void stop() {
        child_->signal(SIGTERM);
        ASSERT_TRUE(child_->wait(kDeadline).has_value());
    }
    // The broker keeps its connections but answers nothing until resumed.
    void hold() {
        child_->signal(SIGSTOP);
        ASSERT_TRUE(eventually([&] { return stoppedBySignal(child_->pid()); }, kDeadline));
    }
    void resume() { child_->signal(SIGCONT); }

  private:
    const Scratch& dir_;
    int port_;
    std::string extra_;
    std::unique_ptr<Child> child_;
};

struct Message {
    std::string topic;
    std::string payload;
    bool retained;
};

// A subscriber to PREFIX/#, with QoS 1. A durable one keeps its session on
// the broker, so that what is published while it is away waits for it.
class Subscriber {
  public:
    Subscriber(int port, bool durable, const std::string& user = "",
               const std::string& password = "", std::string filter = "ved96/#")
        : filter_(std::move(filter)) {
        static const int init = mosquitto_lib_init();
        (void)init;
        const std::string id = "e2e-sub-" + std::to_string(getpid()) + "-" + std::to_string(port);
        mosq_ = mosquitto_new(durable ? id.c_str() : nullptr, !durable, this);
        if (!user.empty()) mosquitto_username_pw_set(mosq_, user.c_str(), password.c_str());
        mosquitto_reconnect_delay_set(mosq_, 1, 1, false);
        mosquitto_connect_callback_set(mosq_, [](mosquitto* m, void* self, int rc) {
            if (rc == 0)
                mosquitto_subscribe(m, nullptr, static_cast<Subscriber*>(self)->filter_.c_str(), 1);
        });
        mosquitto_subscribe_callback_set(mosq_, [](mosquitto*, void* self, int, int, const int*) {
            ++static_cast<Subscriber*>(self)->subscribed_;
        });
        mosquitto_message_callback_set(
            mosq_, [](mosquitto*, void* self, const mosquitto_message* m) {
                auto* s = static_cast<Subscriber*>(self);
                std::lock_guard<std::mutex> lock(s->mutex_);
                s->messages_.push_back({m->topic,
                                        std::string(static_cast<const char*>(m->payload),
                                                    static_cast<std::size_t>(m->payloadlen)),
                                        m->retain});
            });
        EXPECT_EQ(mosquitto_connect(mosq_, "127.0.0.1", port, 30), MOSQ_ERR_SUCCESS);
        mosquitto_loop_start(mosq_);
        EXPECT_TRUE(subscribedTimes(1));
    }
    ~Subscriber() {
        mosquitto_disconnect(mosq_);
        mosquitto_loop_stop(mosq_, false);
        mosquitto_destroy(mosq_);
    }

    std::vector<Message> messages(const std::string& topic = "") {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<Message> out;
        for (const auto& m : messages_)
            if (topic.empty() || m.topic == topic) out.push_back(m);
        return out;
    }
    void publish(const std::string& topic, const std::string& payload, bool retain) {
        EXPECT_EQ(mosquitto_publish(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                                    payload.data(), 1, retain),
                  MOSQ_ERR_SUCCESS);
    }
    // Waits until everything the broker sent before now has arrived: the
    // broker answers in order, so a message of our own published now comes
    // after the retained messages of the subscription.
    bool settle(const std::string& marker) {
        publish(marker, "settled", false);
        return waitFor(marker, "settled");
    }
    // Waits until the subscription has been made `n` times: once at the
    // start and once more each time the subscriber has connected again.
    bool subscribedTimes(int n) {
        return eventually([this, n] { return subscribed_.load() >= n; }, kDeadline);
    }
    // Waits for a message on `topic` with `payload` (any payload when empty).
    bool waitFor(const std::string& topic, const std::string& payload = "", std::size_t count = 1) {
        return eventually(
            [&] {
                std::size_t n = 0;
                for (const auto& m : messages(topic)) n += payload.empty() || m.payload == payload;
                return n >= count;
            },
            kDeadline);
    }

  private:
    std::string filter_;
    mosquitto* mosq_ = nullptr;
    std::mutex mutex_;
    std::vector<Message> messages_;
    std::atomic<int> subscribed_{0};
};

}  // namespace e2e
