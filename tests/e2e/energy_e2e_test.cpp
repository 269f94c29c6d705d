// The energy ledger end to end: the real host polling the simulator over
// loopback TCP, its forward active energy register started near the top
// of its range and its time run twenty times as fast, so that it wraps
// within seconds while power flows; then the simulator is replaced by one
// whose register reads 0.3, as a swapped meter does. The page's API, the
// MQTT state Home Assistant reads (from a real mosquitto), /metrics through
// promtool and the history's audit are checked across both, and across a
// restart of the host.
#include <gtest/gtest.h>

#include <memory>

#include "../support/http_client.h"
#include "mqtt_broker.h"
#include "processes.h"

namespace {

using namespace e2e;

class EnergyE2E : public ::testing::Test {
  protected:
    // The simulator on the test's own port, its register starting at `raw`.
    void startSim(const std::string& raw) {
        const std::string out = dir_ / ("sim" + std::to_string(++sims_) + ".out");
        sim_ = std::make_unique<Child>(
            std::vector<std::string>{env("VED96_SIM", VED96_SIM_PATH), "--tcp",
                                     "127.0.0.1:" + std::to_string(simPort_), "--energy-start", raw,
                                     "--speed", "20"},
            out, dir_ / "sim.err", dir_.path().string());
        ASSERT_TRUE(eventually([&] { return !readLines(out).empty(); }, kDeadline))
            << readText(dir_ / "sim.err");
    }

    Child& startHost(const std::vector<std::string>& extra) {
        std::vector<std::string> args = {env("VEDHOST", VEDHOST_PATH),
                                         "--tcp",
                                         "127.0.0.1:" + std::to_string(simPort_),
                                         "--energy",
                                         "--history",
                                         dir_ / "history.db",
                                         "--history-commit-seconds",
                                         "0.5",
                                         "--interval",
                                         "0.2",
                                         "--plugin-log",
                                         dir_ / "plugin.log"};
        args.insert(args.end(), extra.begin(), extra.end());
        hosts_.push_back(std::make_unique<Child>(
            args, dir_ / "host.out", dir_ / ("host" + std::to_string(hosts_.size()) + ".err"),
            dir_.path().string()));
        return *hosts_.back();
    }
    std::string hostErr(std::size_t n = 0) {
        return readText(dir_ / ("host" + std::to_string(n) + ".err"));
    }
    int webPort() {
        int port = 0;
        const std::string mark = "web view on http://127.0.0.1:";
        EXPECT_TRUE(eventually(
            [&] {
                const std::string err = hostErr();
                const auto at = err.find(mark);
                if (at == std::string::npos || err.find("/\n", at) == std::string::npos)
                    return false;
                port = std::stoi(err.substr(at + mark.size()));
                return true;
            },
            kDeadline))
            << hostErr();
        return port;
    }
    Json::Value values(int port) {
        const testhttp::Response r = testhttp::get(port, "/api/meters/1");
        return r.status == 200 ? parseJson(r.body)["values"] : Json::Value();
    }
    int run(const std::vector<std::string>& argv, std::string& out) {
        Child c(argv, dir_ / "run.out", dir_ / "run.err", dir_.path().string());
        const auto code = c.wait(kDeadline);
        out = readText(dir_ / "run.out");
        return code.value_or(-1);
    }

    Scratch dir_;
    int simPort_ = freePort();
    int sims_ = 0;
    std::unique_ptr<Child> sim_;
    std::vector<std::unique_ptr<Child>> hosts_;
};

TEST_F(EnergyE2E, AWrapAndASwapWithTheTotalNeverLower) {
    Broker broker(dir_);
    broker.start();
    Subscriber live(broker.port(), false);
    startSim("65528");
    // The counter runs twenty times as fast as the power says: the demand,
    // which follows the counter, is far over a limit of 1 kW.
    Child& host = startHost({"--http", "127.0.0.1:0", "--mqtt", broker.address(),
                             "--mqtt-discovery", "homeassistant", "--demand-limit-kw", "1"});
    const int port = webPort();

    // The register wraps from 6553.5 to 0 kWh; the total goes on past it.
    ASSERT_TRUE(eventually(
        [&] {
            const Json::Value v = values(port);
            return v["energy_fwd_active"].asDouble() < 1.0 &&
                   v["energy_fwd_active_total"].asDouble() > 6553.5;
        },
        60000ms))
        << hostErr();
    EXPECT_EQ(values(port)["energy_fwd_active_total"].asDouble() * 10.0 -
                  65536.0,  // the register has turned once
              values(port)["energy_fwd_active"].asDouble() * 10.0)
        << "the total is the register plus one turn";

    // Another meter in its place, reading 0.3 kWh while power flows, once
    // this one's register is past that.
    ASSERT_TRUE(
        eventually([&] { return values(port)["energy_fwd_active"].asDouble() >= 0.6; }, 60000ms));
    sim_->signal(SIGKILL);
    ASSERT_TRUE(sim_->wait(kDeadline).has_value());
    const double beforeSwap = values(port)["energy_fwd_active_total"].asDouble();
    startSim("3");
    ASSERT_TRUE(eventually(
        [&] {
            const std::string err = hostErr();
            const auto at = err.find("energy_fwd_active went from ");
            return at != std::string::npos && err.find("which is no wrap", at) != std::string::npos;
        },
        kDeadline))
        << hostErr();
    ASSERT_TRUE(eventually(
        [&] { return values(port)["energy_fwd_active_total"].asDouble() >= beforeSwap + 0.2; },
        60000ms));
    EXPECT_LT(values(port)["energy_fwd_active_total"].asDouble(), beforeSwap + 10)
        << "no jump at the swap";

    // /metrics' counter is the total, and promtool takes it.
    const std::string metrics = testhttp::get(port, "/metrics").body;
    EXPECT_NE(metrics.find("ved96_active_energy_joules_total{meter=\"1\",direction=\"import\"} 2"),
              std::string::npos)
        << metrics;
    const std::string file = dir_.write("metrics.txt", metrics);
    std::string out;
    EXPECT_EQ(run({"/bin/sh", "-c", env("PROMTOOL", "promtool") + " check metrics < " + file}, out),
              0)
        << out << readText(dir_ / "run.err");

    // Today's consumption, from the ledger: what the total grew by.
    const Json::Value day =
        parseJson(testhttp::get(port, "/api/energy?data_id=1&period=day&from=0").body);
    ASSERT_EQ(day["periods"].size(), 1u) << day.toStyledString();
    const double total = values(port)["energy_fwd_active_total"].asDouble();
    EXPECT_GT(day["periods"][0]["kwh"].asDouble(), 1.0);
    EXPECT_LE(day["periods"][0]["kwh"].asDouble(), total - 6552.8 + 1e-6);

    // The demand limit is a vedhost alarm on the page and on MQTT's alarm topic.
    const Json::Value alarms = parseJson(testhttp::get(port, "/api/alarms").body);
    ASSERT_GE(alarms["raised"].size(), 1u) << alarms.toStyledString();
    EXPECT_EQ(alarms["raised"][0]["alarm_id"].asString(), "vedhost_demand_limit");
    EXPECT_NE(alarms["raised"][0]["message"].asString().find("is over the limit of 1.0 kW"),
              std::string::npos);
    ASSERT_TRUE(eventually(
        [&] {
            for (const Message& m : live.messages("ved96/1/alarm")) {
                const Json::Value a = parseJson(m.payload);
                if (a["alarm_id"] == "vedhost_demand_limit" && a["state"] == "raised") return true;
            }
            return false;
        },
        kDeadline));

    host.signal(SIGTERM);
    ASSERT_EQ(host.wait(kDeadline), 0) << hostErr();

    // Home Assistant was told of the total as an energy counter that only
    // grows, and every state it read held to that across the wrap and the swap.
    Subscriber ha(broker.port(), false, "", "", "homeassistant/#");
    ASSERT_TRUE(ha.settle("homeassistant/e2e-marker"));
    bool announced = false;
    for (const Message& m :
         ha.messages("homeassistant/sensor/ved96/1_energy_fwd_active_total/config")) {
        const Json::Value c = parseJson(m.payload);
        announced = c["state_class"] == "total_increasing" && c["device_class"] == "energy" &&
                    c["unit_of_measurement"] == "kWh";
    }
    EXPECT_TRUE(announced);
    double last = 0, highestRaw = 0, lowestRawAfter = 7000;
    std::size_t states = 0;
    for (const Message& m : live.messages("ved96/1/state")) {
        const Json::Value v = parseJson(m.payload)["values"];
        const double t = v["energy_fwd_active_total"].asDouble();
        EXPECT_GE(t, last) << m.payload;
        last = t;
        highestRaw = std::max(highestRaw, v["energy_fwd_active"].asDouble());
        if (highestRaw > 6553)
            lowestRawAfter = std::min(lowestRawAfter, v["energy_fwd_active"].asDouble());
        ++states;
    }
    EXPECT_GT(states, 10u);
    EXPECT_GE(highestRaw, 6553.0);
    EXPECT_LT(lowestRawAfter, 1.0) << "the register was seen to wrap";

    // The audit keeps the wrap and the swap with the registers either side.
    ASSERT_EQ(
        run({env("VEDHOST", VEDHOST_PATH), "history", dir_ / "history.db", "--energy", "audit"},
            out),
        0);
    const auto lines = [&] {
        std::vector<std::string> l;
        std::istringstream in(out);
        for (std::string s; std::getline(in, s);) l.push_back(s);
        return l;
    }();
    // The reactive register of the other meter started lower too: its epoch
    // is there as well.
    std::vector<std::string> active;
    for (const std::string& l : lines)
        if (l.find(",energy_fwd_active,") != std::string::npos) active.push_back(l);
    ASSERT_GE(lines.size(), 3u) << out;
    EXPECT_EQ(lines[0], "data_id,counter,time,kind,old,new,epoch,total");
    ASSERT_EQ(active.size(), 2u) << out;
    const auto fields = [](const std::string& line) {
        std::vector<std::string> f;
        std::istringstream in(line);
        for (std::string s; std::getline(in, s, ',');) f.push_back(s);
        return f;
    };
    const auto wrap = fields(active[0]), swap = fields(active[1]);
    ASSERT_EQ(wrap.size(), 8u) << active[0];
    ASSERT_EQ(swap.size(), 8u) << active[1];
    EXPECT_EQ(wrap[3], "wrap");
    EXPECT_GE(std::stod(wrap[4]), 6553.0);
    EXPECT_LT(std::stod(wrap[5]), 1.0);
    EXPECT_EQ(wrap[6], "0");
    EXPECT_EQ(swap[3], "epoch");
    EXPECT_GE(std::stod(swap[4]), 0.6);
    EXPECT_EQ(swap[5], "0.3");
    EXPECT_EQ(swap[6], "1");

    // A restart goes on from the stored total, never below it.
    Child& again = startHost({"--mqtt", broker.address(), "--rounds", "5"});
    ASSERT_EQ(again.wait(60000ms), 0) << hostErr(1);
    const auto after = live.messages("ved96/1/state");
    ASSERT_GT(after.size(), states);
    for (std::size_t i = states; i < after.size(); ++i)
        EXPECT_GE(parseJson(after[i].payload)["values"]["energy_fwd_active_total"].asDouble(), last)
            << after[i].payload;
}

}  // namespace
