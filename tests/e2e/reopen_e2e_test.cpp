// A USB-RS485 adapter as a field engineer meets it: unplugged and plugged
// back, missing when the host starts, and wanted by a second host. The
// adapter is the simulator's pseudo-terminal behind a symbolic link, as
// /dev/serial/by-id/... is to a USB adapter: unplugging it removes the link
// and stops the simulator; plugging it back starts a new one, on a new
// pseudo-terminal, and points the link at it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "../support/http_client.h"
#include "mqtt_broker.h"
#include "processes.h"

using namespace e2e;
using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

class ReopenE2E : public ::testing::Test {
  protected:
    // A simulator on a new pseudo-terminal, with the adapter's link pointed at it.
    void plugIn() {
        const std::string name = "sim" + std::to_string(sims_.size());
        sims_.push_back(std::make_unique<Child>(
            std::vector<std::string>{env("VED96_SIM", VED96_SIM_PATH), "--pty"},
            dir_ / (name + ".out"), dir_ / (name + ".err"), dir_.path().string()));
        std::string pty;
        ASSERT_TRUE(eventually([&] {
            const auto lines = readLines(dir_ / (name + ".out"));
            if (lines.empty()) return false;
            pty = lines[0].substr(lines[0].find(' ') + 1);
            return true;
        })) << readText(dir_ / (name + ".err"));
        std::filesystem::remove(adapter_);
        std::filesystem::create_symlink(pty, adapter_);
    }
    // The link gone, the simulator stopped: its pseudo-terminal hangs up.
    void unplug() {
        std::filesystem::remove(adapter_);
        sims_.back()->signal(SIGTERM);
        ASSERT_TRUE(sims_.back()->wait(20000ms).has_value());
    }

    std::unique_ptr<Child> startHost(const std::string& name, std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {env("VEDHOST", VEDHOST_PATH),
                                         "--rtu",
                                         adapter_,
                                         "--interval",
                                         "0.2",
                                         "--timeout-ms",
                                         "300",
                                         "--plugin-log",
                                         "/dev/null"};
        args.insert(args.end(), extra.begin(), extra.end());
        return std::make_unique<Child>(args, dir_ / (name + ".out"), dir_ / (name + ".err"),
                                       dir_.path().string());
    }
    std::size_t reports() { return readLines(dir_ / "report.jsonl").size(); }
    std::string err(const std::string& name = "host") { return readText(dir_ / (name + ".err")); }

    Scratch dir_;
    std::string adapter_ = dir_ / "ttyUSB0";
    std::vector<std::unique_ptr<Child>> sims_;
};

// The port the host's web view listens on, from its console line.
int webPort(const std::string& err) {
    const std::string mark = "web view on http://127.0.0.1:";
    const auto at = err.find(mark);
    return at == std::string::npos ? 0 : std::stoi(err.substr(at + mark.size()));
}

TEST_F(ReopenE2E, AnAdapterUnpluggedAndPluggedBackIsOpenedAgain) {
    Broker broker(dir_);
    broker.start();
    Subscriber subscriber(broker.port(), false);
    plugIn();
    auto host =
        startHost("host", {"--report", dir_ / "report.jsonl", "--events", dir_ / "events.jsonl",
                           "--mqtt", broker.address(), "--http", "127.0.0.1:0"});
    ASSERT_TRUE(eventually([&] { return reports() >= 6; }, 30000ms)) << err();
    ASSERT_TRUE(subscriber.waitFor("ved96/1/status", "online")) << err();
    const int port = webPort(err());
    ASSERT_GT(port, 0) << err();
    const std::string line = "rtu " + adapter_;

    const auto unplugged = Clock::now();
    unplug();
    ASSERT_TRUE(eventually(
        [&] { return err().find(line + ": adapter gone: ") != std::string::npos; }, 30000ms))
        << err();
    // Gone, and seen to be: MQTT, /metrics and the page's problems say so.
    EXPECT_TRUE(subscriber.waitFor("ved96/1/status", "offline")) << err();
    std::string metrics;
    EXPECT_TRUE(eventually(
        [&] {
            metrics = testhttp::get(port, "/metrics").body;
            return metrics.find("ved96_line_up{line=\"" + line + "\"} 0\n") != std::string::npos;
        },
        10000ms))
        << metrics;
    // Prometheus takes the host's families as they are while a line is gone.
    const std::string file = dir_.write("metrics.txt", metrics);
    EXPECT_EQ(std::system((env("PROMTOOL", "promtool") + " check metrics < " + file + " >" +
                           (dir_ / "promtool.out") + " 2>&1")
                              .c_str()),
              0)
        << readText(dir_ / "promtool.out");
    std::printf("/metrics with the adapter gone:\n");
    for (const auto& l : readLines(file))
        if (l.rfind("ved96_line_up", 0) == 0 || l.rfind("ved96_line_reopens", 0) == 0 ||
            l.rfind("ved96_mqtt_", 0) == 0 || l.rfind("ved96_meter_up", 0) == 0)
            std::printf("  %s\n", l.c_str());
    const std::string problems = testhttp::get(port, "/api/health").body;
    EXPECT_NE(problems.find("adapter gone on " + line + " since "), std::string::npos) << problems;
    // A few attempts find nothing at the link.
    std::this_thread::sleep_for(4s);
    const std::size_t before = reports();

    plugIn();
    const auto back = Clock::now();
    ASSERT_TRUE(eventually([&] { return reports() > before; }, 40000ms)) << err();
    const auto resumed = Clock::now();
    // The next attempt came within the wait then due (it doubles from 1 s:
    // never more than the time the adapter was away), and a round after it.
    const auto away = back - unplugged;
    EXPECT_LT(resumed - back, away + 2s)
        << std::chrono::duration_cast<std::chrono::milliseconds>(resumed - back).count() << " ms";
    EXPECT_TRUE(subscriber.waitFor("ved96/1/status", "online", 2)) << err();
    EXPECT_TRUE(eventually(
        [&] {
            metrics = testhttp::get(port, "/metrics").body;
            return metrics.find("ved96_line_up{line=\"" + line + "\"} 1\n") != std::string::npos;
        },
        10000ms))
        << metrics;
    EXPECT_NE(metrics.find("ved96_line_reopens_total{line=\"" + line + "\"} 1\n"),
              std::string::npos)
        << metrics;

    host->signal(SIGTERM);
    EXPECT_EQ(host->wait(30000ms), 0) << err();
    const std::string text = err();
    EXPECT_EQ(countOf(text, ": adapter gone: "), 1u) << text;
    EXPECT_EQ(countOf(text, ": adapter back after "), 1u) << text;
    // The event log: offline, the attempts to open it, online.
    std::vector<std::string> timeline;
    for (const std::string& e : readLines(dir_ / "events.jsonl")) {
        const Json::Value event = parseJson(e);
        const std::string name = event["event"].asString();
        if (name == "MeterStatus")
            timeline.push_back(event["time"].asString() + " " + event["status"].asString());
        else if (name == "ModbusError" && event["error"].asString().rfind("cannot open", 0) == 0)
            timeline.push_back(event["time"].asString() + " attempt: " + event["error"].asString());
    }
    std::printf("timeline:\n");
    for (const auto& t : timeline) std::printf("  %s\n", t.c_str());
    std::printf("%s", text.c_str());
    ASSERT_GE(timeline.size(), 4u);
    EXPECT_NE(timeline[0].find(" online"), std::string::npos);
    EXPECT_NE(timeline[1].find(" offline"), std::string::npos);
    EXPECT_NE(timeline[2].find(" attempt: cannot open " + line), std::string::npos);
    EXPECT_NE(timeline.back().find(" online"), std::string::npos);
}

TEST_F(ReopenE2E, AnAdapterMissingAtStartIsOpenedOnceItIsThere) {
    auto host = startHost("host", {"--report", dir_ / "report.jsonl"});
    ASSERT_TRUE(eventually(
        [&] { return err().find("cannot open rtu " + adapter_ + ": ") != std::string::npos; },
        30000ms))
        << err();
    std::this_thread::sleep_for(2s);
    EXPECT_TRUE(host->running()) << err();
    plugIn();
    EXPECT_TRUE(eventually([&] { return reports() >= 3; }, 40000ms)) << err();
    host->signal(SIGTERM);
    EXPECT_EQ(host->wait(30000ms), 0) << err();
    EXPECT_EQ(countOf(err(), ": adapter back after "), 1u) << err();
}

TEST_F(ReopenE2E, ASecondHostOnTheSameAdapterIsRefused) {
    plugIn();
    auto first = startHost("first", {"--report", dir_ / "report.jsonl"});
    ASSERT_TRUE(eventually([&] { return reports() >= 2; }, 30000ms)) << err("first");
    auto second = startHost("second");
    EXPECT_EQ(second->wait(30000ms), 2) << err("second");
    const std::string said = err("second");
    EXPECT_EQ(countOf(said, "\n"), 1u) << said;
    EXPECT_NE(said.find("is held by process " + std::to_string(first->pid()) + " (vedhost)"),
              std::string::npos)
        << said;
    // The first goes on polling, untouched.
    const std::size_t now = reports();
    EXPECT_TRUE(eventually([&] { return reports() >= now + 3; }, 30000ms)) << err("first");
    EXPECT_EQ(err("first").find("adapter gone"), std::string::npos) << err("first");
}

}  // namespace
