// The MQTT sink against a real mosquitto on loopback, with a libmosquitto
// subscriber: the retained status and the last will, the messages kept while
// the broker is away (delivered once and in order when it is back, the oldest
// dropped and counted beyond the queue's limit), stop() sending what is
// queued while the broker answers and giving up in bounded time when it does
// not, and which alarm checks become messages. Every wait is for a condition
// with a deadline.
#include "mqtt/mqtt_sink.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <json/reader.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "mqtt_broker.h"

namespace {

using namespace e2e;
using vedhost::MqttOptions;
using vedhost::MqttSink;

const std::string kStatus = "ved96/1/status";
const std::string kAlarm = "ved96/1/alarm";
const std::string kVa = "A相电压";  // the report's phase A voltage

// Set where sanitizers are linked in: where their reports are written.
extern "C" void __sanitizer_set_report_fd(void* fd) __attribute__((weak));

// What the process writes on stderr goes to a file while the test runs, so
// that the sink's lines can be waited for and read; it is copied to the real
// stderr at the end, and a sanitizer's report goes there at once.
class StderrFile {
  public:
    explicit StderrFile(const Scratch& dir) : path_(dir / "stderr.txt") {
        std::fflush(stderr);
        saved_ = dup(2);
        reportTo(saved_);
        const int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
        dup2(fd, 2);
        close(fd);
    }
    ~StderrFile() {
        std::fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
        reportTo(2);
        std::cerr << text();
    }
    StderrFile(const StderrFile&) = delete;
    StderrFile& operator=(const StderrFile&) = delete;

    std::string text() const { return readText(path_); }
    bool waitFor(const std::string& what, std::size_t count = 1) const {
        return eventually([&] { return countOf(text(), what) >= count; }, kDeadline);
    }

  private:
    static void reportTo(int fd) {
        if (__sanitizer_set_report_fd != nullptr)
            __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<std::intptr_t>(fd)));
    }

  private:
    std::string path_;
    int saved_ = -1;
};

class MqttSinkTest : public ::testing::Test {
  protected:
    // A sink with meter 1 on the broker at `port`, started.
    std::unique_ptr<MqttSink> startedSink(int port, std::size_t queueLimit = 1000) {
        MqttOptions o;
        o.host = "127.0.0.1";
        o.port = port;
        o.queueLimit = queueLimit;
        auto sink = std::make_unique<MqttSink>(o, presentation_);
        std::string error;
        EXPECT_TRUE(sink->addMeter(1, "tcp 127.0.0.1:502", 1, error)) << error;
        sink->start();
        return sink;
    }
    std::string notSent(int port, int count) const {
        return "vedhost: mqtt 127.0.0.1:" + std::to_string(port) + ": " + std::to_string(count) +
               " messages not sent\n";
    }

    Scratch dir_;
    const vedhost::Presentation presentation_;
    Broker broker_{dir_};  // started by each test that wants it
    StderrFile err_{dir_};
};

// The n-th message of a series through the sink's queue: odd ones analog
// reports, even ones alarms raised (each under an alarm id of its own, so
// each is news).
void sendNumbered(MqttSink& sink, int n) {
    if (n % 2 != 0)
        sink.analogReport(1, kVa, static_cast<float>(n));
    else
        sink.alarmCheck(1, 2, kVa, "A" + std::to_string(n), "2561", "over voltage", true,
                        static_cast<unsigned short>(n));
}

// How a numbered message reads back: "analog 3", "raised A4".
std::string numbered(int n) {
    return n % 2 != 0 ? "analog " + std::to_string(n) : "raised A" + std::to_string(n);
}

std::vector<std::string> numberedFrom(int first, int last) {
    std::vector<std::string> out;
    for (int n = first; n <= last; ++n) out.push_back(numbered(n));
    return out;
}

// The messages on meter 1's alarm topic, read back as numbered() writes them.
std::vector<std::string> alarmTopic(Subscriber& s) {
    std::vector<std::string> out;
    for (const Message& m : s.messages(kAlarm)) {
        const Json::Value a = parseJson(m.payload);
        if (a["kind"] == "analog")
            out.push_back("analog " + std::to_string(a["value"].asInt()));
        else
            out.push_back(a["state"].asString() + " " + a["alarm_id"].asString());
    }
    return out;
}

// A message with its local time ("2024-03-07T09:05:02.123") written as T.
std::string withoutTime(std::string payload) {
    const std::string member = "\"time\":\"";
    const auto at = payload.find(member);
    if (at == std::string::npos) return payload;
    const std::size_t length = std::string("2024-03-07T09:05:02.123").size();
    const auto end = payload.find('"', at + member.size());
    if (end != at + member.size() + length) return payload;
    return payload.replace(at + member.size() - 1, length + 2, "T");
}

std::vector<std::string> payloads(Subscriber& s, const std::string& topic) {
    std::vector<std::string> out;
    for (const Message& m : s.messages(topic)) out.push_back(m.payload);
    return out;
}

// What a subscriber that comes now is given: the status, retained.
void expectRetainedStatus(int port, const std::string& status) {
    Subscriber late(port, false);
    ASSERT_TRUE(late.waitFor(kStatus, status));
    EXPECT_TRUE(late.messages(kStatus)[0].retained);
}

// --- The status ----------------------------------------------------------------

TEST_F(MqttSinkTest, StatusIsRetainedAndFollowsTheMeter) {
    broker_.start();
    Subscriber live(broker_.port(), false);
    auto sink = startedSink(broker_.port());
    // Connected before the meter first answered: offline.
    ASSERT_TRUE(live.waitFor(kStatus, "offline")) << err_.text();
    sink->answering(1, true);
    sink->answering(1, true);  // no change, nothing sent
    ASSERT_TRUE(live.waitFor(kStatus, "online")) << err_.text();
    expectRetainedStatus(broker_.port(), "online");
    sink->answering(1, false);
    ASSERT_TRUE(live.waitFor(kStatus, "offline", 2));
    sink->answering(1, true);
    sink->answering(9, false);  // not a meter of the sink
    ASSERT_TRUE(live.waitFor(kStatus, "online", 2));
    sink->stop();
    ASSERT_TRUE(live.settle("ved96/settled"));
    EXPECT_EQ(payloads(live, kStatus),
              (std::vector<std::string>{"offline", "online", "offline", "online", "offline"}));
    EXPECT_TRUE(live.messages("ved96/9/status").empty());
    EXPECT_EQ(countOf(err_.text(), "messages not sent"), 0u) << err_.text();
    expectRetainedStatus(broker_.port(), "offline");
}

// The will is the broker's to send: the sink runs in a process of its own
// that is killed, so it can say nothing more.
TEST_F(MqttSinkTest, LastWillLeavesOfflineWhenTheHostDies) {
    broker_.start();
    // Forked before this process has threads of its own; the child starts
    // the sink's.
    const pid_t host = fork();
    ASSERT_GE(host, 0);
    if (host == 0) {
        auto sink = startedSink(broker_.port());
        sink->answering(1, true);
        for (;;) pause();
    }
    struct Reaped {
        pid_t pid;
        ~Reaped() {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    } reaped{host};

    Subscriber live(broker_.port(), false);
    ASSERT_TRUE(live.waitFor(kStatus, "online"));
    // The subscriber may have come in time for the status of the connect.
    const std::vector<std::string> before = payloads(live, kStatus);
    kill(host, SIGKILL);
    ASSERT_TRUE(
        live.waitFor(kStatus, "offline", 1 + std::count(before.begin(), before.end(), "offline")));
    expectRetainedStatus(broker_.port(), "offline");
}

// --- The broker goes away ------------------------------------------------------

TEST_F(MqttSinkTest, KeptMessagesGoOnceInOrderWhenTheBrokerIsBack) {
    broker_.start();
    // Durable: what the sink sends on reconnecting waits for the subscriber
    // on the restarted broker, however late it is back itself.
    auto durable = std::make_unique<Subscriber>(broker_.port(), true);
    // More kept than libmosquitto takes in flight at once (20), so the rest
    // follow as the broker acknowledges.
    constexpr int kLimit = 25, kSent = 32;
    auto sink = startedSink(broker_.port(), kLimit);
    ASSERT_TRUE(durable->waitFor(kStatus, "offline")) << err_.text();

    broker_.stop();
    ASSERT_TRUE(err_.waitFor("connection lost")) << err_.text();
    for (int n = 1; n <= kSent; ++n) sendNumbered(*sink, n);
    broker_.start();
    ASSERT_TRUE(err_.waitFor("connected\n", 2)) << err_.text();
    ASSERT_TRUE(durable->subscribedTimes(2));
    sink->stop();  // returns once the broker has acknowledged everything
    ASSERT_TRUE(durable->settle("ved96/settled"));

    const std::string text = err_.text();
    EXPECT_NE(text.find("vedhost: mqtt: data id 1: sending 25 kept messages, 7 oldest dropped "
                        "while the broker was away\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(countOf(text, "connection lost"), 1u) << text;
    // The loss is said once: not again as a connection that failed.
    EXPECT_EQ(countOf(text, "cannot connect: The connection was lost"), 0u) << text;
    EXPECT_EQ(countOf(text, "messages not sent"), 0u) << text;
    // The newest kLimit, each once, in the order they were sent.
    EXPECT_EQ(alarmTopic(*durable), numberedFrom(kSent - kLimit + 1, kSent));
}

// --- Stopping ------------------------------------------------------------------

TEST_F(MqttSinkTest, StopSendsWhatIsQueuedWhileTheBrokerAnswers) {
    broker_.start();
    Subscriber live(broker_.port(), false);
    auto sink = startedSink(broker_.port());
    // At once: the first are queued before the connection is made, and more
    // than libmosquitto takes in flight at once.
    constexpr int kSent = 60;
    for (int n = 1; n <= kSent; ++n) sendNumbered(*sink, n);
    sink->stop();
    EXPECT_EQ(countOf(err_.text(), "messages not sent"), 0u) << err_.text();
    ASSERT_TRUE(live.settle("ved96/settled"));
    EXPECT_EQ(alarmTopic(live), numberedFrom(1, kSent));
    // "offline" on connecting, and once more when stop() finds the
    // connection made; never anything else, as the meter never answered.
    const std::vector<std::string> status = payloads(live, kStatus);
    ASSERT_FALSE(status.empty());
    EXPECT_EQ(std::count(status.begin(), status.end(), "offline"), std::ptrdiff_t(status.size()));
}

// Stopping waits a few seconds at most for a broker that takes what is sent
// and never acknowledges it, then says how much went unsent.
TEST_F(MqttSinkTest, StopGivesUpOnABrokerThatDoesNotAnswer) {
    constexpr int kSent = 3;
    const auto limit = std::chrono::seconds(20);  // the sink's own wait is 5 s
    {
        SCOPED_TRACE("the broker stops answering once connected");
        broker_.start();
        auto sink = startedSink(broker_.port());
        ASSERT_TRUE(err_.waitFor("connected\n")) << err_.text();
        broker_.hold();
        for (int n = 1; n <= kSent; ++n) sendNumbered(*sink, n);
        const auto from = std::chrono::steady_clock::now();
        sink->stop();
        EXPECT_LT(std::chrono::steady_clock::now() - from, limit);
        EXPECT_EQ(countOf(err_.text(), notSent(broker_.port(), kSent)), 1u) << err_.text();
        broker_.resume();
    }
    {
        SCOPED_TRACE("a listener that never answers the connect");
        const int port = freePort();
        const int listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(port));
        ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        ASSERT_EQ(listen(listener, 4), 0);
        auto sink = startedSink(port);
        for (int n = 1; n <= kSent; ++n) sendNumbered(*sink, n);
        const auto from = std::chrono::steady_clock::now();
        sink->stop();
        EXPECT_LT(std::chrono::steady_clock::now() - from, limit);
        EXPECT_EQ(countOf(err_.text(), notSent(port, kSent)), 1u) << err_.text();
        sink.reset();
        close(listener);
    }
}

// --- Alarms --------------------------------------------------------------------

// The device reports every alarm it evaluates in every round; only a change
// becomes a message, and the message names the signal.
TEST_F(MqttSinkTest, AlarmMessagesOnlyForNews) {
    broker_.start();
    Subscriber live(broker_.port(), false);
    auto sink = startedSink(broker_.port());
    struct Check {
        const char* alarmId;
        const char* key;
        const char* valueText;
        bool active;
    };
    const Check checks[] = {
        {"A01", "A相电压", "2561", false},  // first seen inactive: never raised
        {"A01", "A相电压", "2561", true},   // raised
        {"A01", "A相电压", "2570", true},   // still raised
        {"A01", "B相电压", "2562", true},   // another key under the same id
        {"A01", "A相电压", "2300", false},  // cleared
        {"A01", "A相电压", "2300", false},  // still clear
        // The meter's own alarm: named by the report member in its value text.
        {"0400101", "0400101", "A相过压告警", true},
        {"T1", "no such member", "1", true},  // no signal to name
    };
    unsigned short serial = 0;
    for (const Check& c : checks)
        sink->alarmCheck(1, 2, c.key, c.alarmId, c.valueText, "limit", c.active, ++serial);
    sink->alarmCheck(9, 2, kVa, "A01", "2561", "limit", true, 1);  // not a meter of the sink
    sink->analogReport(1, kVa, 230.5f);
    sink->stop();
    ASSERT_TRUE(live.settle("ved96/settled"));

    // Written by hand from the message's members; the time is each one's own.
    const std::vector<std::string> expected = {
        R"({"alarm_id":"A01","data_id":1,"key":"A相电压","kind":"alarm","level":2,)"
        R"("message":"limit","serial":2,"signal":"phase_voltage_a","state":"raised","time":T,)"
        R"("value":"2561"})",
        R"({"alarm_id":"A01","data_id":1,"key":"B相电压","kind":"alarm","level":2,)"
        R"("message":"limit","serial":4,"signal":"phase_voltage_b","state":"raised","time":T,)"
        R"("value":"2562"})",
        R"({"alarm_id":"A01","data_id":1,"key":"A相电压","kind":"alarm","level":2,)"
        R"("message":"limit","serial":5,"signal":"phase_voltage_a","state":"cleared","time":T,)"
        R"("value":"2300"})",
        R"({"alarm_id":"0400101","data_id":1,"key":"0400101","kind":"alarm","level":2,)"
        R"("message":"limit","serial":7,"signal":"alarm_a_over_voltage","state":"raised",)"
        R"("time":T,"value":"A相过压告警"})",
        R"({"alarm_id":"T1","data_id":1,"key":"no such member","kind":"alarm","level":2,)"
        R"("message":"limit","serial":8,"state":"raised","time":T,"value":"1"})",
        R"({"data_id":1,"key":"A相电压","kind":"analog","signal":"phase_voltage_a","time":T,)"
        R"("value":230.5})",
    };
    std::vector<std::string> got;
    for (const std::string& p : payloads(live, kAlarm)) got.push_back(withoutTime(p));
    EXPECT_EQ(got, expected);
    EXPECT_TRUE(live.messages("ved96/9/alarm").empty());
}

}  // namespace
