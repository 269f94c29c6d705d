// vedhost publishing to a real mosquitto broker on loopback: the messages of
// three meters on one line, the retained status and the last will, a broker
// that is down at start or restarted mid-run, and a refused password. The
// broker runs on a free port with its own configuration in a scratch
// directory; every wait is for a condition, with a generous deadline, so the
// tests hold under sanitizers and emulation.
#include <gtest/gtest.h>
#include <json/reader.h>

#include <map>
#include <memory>
#include <set>

#include "../support/http_client.h"
#include "mqtt_broker.h"

namespace {

using namespace e2e;

std::string imageJson(int phaseVoltageA) {
    return "{\"0\": " + std::to_string(phaseVoltageA) + ", \"6000\": 380}";
}

class MqttE2E : public ::testing::Test {
  protected:
    // A simulator answering units 1..count on one pseudo-terminal, unit n
    // with a phase A voltage of 2300 + n; returns the line's path.
    std::string startLine(int count) {
        std::vector<std::string> args = {env("VED96_SIM", VED96_SIM_PATH), "--pty", "--slave", ""};
        for (int unit = 1; unit <= count; ++unit) {
            args[3] += (unit > 1 ? "," : "") + std::to_string(unit);
            args.push_back("--image");
            args.push_back(
                dir_.write("unit" + std::to_string(unit) + ".json", imageJson(2300 + unit)));
        }
        children_.push_back(std::make_unique<Child>(args, dir_ / "sim.out", dir_ / "sim.err",
                                                    dir_.path().string()));
        std::string where;
        EXPECT_TRUE(eventually([&] {
            const auto lines = readLines(dir_ / "sim.out");
            if (lines.empty()) return false;
            where = lines[0].substr(lines[0].find(' ') + 1);
            return true;
        }));
        return where;
    }

    Child& startHost(std::vector<std::string> args) {
        args.insert(args.begin(), env("VEDHOST", VEDHOST_PATH));
        children_.push_back(std::make_unique<Child>(args, dir_ / "host.out", dir_ / "host.err",
                                                    dir_.path().string()));
        return *children_.back();
    }

    std::size_t reports() { return readLines(dir_ / "report.jsonl").size(); }
    std::string hostErr() { return readText(dir_ / "host.err"); }

    Scratch dir_;
    std::vector<std::unique_ptr<Child>> children_;
};

// --- Three meters on one line ----------------------------------------------------

TEST_F(MqttE2E, StateAlarmsAndRetainedStatusOfThreeMeters) {
    Broker broker(dir_);
    broker.start();
    Subscriber live(broker.port(), false);
    const std::string where = startLine(3);
    // Meter 1 watches its voltage rating with an upper and a lower limit; the
    // write in its first round moves the rating from 380 across both.
    const std::string thresholds =
        R"({"appSetting": {"b_mode": 5}, "thresholdSetting": {"u": {"ID": "A01",
            "SignalName": "电压一次侧额定值", "UpValue": 400, "UpReconverValue": 390,
            "UpAlarmLevel": 2, "LowValue": 450, "LowReconverValue": 460, "LowAlarmLevel": 3}}})";
    const std::string config = dir_.write(
        "config.json", "{\"lines\": [{\"rtu\": \"" + where +
                           "\", \"timeout_ms\": 500, \"meters\": ["
                           "{\"slave\": 1, \"data_id\": 1, \"settings\": " +
                           thresholds +
                           "}, {\"slave\": 2, \"data_id\": 2}, {\"slave\": 3, \"data_id\": 3}]}]}");
    // The report is rebuilt once per second of round time: rounds 1.1 s apart.
    // The state carries the values as the user's presentation scales them.
    const std::string presentation =
        dir_.write("presentation.json", R"({"phase_voltage_a": {"scale": 0.1, "unit": "V"}})");
    Child& host = startHost({"--config", config, "--rounds", "3", "--interval", "1.1", "--write",
                             "6000=500", "--mqtt", broker.address(), "--plugin-log",
                             dir_ / "plugin.log", "--presentation", presentation});
    ASSERT_EQ(host.wait(60000ms), 0) << hostErr();

    for (int unit = 1; unit <= 3; ++unit) {
        SCOPED_TRACE("data id " + std::to_string(unit));
        const std::string base = "ved96/" + std::to_string(unit);
        ASSERT_TRUE(live.waitFor(base + "/status", "offline"));
        const auto states = live.messages(base + "/state");
        ASSERT_EQ(states.size(), 3u);
        for (const auto& m : states) {
            const Json::Value state = parseJson(m.payload);
            EXPECT_EQ(state["data_id"].asInt(), unit);
            EXPECT_EQ(state["slave"].asInt(), unit);
            EXPECT_EQ(state["line"].asString(), "rtu " + where);
            EXPECT_EQ(state["time"].asString().size(), 23u);
            EXPECT_EQ(state["values"]["phase_voltage_a"].asDouble(), 230.0 + unit / 10.0);
            EXPECT_EQ(state["units"]["phase_voltage_a"].asString(), "V");
            EXPECT_EQ(state["values"]["phase_voltage_c"].asDouble(), 0.0) << "not scaled";
        }
        EXPECT_EQ(parseJson(states.back().payload)["values"]["voltage_primary_rated"].asDouble(),
                  500.0);
        std::vector<std::string> status;
        for (const auto& m : live.messages(base + "/status")) status.push_back(m.payload);
        EXPECT_EQ(status.back(), "offline");
        EXPECT_NE(std::find(status.begin(), status.end(), "online"), status.end());
    }

    // Each alarm once when raised and once when cleared, not once per round.
    std::set<std::string> alarms;
    for (const auto& m : live.messages("ved96/1/alarm")) {
        const Json::Value a = parseJson(m.payload);
        EXPECT_EQ(a["data_id"].asInt(), 1);
        EXPECT_EQ(a["key"].asString(), "电压一次侧额定值");
        EXPECT_EQ(a["signal"].asString(), "voltage_primary_rated");
        alarms.insert(a["alarm_id"].asString() + " " + a["state"].asString() + " " +
                      a["value"].asString());
    }
    EXPECT_EQ(alarms, (std::set<std::string>{"A01003 raised 380", "A01003 cleared 500",
                                             "A01001 raised 500"}));
    EXPECT_EQ(live.messages("ved96/1/alarm").size(), 3u);
    EXPECT_TRUE(live.messages("ved96/2/alarm").empty());

    // A subscriber that comes later gets each meter's status, retained.
    Subscriber late(broker.port(), false);
    for (int unit = 1; unit <= 3; ++unit) {
        ASSERT_TRUE(late.waitFor("ved96/" + std::to_string(unit) + "/status", "offline"));
        EXPECT_TRUE(late.messages("ved96/" + std::to_string(unit) + "/status")[0].retained);
    }
}

// --- The host dies ---------------------------------------------------------------

TEST_F(MqttE2E, LastWillLeavesOfflineWhenTheHostDies) {
    Broker broker(dir_);
    broker.start();
    Subscriber live(broker.port(), false);
    const std::string where = startLine(1);
    Child& host = startHost({"--rtu", where, "--interval", "0.2", "--mqtt", broker.address(),
                             "--mqtt-prefix", "ved96"});
    ASSERT_TRUE(live.waitFor("ved96/1/status", "online")) << hostErr();
    ASSERT_TRUE(live.waitFor("ved96/1/state"));
    host.signal(SIGKILL);
    ASSERT_TRUE(live.waitFor("ved96/1/status", "offline"));
    Subscriber late(broker.port(), false);
    ASSERT_TRUE(late.waitFor("ved96/1/status", "offline"));
    EXPECT_TRUE(late.messages("ved96/1/status")[0].retained);
}

// --- The broker goes away --------------------------------------------------------

TEST_F(MqttE2E, BrokerRestartedMidRunLosesNoMessageAndPollingGoesOn) {
    Broker broker(dir_);
    broker.start();
    auto durable = std::make_unique<Subscriber>(broker.port(), true);
    const std::string where = startLine(1);
    Child& host = startHost({"--rtu", where, "--interval", "0.2", "--mqtt", broker.address(),
                             "--report", dir_ / "report.jsonl"});
    ASSERT_TRUE(durable->waitFor("ved96/1/state", "", 2)) << hostErr();

    broker.stop();
    const std::size_t before = reports();
    ASSERT_TRUE(eventually([&] { return reports() >= before + 5; }, kDeadline))
        << "polling stopped with the broker";
    ASSERT_TRUE(eventually([&] { return countOf(hostErr(), "connection lost") == 1; }))
        << hostErr();
    // What a restarted broker hands a durable subscriber that comes back
    // late (the messages queued for it, and in which order against the
    // retained status) is the broker's business, not the host's. So the host
    // is held while the subscriber reconnects, and everything it sends after
    // the restart goes to a subscriber that is there.
    host.signal(SIGSTOP);
    broker.start();
    const bool back = durable->subscribedTimes(2);
    host.signal(SIGCONT);
    ASSERT_TRUE(back) << "the durable subscriber did not reconnect";
    ASSERT_TRUE(eventually([&] { return countOf(hostErr(), "connected\n") == 2; }, kDeadline))
        << hostErr();
    host.signal(SIGTERM);
    ASSERT_EQ(host.wait(kDeadline), 0) << hostErr();

    // Every round reached the broker once (QoS 1 may repeat one in flight).
    ASSERT_TRUE(durable->waitFor("ved96/1/status", "offline"));
    std::set<std::string> times;
    for (const auto& m : durable->messages("ved96/1/state"))
        times.insert(parseJson(m.payload)["time"].asString());
    EXPECT_EQ(times.size(), reports()) << hostErr();
}

TEST_F(MqttE2E, BrokerDownAtStartGetsTheNewestKeptMessages) {
    Broker broker(dir_);
    // The durable subscriber's session is made first, so that it is waiting
    // on the broker whenever the host gets through.
    broker.start();
    auto durable = std::make_unique<Subscriber>(broker.port(), true);
    durable.reset();
    broker.stop();

    const std::string where = startLine(1);
    Child& host = startHost({"--rtu", where, "--interval", "0.2", "--mqtt", broker.address(),
                             "--mqtt-queue", "3", "--report", dir_ / "report.jsonl"});
    ASSERT_TRUE(eventually([&] { return reports() >= 6; }, kDeadline)) << hostErr();
    EXPECT_EQ(countOf(hostErr(), "cannot connect: Connection refused"), 1u) << hostErr();
    broker.start();
    ASSERT_TRUE(eventually([&] { return countOf(hostErr(), "connected\n") == 1; }, kDeadline))
        << hostErr();
    const std::string err = hostErr();
    EXPECT_NE(err.find("data id 1: sending 3 kept messages, "), std::string::npos) << err;
    EXPECT_NE(err.find(" oldest dropped while the broker was away\n"), std::string::npos) << err;
    host.signal(SIGTERM);
    ASSERT_EQ(host.wait(kDeadline), 0) << hostErr();

    durable = std::make_unique<Subscriber>(broker.port(), true);
    ASSERT_TRUE(durable->waitFor("ved96/1/status", "offline"));
    const auto states = durable->messages("ved96/1/state");
    // The three newest of the rounds before the connect, then every later one.
    ASSERT_GE(states.size(), 3u);
    EXPECT_LT(states.size(), reports());
    EXPECT_EQ(parseJson(states.back().payload)["data_id"].asInt(), 1);
}

// A broker away, as an operator of many controllers sees it: /metrics has
// each meter's connection down, its queue full and the messages dropped,
// the page's problems say since when; and all of it clears but the count of
// drops once the broker is back.
TEST_F(MqttE2E, ABrokerAwayShowsWithItsQueueAndWhatWasDropped) {
    Broker broker(dir_);
    const std::string where = startLine(1);
    Child& host =
        startHost({"--rtu", where, "--interval", "0.1", "--mqtt", broker.address(), "--mqtt-queue",
                   "3", "--report", dir_ / "report.jsonl", "--http", "127.0.0.1:0"});
    ASSERT_TRUE(eventually([&] { return reports() >= 8; }, kDeadline)) << hostErr();
    const std::string mark = "web view on http://127.0.0.1:";
    const auto at = hostErr().find(mark);
    ASSERT_NE(at, std::string::npos) << hostErr();
    const int port = std::stoi(hostErr().substr(at + mark.size()));
    auto metric = [&](const std::string& name) {
        const std::string text = testhttp::get(port, "/metrics").body;
        const auto found = text.find(name + " ");
        return found == std::string::npos ? -1.0 : std::stod(text.substr(found + name.size() + 1));
    };
    EXPECT_EQ(metric("ved96_mqtt_connected{meter=\"1\"}"), 0);
    EXPECT_EQ(metric("ved96_mqtt_queue_messages{meter=\"1\"}"), 3);
    EXPECT_GE(metric("ved96_mqtt_dropped_messages_total{meter=\"1\"}"), 5);
    const std::string problems = testhttp::get(port, "/api/health").body;
    EXPECT_NE(problems.find("broker away since "), std::string::npos) << problems;

    broker.start();
    EXPECT_TRUE(
        eventually([&] { return metric("ved96_mqtt_connected{meter=\"1\"}") == 1; }, kDeadline))
        << hostErr();
    EXPECT_TRUE(eventually([&] { return metric("ved96_mqtt_queue_messages{meter=\"1\"}") == 0; },
                           kDeadline));
    EXPECT_GE(metric("ved96_mqtt_dropped_messages_total{meter=\"1\"}"), 5);
    EXPECT_EQ(testhttp::get(port, "/api/health").body.find("broker away"), std::string::npos);
    host.signal(SIGTERM);
    EXPECT_EQ(host.wait(kDeadline), 0) << hostErr();
}

// A broker that answers the connect late (a slow TLS handshake on a small
// controller looks the same): the rounds are over before the connection is
// made, and stopping waits for it rather than dropping what is queued.
TEST_F(MqttE2E, StoppingWaitsForAConnectionStillBeingMade) {
    Broker broker(dir_);
    broker.start();
    Subscriber live(broker.port(), false);
    const int slowPort = freePort();
    Child relay(
        {"/usr/bin/socat",
         "TCP-LISTEN:" + std::to_string(slowPort) + ",bind=127.0.0.1,reuseaddr,fork",
         "SYSTEM:sleep 1.5; exec socat STDIO TCP\\:127.0.0.1\\:" + std::to_string(broker.port())},
        dir_ / "relay.out", dir_ / "relay.err", dir_.path().string());
    ASSERT_TRUE(eventually([&] { return accepts(slowPort); }, kDeadline));

    const std::string where = startLine(1);
    Child& host = startHost({"--rtu", where, "--rounds", "1", "--interval", "0.2", "--mqtt",
                             "127.0.0.1:" + std::to_string(slowPort)});
    ASSERT_EQ(host.wait(kDeadline), 0) << hostErr();
    EXPECT_EQ(countOf(hostErr(), "messages not sent"), 0u) << hostErr();
    EXPECT_TRUE(live.waitFor("ved96/1/state", "", 1)) << hostErr();
    EXPECT_TRUE(live.waitFor("ved96/1/status", "offline")) << hostErr();
}

// --- TLS -------------------------------------------------------------------------

TEST_F(MqttE2E, TlsToABrokerWhoseCertificateTheGivenCaSigned) {
    // A CA, a broker certificate it signs for 127.0.0.1, and a CA that signed nothing.
    const std::string d = dir_.path().string();
    const std::string make =
        "cd " + d +
        " && openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.crt -days 2"
        " -subj /CN=e2e-ca"
        " && openssl req -x509 -newkey rsa:2048 -nodes -keyout other.key -out other.crt -days 2"
        " -subj /CN=e2e-other"
        " && openssl req -newkey rsa:2048 -nodes -keyout broker.key -out broker.csr"
        " -subj /CN=127.0.0.1"
        " && printf 'subjectAltName=IP:127.0.0.1' > san.ext"
        " && openssl x509 -req -in broker.csr -CA ca.crt -CAkey ca.key -CAcreateserial"
        " -out broker.crt -days 2 -extfile san.ext";
    ASSERT_EQ(std::system((make + " >openssl.out 2>&1").c_str()), 0)
        << readText(dir_ / "openssl.out");
    // The subscriber uses the broker's plain listener; the host its TLS one.
    const int tlsPort = freePort();
    Broker broker(dir_, "allow_anonymous true\nlistener " + std::to_string(tlsPort) +
                            " 127.0.0.1\ncafile " + d + "/ca.crt\ncertfile " + d +
                            "/broker.crt\nkeyfile " + d + "/broker.key\n");
    broker.start();
    ASSERT_TRUE(eventually([&] { return accepts(tlsPort); }, kDeadline));
    Subscriber live(broker.port(), false);
    const std::string where = startLine(1);
    const std::string tls = "127.0.0.1:" + std::to_string(tlsPort);

    Child& untrusted = startHost({"--rtu", where, "--rounds", "2", "--interval", "0.2", "--mqtt",
                                  tls, "--mqtt-tls-ca", d + "/other.crt"});
    ASSERT_EQ(untrusted.wait(kDeadline), 0) << hostErr();
    EXPECT_EQ(countOf(hostErr(), "vedhost: mqtt " + tls +
                                     ": cannot connect: A TLS error occurred (check --mqtt-tls-ca"),
              1u)
        << hostErr();
    EXPECT_TRUE(live.messages().empty());

    Child& trusted = startHost({"--rtu", where, "--rounds", "2", "--interval", "0.2", "--mqtt", tls,
                                "--mqtt-tls-ca", d + "/ca.crt"});
    ASSERT_EQ(trusted.wait(kDeadline), 0) << hostErr();
    EXPECT_TRUE(live.waitFor("ved96/1/state", "", 2)) << hostErr();
    EXPECT_TRUE(live.waitFor("ved96/1/status", "offline"));
}

// --- Credentials -----------------------------------------------------------------

TEST_F(MqttE2E, WrongPasswordIsRefusedWithOneClearLineAndPollingGoesOn) {
    const std::string passwords = dir_ / "passwords";
    const std::string make = "mosquitto_passwd -c -b " + passwords + " meterhost s3cret >" +
                             dir_ / "passwd.out" + " 2>&1";
    ASSERT_EQ(std::system(make.c_str()), 0) << readText(dir_ / "passwd.out");
    Broker broker(dir_, "allow_anonymous false\npassword_file " + passwords + "\n");
    broker.start();
    Subscriber live(broker.port(), false, "meterhost", "s3cret");
    const std::string where = startLine(1);

    dir_.write("wrong", "guess\n");
    Child& refused =
        startHost({"--rtu", where, "--rounds", "3", "--interval", "0.3", "--mqtt", broker.address(),
                   "--mqtt-user", "meterhost", "--mqtt-password-file", dir_ / "wrong", "--report",
                   dir_ / "report.jsonl"});
    ASSERT_EQ(refused.wait(kDeadline), 0) << hostErr();
    EXPECT_EQ(reports(), 3u);
    const std::string err = hostErr();
    EXPECT_EQ(countOf(err, "vedhost: mqtt " + broker.address() +
                               ": refused by the broker: Connection Refused: not authorised "
                               "(check --mqtt-user and --mqtt-password-file)\n"),
              1u)
        << err;
    EXPECT_TRUE(live.messages().empty());

    dir_.write("right", "s3cret\n");
    Child& accepted =
        startHost({"--rtu", where, "--rounds", "1", "--mqtt", broker.address(), "--mqtt-user",
                   "meterhost", "--mqtt-password-file", dir_ / "right"});
    ASSERT_EQ(accepted.wait(kDeadline), 0) << hostErr();
    EXPECT_TRUE(live.waitFor("ved96/1/state"));
}

// --- Home Assistant discovery ----------------------------------------------------

constexpr const char* kDiscovery = "homeassistant/#";

// The announcements as the broker keeps them, by topic: what a Home
// Assistant that starts now reads.
std::map<std::string, Json::Value> retainedAnnouncements(int port) {
    Subscriber late(port, false, "", "", kDiscovery);
    EXPECT_TRUE(late.settle("homeassistant/e2e-marker"));
    std::map<std::string, Json::Value> out;
    for (const auto& m : late.messages()) {
        if (m.topic == "homeassistant/e2e-marker") continue;
        EXPECT_TRUE(m.retained) << m.topic;
        out[m.topic] = parseJson(m.payload);
    }
    return out;
}

std::string meterConfig(const std::string& where, const std::vector<int>& units,
                        const std::string& presentation = "") {
    std::string meters;
    for (int unit : units)
        meters += std::string(meters.empty() ? "" : ", ") + "{\"slave\": " + std::to_string(unit) +
                  ", \"data_id\": " + std::to_string(unit) + "}";
    return "{\"lines\": [{\"rtu\": \"" + where + "\", \"timeout_ms\": 500, \"meters\": [" + meters +
           "]}]" + (presentation.empty() ? "" : ", \"presentation\": " + presentation) + "}";
}

TEST_F(MqttE2E, EachMeterIsAnnouncedWithTheBuiltInPresentationFieldByField) {
    Broker broker(dir_);
    broker.start();
    Subscriber live(broker.port(), false);
    const std::string where = startLine(2);
    Child& host =
        startHost({"--config", dir_.write("config.json", meterConfig(where, {1, 2})), "--rounds",
                   "2", "--interval", "0.3", "--mqtt", broker.address(), "--mqtt-discovery",
                   "homeassistant", "--plugin-log", dir_ / "plugin.log"});
    ASSERT_EQ(host.wait(60000ms), 0) << hostErr();
    const auto announced = retainedAnnouncements(broker.port());
    // Forty-two signals of the built-in presentation for each meter.
    EXPECT_EQ(announced.size(), 84u);

    // Written out from the meter's register units and the classes an energy
    // dashboard asks for, not taken from the host's table.
    const struct {
        const char* id;
        const char* component;
        const char* name;
        const char* unit;  // "": none
        const char* deviceClass;
        const char* stateClass;
    } rows[] = {
        {"phase_voltage_a", "sensor", "Va", "V", "voltage", "measurement"},
        {"current_b", "sensor", "Ib", "A", "current", "measurement"},
        {"active_power_total", "sensor", "P total", "W", "power", "measurement"},
        {"reactive_power_total", "sensor", "Q total", "var", "reactive_power", "measurement"},
        {"power_factor_total", "sensor", "PF", "", "power_factor", "measurement"},
        {"frequency", "sensor", "f", "Hz", "frequency", "measurement"},
        {"energy_fwd_active", "sensor", "import", "kWh", "energy", "total_increasing"},
        {"energy_rev_active", "sensor", "export", "kWh", "energy", "total_increasing"},
        {"energy_rev_reactive", "sensor", "Q export", "kvarh", "reactive_energy",
         "total_increasing"},
        {"voltage_thd_a", "sensor", "THD Va", "%", "", "measurement"},
        {"alarm_a_over_voltage", "binary_sensor", "A over V", "", "problem", ""},
        {"wiring_mode", "sensor", "wiring", "", "", ""},
    };
    for (int unit = 1; unit <= 2; ++unit) {
        const std::string n = std::to_string(unit);
        const Json::Value state = parseJson(live.messages("ved96/" + n + "/state").back().payload);
        // The state carries the values the announcements read, scaled.
        EXPECT_EQ(state["values"]["phase_voltage_a"].asDouble(), 230.0 + unit / 10.0);
        EXPECT_EQ(state["units"]["energy_fwd_active"].asString(), "kWh");
        for (const auto& row : rows) {
            SCOPED_TRACE("data id " + n + " " + row.id);
            const std::string topic = std::string("homeassistant/") + row.component + "/ved96/" +
                                      n + "_" + row.id + "/config";
            ASSERT_EQ(announced.count(topic), 1u) << topic;
            const Json::Value& c = announced.at(topic);
            EXPECT_EQ(c["name"].asString(), row.name);
            EXPECT_EQ(c["unique_id"].asString(), "ved96_" + n + "_" + row.id);
            EXPECT_EQ(c["state_topic"].asString(), "ved96/" + n + "/state");
            EXPECT_EQ(c["availability_topic"].asString(), "ved96/" + n + "/status");
            EXPECT_EQ(c["payload_available"].asString(), "online");
            EXPECT_EQ(c["payload_not_available"].asString(), "offline");
            EXPECT_EQ(c.get("unit_of_measurement", "").asString(), row.unit);
            EXPECT_EQ(c.get("device_class", "").asString(), row.deviceClass);
            EXPECT_EQ(c.get("state_class", "").asString(), row.stateClass);
            const std::string key = std::string("value_json['values']['") + row.id + "']";
            EXPECT_EQ(c["value_template"].asString(), std::string(row.component) == "sensor"
                                                          ? "{{ " + key + " }}"
                                                          : "{{ 'ON' if " + key + " else 'OFF' }}");
            EXPECT_TRUE(state["values"].isMember(row.id)) << "the state lacks what is announced";
            const Json::Value& device = c["device"];
            ASSERT_EQ(device["identifiers"].size(), 1u);
            EXPECT_EQ(device["identifiers"][0].asString(), "ved96_" + n);
            EXPECT_EQ(device["name"].asString(), "ved96 meter " + n);
            EXPECT_EQ(device["model"].asString(), "ved96");
            EXPECT_FALSE(device.isMember("configuration_url")) << "no page is served";
            EXPECT_EQ(c["origin"]["name"].asString(), "vedhost");
        }
    }
}

TEST_F(MqttE2E, HomeAssistantComingOnlineIsAnsweredWithTheAnnouncements) {
    Broker broker(dir_);
    broker.start();
    Subscriber ha(broker.port(), false, "", "", kDiscovery);
    // A birth the broker kept from before is no news: the connect announces.
    ha.publish("homeassistant/status", "online", true);
    ASSERT_TRUE(ha.settle("homeassistant/e2e-marker"));
    const std::string where = startLine(1);
    Child& host = startHost({"--rtu", where, "--interval", "0.2", "--mqtt", broker.address(),
                             "--mqtt-discovery", "homeassistant", "--http", "127.0.0.1:0",
                             "--plugin-log", dir_ / "plugin.log"});
    const std::string voltage = "homeassistant/sensor/ved96/1_phase_voltage_a/config";
    const std::string energy = "homeassistant/sensor/ved96/1_energy_fwd_active/config";
    ASSERT_TRUE(ha.waitFor(energy)) << hostErr();
    // Home Assistant starting again: every announcement once more.
    ha.publish("homeassistant/status", "online", false);
    ASSERT_TRUE(ha.waitFor(voltage, "", 2)) << hostErr();
    ASSERT_TRUE(ha.waitFor(energy, "", 2));
    ha.publish("homeassistant/status", "offline", false);
    ha.publish("homeassistant/status", "online", false);
    ASSERT_TRUE(ha.waitFor(energy, "", 3));
    host.signal(SIGTERM);
    ASSERT_EQ(host.wait(kDeadline), 0) << hostErr();
    EXPECT_EQ(ha.messages(voltage).size(), 3u);
    const Json::Value config = parseJson(ha.messages(voltage).back().payload);
    EXPECT_EQ(config["name"].asString(), "Va");
    // The device links to the page the host serves.
    const std::string err = hostErr();
    const std::string said = "vedhost: web view on ";
    const auto at = err.find(said);
    ASSERT_NE(at, std::string::npos) << err;
    const std::string page = err.substr(at + said.size(), err.find('\n', at) - at - said.size());
    EXPECT_EQ(page.rfind("http://127.0.0.1:", 0), 0u) << page;
    EXPECT_EQ(config["device"]["configuration_url"].asString(), page);
}

TEST_F(MqttE2E, AnnouncementsNoLongerConfiguredAreCleared) {
    Broker broker(dir_);
    broker.start();
    const std::string where = startLine(2);
    Child& before = startHost({"--config", dir_.write("two.json", meterConfig(where, {1, 2})),
                               "--rounds", "1", "--mqtt", broker.address(), "--mqtt-discovery",
                               "homeassistant", "--plugin-log", dir_ / "plugin.log"});
    ASSERT_EQ(before.wait(60000ms), 0) << hostErr();
    ASSERT_EQ(retainedAnnouncements(broker.port()).size(), 84u);

    // Meter 1 leaves the configuration; meter 2 keeps two of its signals.
    Subscriber ha(broker.port(), false, "", "", kDiscovery);
    const std::string kept = R"({"phase_voltage_a": {"label": "L1", "scale": 0.1, "unit": "V",
        "device_class": "voltage", "state_class": "measurement"},
        "energy_fwd_active": {"unit": "kWh", "device_class": "energy",
        "state_class": "total_increasing"}})";
    Child& after = startHost({"--config", dir_.write("one.json", meterConfig(where, {2}, kept)),
                              "--interval", "0.2", "--mqtt", broker.address(), "--mqtt-discovery",
                              "homeassistant", "--plugin-log", dir_ / "plugin.log"});
    const auto cleared = [&] {
        std::size_t n = 0;
        for (const auto& m : ha.messages()) n += m.payload.empty();
        return n;
    };
    ASSERT_TRUE(eventually([&] { return cleared() >= 82; }, kDeadline)) << hostErr();
    after.signal(SIGTERM);
    ASSERT_EQ(after.wait(kDeadline), 0) << hostErr();
    EXPECT_EQ(cleared(), 82u);
    const std::string err = hostErr();
    EXPECT_EQ(countOf(err, "discovery: cleared announcements no longer configured (ved96 meter 1)"),
              1u)
        << err;
    EXPECT_EQ(countOf(err, "discovery: cleared announcements no longer configured (ved96 meter 2)"),
              1u)
        << err;

    const auto announced = retainedAnnouncements(broker.port());
    ASSERT_EQ(announced.size(), 2u);
    EXPECT_EQ(announced.at("homeassistant/sensor/ved96/2_phase_voltage_a/config")["name"], "L1");
    EXPECT_EQ(announced.at("homeassistant/sensor/ved96/2_energy_fwd_active/config")["name"],
              "energy_fwd_active");
}

// --- The packaged service -------------------------------------------------------

// The unit's lines that start with `key`, %i made `instance` and the
// installed folders moved under `root`, as systemd would run them there.
std::vector<std::string> unitLines(const std::string& key, const std::string& instance,
                                   const std::string& root) {
    std::vector<std::string> found;
    for (std::string line : readLines(VED_SOURCE_DIR "/packaging/vedhost@.service")) {
        if (line.rfind(key, 0) != 0) continue;
        line = line.substr(key.size());
        const std::pair<std::string, std::string> moves[] = {
            {"%i", instance},
            {"/usr/bin/vedhost", env("VEDHOST", VEDHOST_PATH)},
            {"/etc/ved96/", root + "/etc/ved96/"},
            {"/var/lib/ved96/", root + "/var/lib/ved96/"}};
        for (const auto& [from, to] : moves)
            for (std::size_t at = line.find(from); at != std::string::npos;
                 at = line.find(from, at + to.size()))
                line.replace(at, from.size(), to);
        found.push_back(line);
    }
    return found;
}

TEST_F(MqttE2E, ThePackagedUnitPublishesWithMqttFromItsDocumentAlone) {
    Broker broker(dir_);
    broker.start();
    Subscriber live(broker.port(), false);
    const std::string where = startLine(1);
    const std::string root = dir_.path().string();
    std::filesystem::create_directories(root + "/etc/ved96");
    std::filesystem::create_directories(root + "/var/lib/ved96");
    dir_.write("etc/ved96/site.json", "{\"lines\": [{\"rtu\": \"" + where +
                                          "\", \"meters\": [{\"slave\": 1, \"data_id\": 1}]}],\n"
                                          " \"rounds\": 2, \"interval\": 0.2,\n"
                                          " \"mqtt\": {\"host\": \"127.0.0.1\", \"port\": " +
                                          std::to_string(broker.port()) + "}}\n");

    const auto exec = unitLines("ExecStart=", "site", root);
    ASSERT_EQ(exec.size(), 1u);
    std::vector<std::string> argv;
    std::istringstream words(exec[0]);
    for (std::string word; words >> word;) argv.push_back(word);
    // The unit's environment, for the host only.
    const auto environment = unitLines("Environment=", "site", root);
    for (const std::string& assignment : environment) {
        const std::size_t eq = assignment.find('=');
        setenv(assignment.substr(0, eq).c_str(), assignment.substr(eq + 1).c_str(), 1);
    }
    children_.push_back(std::make_unique<Child>(argv, dir_ / "host.out", dir_ / "host.err", root));
    for (const std::string& assignment : environment)
        unsetenv(assignment.substr(0, assignment.find('=')).c_str());
    ASSERT_EQ(children_.back()->wait(60000ms), 0) << hostErr();

    ASSERT_TRUE(live.waitFor("ved96/1/state", "", 2)) << hostErr();
    EXPECT_TRUE(live.waitFor("ved96/1/status", "offline"));
    // The history where the unit's environment puts it when the document
    // names none.
    EXPECT_GT(std::filesystem::file_size(root + "/var/lib/ved96/site.db"), 0u) << hostErr();
}

}  // namespace
