// The host's condition as /metrics, the service status and the page say it,
// from states written out by hand.
#include "health/host_health.h"

#include <gtest/gtest.h>

#include <string>

namespace vedhost {
namespace {

HostHealth allWell() {
    HostHealth h;
    h.lines = {{"rtu /dev/ttyUSB0", true, 0, 0, ""}, {"tcp 10.0.0.7:502", true, 2, 0, ""}};
    h.history = HistoryHealth{};
    h.history->stored = 120;
    h.history->bytes = 4096;
    h.history->maxBytes = 128u << 20;
    h.brokers = {{1, true, 0, 0, 0}, {2, true, 0, 0, 0}};
    return h;
}

TEST(HostHealth, StatusNamesWhatIsWrongInAFewWords) {
    struct Case {
        const char* name;
        void (*spoil)(HostHealth&);
        const char* status;  // with 3 meters of which 2 answer
    } cases[] = {
        {"all well", [](HostHealth&) {}, "2 of 3 meters answering"},
        {"history read-only",
         [](HostHealth& h) { h.history->stop = HistoryHealth::Stop::ReadOnly; },
         "2 of 3 meters answering; history read-only"},
        {"disk full", [](HostHealth& h) { h.history->stop = HistoryHealth::Stop::Full; },
         "2 of 3 meters answering; history disk full"},
        {"an I/O error", [](HostHealth& h) { h.history->stop = HistoryHealth::Stop::Failed; },
         "2 of 3 meters answering; history not stored"},
        {"one adapter gone", [](HostHealth& h) { h.lines[0].up = false; },
         "2 of 3 meters answering; adapter gone on rtu /dev/ttyUSB0"},
        // Its meters not answering say it; /metrics has the line down.
        {"a TCP endpoint out of reach", [](HostHealth& h) { h.lines[1].up = false; },
         "2 of 3 meters answering"},
        {"two adapters gone",
         [](HostHealth& h) {
             h.lines[0].up = false;
             h.lines.push_back({"rtu /dev/ttyUSB1", false, 0, 0, ""});
         },
         "2 of 3 meters answering; adapters gone on 2 lines"},
        {"one broker connection away", [](HostHealth& h) { h.brokers[1].connected = false; },
         "2 of 3 meters answering; broker away"},
        {"the clock not set", [](HostHealth& h) { h.clockUnset = true; },
         "2 of 3 meters answering; clock not set"},
        {"everything at once",
         [](HostHealth& h) {
             h.lines[0].up = false;
             h.history->stop = HistoryHealth::Stop::ReadOnly;
             h.brokers[0].connected = false;
         },
         "2 of 3 meters answering; history read-only; adapter gone on rtu /dev/ttyUSB0; broker "
         "away"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HostHealth h = allWell();
        c.spoil(h);
        EXPECT_EQ(healthStatus(h, 3, 2), c.status);
    }
    HostHealth none;
    EXPECT_EQ(healthStatus(none, 1, 1), "1 of 1 meter answering");
}

TEST(HostHealth, MetricsOfAGoneLineAndAHistoryNotWritable) {
    HostHealth h = allWell();
    h.lines[0] = {"rtu /dev/serial/by-id/usb-\"x\"", false, 3, 1796000000000, "Input/output error"};
    h.history->stop = HistoryHealth::Stop::ReadOnly;
    h.history->notStored = 7;
    h.brokers[1] = {2, false, 1796000000000, 12, 5};
    h.clockSteps = 2;
    const std::string text = healthMetrics(h);
    for (const char* line : {
             "# TYPE ved96_line_up gauge\n",
             "ved96_line_up{line=\"rtu /dev/serial/by-id/usb-\\\"x\\\"\"} 0\n",
             "ved96_line_up{line=\"tcp 10.0.0.7:502\"} 1\n",
             "# TYPE ved96_line_reopens_total counter\n",
             "ved96_line_reopens_total{line=\"tcp 10.0.0.7:502\"} 2\n",
             "ved96_history_writable 0\n",
             "ved96_history_rounds_stored_total 120\n",
             "ved96_history_rounds_not_stored_total 7\n",
             "ved96_history_size_bytes 4096\n",
             "ved96_history_size_limit_bytes 134217728\n",
             "ved96_clock_steps_total 2\n",
             "ved96_mqtt_connected{meter=\"2\"} 0\n",
             "ved96_mqtt_queue_messages{meter=\"2\"} 12\n",
             "ved96_mqtt_dropped_messages_total{meter=\"2\"} 5\n",
         })
        EXPECT_NE(text.find(line), std::string::npos) << line << "\nin\n" << text;
    // Every family has its HELP and TYPE once, before its samples.
    for (const char* name : {"ved96_line_up", "ved96_history_writable", "ved96_mqtt_connected"}) {
        const std::string help = std::string("# HELP ") + name + " ";
        EXPECT_EQ(text.find(help), text.rfind(help)) << name;
        EXPECT_LT(text.find(help), text.find(std::string(name) + (name[6] == 'l' ? "{" : " ")));
    }
    // Without a history or MQTT, none of their families.
    HostHealth bare;
    bare.lines = {{"tcp 10.0.0.7:502", true, 0, 0, ""}};
    const std::string few = healthMetrics(bare);
    EXPECT_EQ(few.find("ved96_history_"), std::string::npos);
    EXPECT_EQ(few.find("ved96_mqtt_"), std::string::npos);
    EXPECT_NE(few.find("ved96_clock_steps_total 0\n"), std::string::npos);
}

TEST(HostHealth, TheProblemsThePageShows) {
    HostHealth h = allWell();
    EXPECT_EQ(healthJson(h)["problems"].size(), 0u);
    h.lines[0].up = false;
    h.lines[0].goneAtMs = 1796000000000;
    h.lines[0].error = "Input/output error";
    h.history->stop = HistoryHealth::Stop::Full;
    h.history->stoppedAtMs = 1796000060000;
    h.history->error = "database or disk is full";
    h.brokers[0] = {1, false, 1796000120000, 4, 1};
    const Json::Value j = healthJson(h);
    ASSERT_EQ(j["problems"].size(), 3u);
    const Json::Value& p = j["problems"];
    EXPECT_EQ(p[0]["text"].asString().rfind("adapter gone on rtu /dev/ttyUSB0 since ", 0), 0u);
    EXPECT_NE(p[0]["text"].asString().find("(Input/output error)"), std::string::npos);
    EXPECT_EQ(p[0]["since"].asInt64(), 1796000000);
    EXPECT_EQ(p[1]["text"].asString().rfind("history disk full since ", 0), 0u);
    EXPECT_EQ(p[1]["since"].asInt64(), 1796000060);
    EXPECT_EQ(p[2]["text"].asString().rfind("broker away since ", 0), 0u);
    EXPECT_NE(p[2]["text"].asString().find("(4 messages kept, 1 dropped)"), std::string::npos);
    EXPECT_FALSE(j["store"]["storing"].asBool());
    EXPECT_EQ(j["lines"][0]["up"], false);
    EXPECT_EQ(j["mqtt"][0]["queued"].asUInt(), 4u);
}

}  // namespace
}  // namespace vedhost
