// The web view's parts in one process: the metrics text, the meters' state
// the page and the API show, and the HTTP server answering real requests on
// loopback (status codes, headers, authentication and the event stream).
#include <gtest/gtest.h>
#include <json/reader.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "../../support/http_client.h"
#include "web/http_server.h"
#include "web/metrics.h"
#include "web/web_state.h"

namespace vedhost {
namespace {

using namespace std::chrono_literals;

// A report with the given members by ASCII id, under the meter's own keys.
Json::Value reportOf(const std::map<std::string, double>& values) {
    Json::Value report(Json::objectValue);
    for (const auto& [id, v] : values) report[ved96_report::findSignal(id.c_str())->key] = v;
    return report;
}

Presentation presentationOf(const char* text) {
    Json::Value object;
    Json::Reader().parse(text, object);
    Presentation p;
    std::string error;
    EXPECT_TRUE(p.parse(object, error)) << error;
    return p;
}

// A meter that answers, with its presented values.
MeterReading online(unsigned dataId, const Json::Value& values) {
    MeterReading m;
    m.dataId = dataId;
    m.up = true;
    m.values = &values;
    return m;
}

Json::Value parsed(const std::string& text) {
    Json::Value v;
    EXPECT_TRUE(Json::Reader().parse(text, v)) << text.substr(0, 200);
    return v;
}

// --- Metrics -------------------------------------------------------------------------

TEST(Metrics, BaseUnitsFromThePresentedUnit) {
    // Each row: the presentation of one signal, its presented value, and the
    // sample expected (empty: none), worked out by hand.
    struct Case {
        const char* style;
        const char* id;
        double presented;
        const char* sample;
    } cases[] = {
        {R"({"phase_voltage_a": {"unit": "V"}})", "phase_voltage_a", 230.1,
         "ved96_phase_voltage_volts{meter=\"7\",phase=\"a\"} 230.1"},
        {R"({"phase_voltage_b": {"unit": "kV"}})", "phase_voltage_b", 0.4,
         "ved96_phase_voltage_volts{meter=\"7\",phase=\"b\"} 400"},
        {R"({"current_c": {"unit": "mA"}})", "current_c", 1500,
         "ved96_current_amperes{meter=\"7\",phase=\"c\"} 1.5"},
        {R"({"neutral_current_calc": {"unit": "A"}})", "neutral_current_calc", 2.1,
         "ved96_current_amperes{meter=\"7\",phase=\"n\"} 2.1"},
        {R"({"active_power_total": {"unit": "kW"}})", "active_power_total", 1.25,
         "ved96_active_power_watts{meter=\"7\",phase=\"total\"} 1250"},
        {R"({"reactive_power_a": {"unit": "var"}})", "reactive_power_a", -12,
         "ved96_reactive_power_volt_amperes_reactive{meter=\"7\",phase=\"a\"} -12"},
        {R"({"power_factor_total": {"scale": 0.001}})", "power_factor_total", 0.98,
         "ved96_power_factor_ratio{meter=\"7\",phase=\"total\"} 0.98"},
        {R"({"frequency": {"unit": "Hz"}})", "frequency", 50.02,
         "ved96_frequency_hertz{meter=\"7\"} 50.02"},
        // 2 kWh = 2 * 3 600 000 J; 1.5 kvarh = 5 400 000 var s.
        {R"({"energy_fwd_active": {"unit": "kWh"}})", "energy_fwd_active", 2,
         "ved96_active_energy_joules_total{meter=\"7\",direction=\"import\"} 7200000"},
        {R"({"energy_rev_reactive": {"unit": "kvarh"}})", "energy_rev_reactive", 1.5,
         "ved96_reactive_energy_var_seconds_total{meter=\"7\",direction=\"export\"} 5400000"},
        // A unit of another quantity, an unknown one, or no word from the
        // user: the raw register is not shown as if it were in base units.
        {R"({"current_a": {"unit": "V"}})", "current_a", 3, ""},
        {R"({"frequency": {"unit": "rpm"}})", "frequency", 50, ""},
        {R"({})", "phase_voltage_a", 2301, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.style);
        const Presentation p = presentationOf(c.style);
        Json::Value values(Json::objectValue);
        values[c.id] = c.presented;
        const std::string text = metricsText({online(7, values)}, p);
        if (*c.sample == '\0') {
            EXPECT_EQ(text.find(std::string("\n") + "ved96_" + "phase"), std::string::npos);
            EXPECT_EQ(text.rfind("# HELP ved96_meter_up", 0), 0u) << text;
        } else {
            EXPECT_NE(text.find(std::string(c.sample) + "\n"), std::string::npos) << text;
        }
    }
}

TEST(Metrics, TheLedgersTotalsAndTheDemandWhereTheHostKeepsThem) {
    // The register has wrapped to 0.3 kWh; the ledger counted on to 6553.8.
    // 6553.8 kWh x 3 600 000 J = 23 593 680 000 J; 12.5 kW = 12 500 W.
    const Presentation p = presentationOf(R"({"energy_fwd_active": {"unit": "kWh"}})");
    Json::Value values(Json::objectValue);
    values["energy_fwd_active"] = 0.3;
    values["energy_fwd_active_total"] = 6553.8;
    values["energy_rev_reactive_total"] = 1.5;  // no word from the user: the ledger's kvarh
    values["demand_active"] = 12.5;
    values["demand_active_projected"] = 14.25;
    values["demand_active_max"] = 20;
    values["demand_active_max_at"] = 1714600800;
    const std::string text = metricsText({online(3, values)}, p);
    for (const char* sample :
         {"ved96_active_energy_joules_total{meter=\"3\",direction=\"import\"} 23593680000\n",
          "ved96_reactive_energy_var_seconds_total{meter=\"3\",direction=\"export\"} 5400000\n",
          "ved96_active_power_demand_watts{meter=\"3\",window=\"running\"} 12500\n",
          "ved96_active_power_demand_watts{meter=\"3\",window=\"projected\"} 14250\n",
          "ved96_active_power_demand_watts{meter=\"3\",window=\"peak\"} 20000\n",
          "ved96_active_power_demand_peak_timestamp_seconds{meter=\"3\"} 1714600800\n",
          "# TYPE ved96_active_power_demand_watts gauge\n"})
        EXPECT_NE(text.find(sample), std::string::npos) << sample << text;
    EXPECT_EQ(text.find("} 1080000\n"), std::string::npos) << "the wrapped register is not shown";
}

TEST(WebState, TheHostsValuesBesideTheMetersOwn) {
    const Presentation p = presentationOf(R"({"energy_fwd_active": {"unit": "kWh"}})");
    WebState state(p);
    state.addMeter(1, "tcp h:1", 1);
    unsigned asked = 0;
    state.setHostValues([&](unsigned dataId) {
        asked = dataId;
        Json::Value v;
        v["values"]["energy_fwd_active_total"] = 6553.8;
        v["units"]["energy_fwd_active_total"] = "kWh";
        return v;
    });
    state.round(1, reportOf({{"energy_fwd_active", 0.3}}));
    EXPECT_EQ(asked, 1u);
    const Json::Value m = state.meter(1);
    EXPECT_EQ(m["values"]["energy_fwd_active"].asDouble(), 0.3);
    EXPECT_EQ(m["values"]["energy_fwd_active_total"].asDouble(), 6553.8);
    EXPECT_EQ(m["units"]["energy_fwd_active_total"].asString(), "kWh");
    EXPECT_EQ(m["units"]["energy_fwd_active"].asString(), "kWh");
}

TEST(Metrics, OfflineMeterShowsItsCountersOnly) {
    const Presentation p = presentationOf(R"({"phase_voltage_a": {"unit": "V"}})");
    Json::Value values(Json::objectValue);
    values["phase_voltage_a"] = 230.0;
    MeterReading up = online(1, values), down;
    up.rounds = 5;
    up.exchanges = 50;
    up.lastRound = 1700000000;
    down.dataId = 2;
    down.values = &values;
    down.timeouts = 3;
    down.errors = 1;
    const std::string text = metricsText({up, down}, p);
    for (const char* line : {
             "ved96_phase_voltage_volts{meter=\"1\",phase=\"a\"} 230\n",
             "ved96_meter_up{meter=\"1\"} 1\n",
             "ved96_meter_up{meter=\"2\"} 0\n",
             "ved96_rounds_total{meter=\"1\"} 5\n",
             "ved96_exchanges_total{meter=\"1\"} 50\n",
             "ved96_exchange_timeouts_total{meter=\"2\"} 3\n",
             "ved96_exchange_errors_total{meter=\"2\"} 1\n",
             "ved96_last_round_timestamp_seconds{meter=\"1\"} 1700000000\n",
             "# TYPE ved96_rounds_total counter\n",
         })
        EXPECT_NE(text.find(line), std::string::npos) << line << text;
    EXPECT_EQ(text.find("ved96_phase_voltage_volts{meter=\"2\""), std::string::npos) << text;
    EXPECT_EQ(text.find("ved96_last_round_timestamp_seconds{meter=\"2\""), std::string::npos);
    // Each family is described once, however many meters it has.
    std::size_t heads = 0;
    for (auto at = text.find("# TYPE ved96_meter_up "); at != std::string::npos;
         at = text.find("# TYPE ved96_meter_up ", at + 1))
        ++heads;
    EXPECT_EQ(heads, 1u);
}

// --- The meters' state ---------------------------------------------------------------

TEST(WebState, AlarmsRaisedAndClearedOnChangeOnly) {
    const Presentation p;
    WebState state(p);
    state.addMeter(3, "tcp 127.0.0.1:502", 1);
    std::int64_t now = 1000;
    state.setClock(
        [&] { return std::chrono::system_clock::time_point(std::chrono::seconds(now)); });
    int changes = 0;
    state.onChange([&](unsigned id) {
        EXPECT_EQ(id, 3u);
        ++changes;
    });
    const std::string va = ved96_report::findSignal("phase_voltage_a")->key;
    // Each step: an alarm check as the device reports it, and what the meter
    // then shows (raised count, cleared count, listener called).
    struct Step {
        bool active;
        std::size_t raised, cleared;
        int changes;
    } steps[] = {
        {false, 0, 0, 0},  // first seen inactive: never raised
        {true, 1, 0, 1},   // raised
        {true, 1, 0, 1},   // still raised: no news
        {false, 0, 1, 2},  // cleared
        {false, 0, 1, 2},  // still clear
        {true, 1, 1, 3},   // raised again
    };
    for (const Step& s : steps) {
        ++now;
        state.alarmCheck(3, 2, va, "A01", "2561", "over voltage", s.active, 1);
        const Json::Value m = state.meter(3);
        EXPECT_EQ(m["alarms"]["raised"].size(), s.raised) << now;
        EXPECT_EQ(m["alarms"]["cleared"].size(), s.cleared) << now;
        EXPECT_EQ(changes, s.changes) << now;
    }
    const Json::Value m = state.meter(3);
    EXPECT_EQ(m["alarms"]["raised"][0]["signal"].asString(), "phase_voltage_a");
    EXPECT_EQ(m["alarms"]["raised"][0]["level"].asInt(), 2);
    EXPECT_EQ(m["alarms"]["raised"][0]["since"].asInt64(), 1006);
    EXPECT_EQ(m["alarms"]["cleared"][0]["since"].asInt64(), 1002);
    EXPECT_EQ(m["alarms"]["cleared"][0]["cleared"].asInt64(), 1004);
    EXPECT_EQ(state.alarms()["raised"][0]["data_id"].asUInt(), 3u);

    // Only the newest cleared alarms are kept.
    for (int i = 0; i < 30; ++i) {
        state.alarmCheck(3, 1, va, "B" + std::to_string(i), "1", "", true, 1);
        state.alarmCheck(3, 1, va, "B" + std::to_string(i), "1", "", false, 1);
    }
    EXPECT_EQ(state.meter(3)["alarms"]["cleared"].size(), WebState::kClearedKept);
    EXPECT_EQ(state.meter(3)["alarms"]["cleared"][0]["alarm_id"].asString(), "B29");
}

TEST(WebState, StatusCountersAndTheStateMessage) {
    const Presentation p = presentationOf(R"({"phase_voltage_a": {"scale": 0.1, "unit": "V"}})");
    WebState state(p);
    state.addMeter(1, "rtu /dev/ttyS0", 4);
    std::int64_t now = 5000;
    state.setClock(
        [&] { return std::chrono::system_clock::time_point(std::chrono::seconds(now)); });
    Json::Value m = state.meter(1);
    EXPECT_EQ(m["status"].asString(), "unknown");
    EXPECT_FALSE(m.isMember("last_round"));
    EXPECT_TRUE(state.meter(2).isNull());

    for (auto outcome : {Publisher::Exchange::Answered, Publisher::Exchange::Answered,
                         Publisher::Exchange::TimedOut, Publisher::Exchange::Failed})
        state.exchange(1, outcome);
    state.round(1, reportOf({{"phase_voltage_a", 2301}}));
    state.answering(1, true);
    now += 7;
    m = state.meter(1);
    EXPECT_EQ(m["status"].asString(), "online");
    EXPECT_EQ(m["values"]["phase_voltage_a"].asDouble(), 230.1);
    EXPECT_EQ(m["units"]["phase_voltage_a"].asString(), "V");
    EXPECT_EQ(m["line"].asString(), "rtu /dev/ttyS0");
    EXPECT_EQ(m["slave"].asInt(), 4);
    EXPECT_EQ(m["last_round"].asInt64(), 5000);
    EXPECT_EQ(m["age_seconds"].asInt64(), 7);
    EXPECT_EQ(m["rounds"].asUInt(), 1u);
    EXPECT_EQ(m["exchanges"].asUInt(), 4u);
    EXPECT_EQ(m["timeouts"].asUInt(), 1u);
    EXPECT_EQ(m["errors"].asUInt(), 1u);

    state.answering(1, false);
    EXPECT_EQ(state.meter(1)["status"].asString(), "offline");
    // The last values stay to be read, marked by the status.
    EXPECT_EQ(state.meter(1)["values"]["phase_voltage_a"].asDouble(), 230.1);
}

// The age of a meter's last round as the page and the API show it, while the
// wall clock steps: counted by the monotonic clock, never negative, never
// decades.
TEST(WebState, AgesThroughStepsOfTheWallClock) {
    const Presentation p;
    WebState state(p);
    state.addMeter(1, "rtu /dev/ttyS0", 1);
    std::int64_t wall = 1796000000, mono = 500000;  // seconds, milliseconds
    state.setClock(
        [&] { return std::chrono::system_clock::time_point(std::chrono::seconds(wall)); });
    state.setMonotonic([&] { return mono; });
    state.round(1, reportOf({{"phase_voltage_a", 2301}}));
    struct Step {
        std::int64_t wallBy, monoMsBy;
        std::int64_t age;  // expected, by hand
    } steps[] = {
        {3, 3000, 3},                   // time passing
        {-86400, 2000, 5},              // the wall clock a day back
        {20 * 365 * 86400LL, 1000, 6},  // and twenty years ahead
        {-20 * 365 * 86400LL, 400, 6},  // and back
    };
    for (const Step& s : steps) {
        wall += s.wallBy;
        mono += s.monoMsBy;
        EXPECT_EQ(state.meter(1)["age_seconds"].asInt64(), s.age) << "wall " << wall;
    }
}

// --- The server ----------------------------------------------------------------------

using ChartPoint = SeriesPoint;
using SeriesSource = std::function<std::vector<ChartPoint>(
    unsigned dataId, const std::string& signalId, std::int64_t from, std::int64_t to,
    std::size_t maxPoints)>;

// A history that answers the server with what the test's function gives.
class FunctionHistory : public HistoryReader {
  public:
    explicit FunctionHistory(SeriesSource series) : series_(std::move(series)) {}
    std::vector<SeriesPoint> series(unsigned dataId, const std::string& signalId, std::int64_t from,
                                    std::int64_t to, std::size_t maxPoints) override {
        return series_(dataId, signalId, from, to, maxPoints);
    }

  private:
    SeriesSource series_;
};

class Server : public ::testing::Test {
  protected:
    void start(HttpOptions options = {}, SeriesSource series = {}) {
        options.listen = "127.0.0.1:0";
        state_.addMeter(1, "tcp 127.0.0.1:502", 1);
        state_.round(1, reportOf({{"phase_voltage_a", 2301}, {"frequency", 5002}}));
        state_.answering(1, true);
        if (series) history_ = std::make_unique<FunctionHistory>(std::move(series));
        server_ = std::make_unique<HttpServer>(options, state_, presentation_, history_.get());
        if (quality_) server_->setQuality(quality_);
        if (energy_) server_->setEnergy(energy_);
        std::string error;
        ASSERT_TRUE(server_->start(error)) << error;
        state_.onChange([this](unsigned id) { server_->meterChanged(id); });
        port_ = server_->port();
    }
    void TearDown() override {
        if (server_) server_->stop();
    }

    Presentation presentation_ =
        presentationOf(R"({"phase_voltage_a": {"label": "Va", "scale": 0.1, "unit": "V"},
                           "frequency": {"scale": 0.01, "unit": "Hz"}})");
    WebState state_{presentation_};
    std::unique_ptr<FunctionHistory> history_;
    QualitySource quality_;  // set before start(): a supply-quality report is kept
    EnergyQuery energy_;     // set before start(): energy is kept
    std::unique_ptr<HttpServer> server_;
    int port_ = 0;
};

TEST_F(Server, StatusCodesAndHeaders) {
    start();
    const std::string bigHeader = "X-Big: " + std::string(64 * 1024, 'a') + "\r\n";
    struct Case {
        const char* method;
        std::string path;
        std::string extra;
        int status;
        const char* type;  // expected Content-Type prefix; nullptr: any
    } cases[] = {
        {"GET", "/", "", 200, "text/html"},
        {"GET", "/index.html", "", 200, "text/html"},
        {"GET", "/page.js", "", 200, "text/javascript"},
        {"GET", "/page.css", "", 200, "text/css"},
        {"GET", "/quality.html", "", 200, "text/html"},
        {"GET", "/quality.js", "", 200, "text/javascript"},
        {"GET", "/quality.css", "", 200, "text/css"},
        {"HEAD", "/", "", 200, "text/html"},
        {"GET", "/api/meters", "", 200, "application/json"},
        {"GET", "/api/meters/1", "", 200, "application/json"},
        {"GET", "/api/meters/2", "", 404, "application/json"},
        {"GET", "/api/meters/1x", "", 404, "application/json"},
        {"GET", "/api/meters/99999999999999999999", "", 404, "application/json"},
        {"GET", "/api/alarms", "", 200, "application/json"},
        {"GET", "/api/signals", "", 200, "application/json"},
        {"GET", "/metrics", "", 200, "text/plain; version=0.0.4"},
        {"GET", "/../../etc/passwd", "", 404, nullptr},
        {"GET", "/%2e%2e/%2e%2e/etc/passwd", "", 404, nullptr},
        {"GET", "/web/index.html", "", 404, nullptr},
        {"GET", "/api/history?data_id=1&signal=frequency", "", 404, "application/json"},
        {"POST", "/api/meters", "", 405, nullptr},
        {"PUT", "/", "", 405, nullptr},
        {"DELETE", "/api/meters/1", "", 405, nullptr},
        {"OPTIONS", "/", "", 405, nullptr},
        {"GET", "/", bigHeader, 431, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.path);
        testhttp::Response r = testhttp::request(port_, c.method, c.path, c.extra);
        EXPECT_EQ(r.status, c.status);
        if (c.type != nullptr) {
            EXPECT_EQ(r.headers["content-type"].rfind(c.type, 0), 0u);
        }
        if (c.status == 405) {
            EXPECT_EQ(r.headers["allow"], "GET, HEAD");
        }
        if (c.status < 400) {
            EXPECT_NE(r.headers["content-security-policy"].find("script-src 'self'"),
                      std::string::npos);
            EXPECT_EQ(r.headers["x-content-type-options"], "nosniff");
        }
        if (std::string(c.method) == "HEAD") {
            EXPECT_TRUE(r.body.empty());
        }
    }
    const Json::Value meter = parsed(testhttp::get(port_, "/api/meters/1").body);
    EXPECT_EQ(meter["values"]["phase_voltage_a"].asDouble(), 230.1);
    EXPECT_EQ(meter["status"].asString(), "online");
    // A request with a body that is refused leaves the server serving.
    EXPECT_EQ(testhttp::request(port_, "POST", "/", "", std::string(100000, 'x')).status, 405);
    EXPECT_EQ(testhttp::get(port_, "/api/meters").status, 200);
}

TEST_F(Server, HistoryScaledAndItsArgumentsChecked) {
    std::vector<std::tuple<unsigned, std::string, std::int64_t, std::int64_t, std::size_t>> asked;
    start({}, [&](unsigned id, const std::string& signal, std::int64_t from, std::int64_t to,
                  std::size_t points) {
        asked.emplace_back(id, signal, from, to, points);
        return std::vector<ChartPoint>{{1000, 4998, 5000, 5003}, {1060, 5001, 5002, 5004}};
    });
    struct Case {
        std::string query;
        int status;
    } cases[] = {
        {"data_id=1&signal=frequency&from=1000&to=4600&points=2", 200},
        {"data_id=1&signal=frequency", 200},
        {"data_id=2&signal=frequency", 404},
        {"signal=frequency", 400},
        {"data_id=1", 400},
        {"data_id=1&signal=no_such_signal", 400},
        {"data_id=1&signal=wiring_mode", 400},  // a setting has no chart
        {"data_id=1&signal=frequency&points=0", 400},
        {"data_id=1&signal=frequency&points=1001", 400},
        {"data_id=1&signal=frequency&from=10&to=5", 400},
        {"data_id=1&signal=frequency&from=x", 400},
        {"data_id=-1&signal=frequency", 400},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.query);
        EXPECT_EQ(testhttp::get(port_, "/api/history?" + c.query).status, c.status);
    }
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_EQ(asked[0], std::make_tuple(1u, std::string("frequency"), std::int64_t{1000},
                                        std::int64_t{4600}, std::size_t{2}));
    EXPECT_EQ(std::get<3>(asked[1]) - std::get<2>(asked[1]), 3600);  // the last hour
    EXPECT_EQ(std::get<4>(asked[1]), 500u);

    const Json::Value h = parsed(
        testhttp::get(port_, "/api/history?data_id=1&signal=frequency&from=1000&to=4600").body);
    EXPECT_EQ(h["unit"].asString(), "Hz");
    ASSERT_EQ(h["points"].size(), 2u);
    EXPECT_EQ(h["points"][0][0].asInt64(), 1000);
    EXPECT_EQ(h["points"][0][1].asDouble(), 49.98);
    EXPECT_EQ(h["points"][0][2].asDouble(), 50);
    EXPECT_EQ(h["points"][1][3].asDouble(), 50.04);
}

TEST_F(Server, NoQualityReportUnlessOneIsKept) {
    start();
    EXPECT_EQ(parsed(testhttp::get(port_, "/api/quality").body)["kept"], false);
    const testhttp::Response r = testhttp::get(port_, "/api/quality?data_id=1");
    EXPECT_EQ(r.status, 404);
    EXPECT_EQ(parsed(r.body)["error"].asString(),
              "no supply-quality report is kept (see quality.nominal_v)");
}

TEST_F(Server, QualityWeeksAndTheirArgumentsChecked) {
    std::vector<std::pair<unsigned, std::string>> asked;
    quality_ = [&](unsigned id, const std::string& week, Json::Value& document,
                   std::string& error) {
        asked.emplace_back(id, week);
        if (week == "bad") {
            error = "week: expected a week as 2026-W49, got \"bad\"";
            return false;
        }
        if (week == "2026-W48") return true;  // no values that week
        document["week"] = week.empty() ? "2026-W50" : week;
        document["criteria"][0]["worst"] = 253.1;
        return true;
    };
    start();
    const struct {
        std::string query;
        int status;
        const char* text;  // the week or the error
    } cases[] = {
        {"", 200, nullptr},
        {"?data_id=1", 200, "2026-W50"},
        {"?data_id=1&week=2026-W49", 200, "2026-W49"},
        {"?data_id=1&week=2026-W48", 404, "no values for this week"},
        {"?data_id=1&week=bad", 400, "week: expected a week as 2026-W49, got \"bad\""},
        {"?data_id=2", 404, "no such meter"},
        {"?data_id=x", 400, "data_id: expected a meter's data id"},
        {"?week=2026-W49", 200, nullptr},  // no meter named: whether one is kept
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.query);
        testhttp::Response r = testhttp::get(port_, "/api/quality" + c.query);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.headers["content-type"].rfind("application/json", 0), 0u);
        const Json::Value body = parsed(r.body);
        if (c.text == nullptr)
            EXPECT_EQ(body["kept"], true);
        else
            EXPECT_EQ(body[c.status == 200 ? "week" : "error"].asString(), c.text);
    }
    // Numbers as the presented JSON writes them; the meter asked for is passed on.
    EXPECT_NE(testhttp::get(port_, "/api/quality?data_id=1").body.find("\"worst\":253.1"),
              std::string::npos);
    ASSERT_GE(asked.size(), 3u);
    EXPECT_EQ(asked[0], std::make_pair(1u, std::string()));
    EXPECT_EQ(asked[1], std::make_pair(1u, std::string("2026-W49")));
}

// The page asks for a chart only where there is a history to draw it from.
TEST_F(Server, HealthSaysWhetherAHistoryIsKept) {
    for (const bool kept : {false, true}) {
        SCOPED_TRACE(kept ? "with a history" : "without");
        SeriesSource series;
        if (kept)
            series = [](unsigned, const std::string&, std::int64_t, std::int64_t, std::size_t) {
                return std::vector<ChartPoint>{};
            };
        start({}, series);
        testhttp::Response r = testhttp::get(port_, "/api/health");
        EXPECT_EQ(r.status, 200);
        EXPECT_EQ(r.headers["content-type"].rfind("application/json", 0), 0u);
        EXPECT_EQ(parsed(r.body)["history"]["kept"], kept) << r.body;
        state_.onChange({});
        server_->stop();
        server_.reset();
    }
}

TEST_F(Server, EnergyIsAnsweredWhereItIsKept) {
    start();
    // Without energy kept: 404 with a reason.
    const auto none = testhttp::get(port_, "/api/energy?data_id=1");
    EXPECT_EQ(none.status, 404);
    EXPECT_EQ(parsed(none.body)["error"].asString(), "no energy is kept (see --energy)");
}

TEST_F(Server, EnergyQueriesReachTheEnergyRoom) {
    std::string asked;
    energy_ = [&](const auto& arg, std::string& reply) {
        asked = std::string(arg("data_id")) + " " + arg("period") + " " +
                (arg("counter") == nullptr ? "-" : arg("counter"));
        reply = R"({"periods":[]})";
        return 200u;
    };
    start();
    const auto r = testhttp::get(port_, "/api/energy?data_id=1&period=month");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(asked, "1 month -");
    EXPECT_TRUE(parsed(r.body)["periods"].isArray());
}

TEST_F(Server, BasicAuthentication) {
    HttpOptions o;
    o.credentials = "viewer:s3cret";
    start(o);
    struct Case {
        const char* authorization;  // header value; nullptr: none
        int status;
    } cases[] = {
        {nullptr, 401},
        {"Basic dmlld2VyOnMzY3JldA==", 200},  // viewer:s3cret
        {"Basic dmlld2VyOnMzY3JldHg=", 401},  // viewer:s3cretx
        {"Basic dmlld2VyOnMzY3Jl", 401},      // viewer:s3cre
        {"Basic b3RoZXI6czNjcmV0", 401},      // other:s3cret
        {"Basic !!!", 401},
        {"Bearer dmlld2VyOnMzY3JldA==", 401},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.authorization == nullptr ? "none" : c.authorization);
        const std::string extra = c.authorization == nullptr
                                      ? ""
                                      : std::string("Authorization: ") + c.authorization + "\r\n";
        for (const char* path : {"/", "/api/meters", "/metrics", "/api/events"}) {
            testhttp::Response r = testhttp::request(port_, "HEAD", path, extra);
            EXPECT_EQ(r.status, c.status) << path;
            if (c.status == 401) {
                EXPECT_NE(r.headers["www-authenticate"].find("Basic"), std::string::npos);
            }
        }
    }
}

TEST_F(Server, EventStreamSendsEachChangeAndCapsItsClients) {
    HttpOptions o;
    o.eventClients = 2;
    start(o);
    auto open = [&] {
        const int fd = testhttp::connectTo(port_);
        testhttp::sendAll(fd, "GET /api/events HTTP/1.1\r\nHost: x\r\n\r\n");
        return fd;
    };
    const int a = open();
    // The stream opens with the meter as it stands.
    std::string text = testhttp::readUntil(
        a, [](const std::string& t) { return t.find("\n\n", t.find("event: meter")) != t.npos; },
        10s);
    EXPECT_NE(text.find("Content-Type: text/event-stream"), std::string::npos) << text;
    EXPECT_NE(text.find("\"phase_voltage_a\":230.1"), std::string::npos) << text;

    const int b = open();
    testhttp::readUntil(
        b, [](const std::string& t) { return t.find("event: meter") != t.npos; }, 10s);
    // A third client is one too many.
    EXPECT_EQ(testhttp::get(port_, "/api/events").status, 503);

    // A round reaches both open streams.
    state_.round(1, reportOf({{"phase_voltage_a", 2400}}));
    for (int fd : {a, b}) {
        text = testhttp::readUntil(
            fd, [](const std::string& t) { return t.find("\"phase_voltage_a\":240") != t.npos; },
            10s);
        EXPECT_NE(text.find("\"phase_voltage_a\":240"), std::string::npos) << text;
    }
    // A client that leaves frees its place.
    close(a);
    bool reopened = false;
    for (int i = 0; i < 200 && !reopened; ++i) {
        state_.answering(1, true);  // lets the server see the closed stream
        const int c = testhttp::connectTo(port_);
        testhttp::sendAll(c, "GET /api/events HTTP/1.1\r\nHost: x\r\n\r\n");
        const std::string t = testhttp::readUntil(
            c, [](const std::string& s) { return s.find("\r\n\r\n") != s.npos; }, 2s);
        reopened = t.rfind("HTTP/1.1 200", 0) == 0;
        close(c);
        if (!reopened) std::this_thread::sleep_for(20ms);
    }
    EXPECT_TRUE(reopened);
    close(b);
}

// Idle connections, the way one client on the network can hold a small
// server: connect and send nothing. While 300 of them are held from
// 127.0.0.2 (each one the server closes replaced at once), requests from
// 127.0.0.1 are answered within a second; and one that sends half a request
// is closed after a few seconds.
TEST_F(Server, IdleConnectionsFromOneAddressLeaveRoomForOthers) {
    start();
    constexpr std::size_t kHeld = 300;
    std::atomic<bool> stop{false}, full{false};
    std::atomic<std::size_t> closedByServer{0};
    std::thread holder([&] {
        std::vector<int> held;
        const auto until = std::chrono::steady_clock::now() + 30s;
        std::size_t opened = 0;
        while (!stop && std::chrono::steady_clock::now() < until && opened < 20 * kHeld) {
            // Those the server closed (or refused with a status) go; new ones
            // take their place.
            for (std::size_t i = 0; i < held.size();) {
                pollfd p{held[i], POLLIN, 0};
                if (poll(&p, 1, 0) > 0) {
                    close(held[i]);
                    held[i] = held.back();
                    held.pop_back();
                    ++closedByServer;
                } else {
                    ++i;
                }
            }
            while (held.size() < kHeld && opened < 20 * kHeld) {
                const int fd = testhttp::connectTo(port_, "127.0.0.2");
                if (fd < 0) break;
                held.push_back(fd);
                ++opened;
            }
            if (held.size() >= kHeld) full = true;
            std::this_thread::sleep_for(5ms);
        }
        for (int fd : held) close(fd);
    });
    // Held, and the holder already busy replacing those the server let go.
    const bool holding = [&] {
        const auto until = std::chrono::steady_clock::now() + 20s;
        while ((!full || closedByServer < kHeld) && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(10ms);
        return full.load();
    }();
    EXPECT_TRUE(holding) << "the holder never had its connections open";
    for (int i = 0; i < 5 && holding; ++i) {
        SCOPED_TRACE("request " + std::to_string(i));
        const auto asked = std::chrono::steady_clock::now();
        const testhttp::Response r = testhttp::request(port_, "GET", "/api/meters", "", "", 5s);
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - asked);
        EXPECT_EQ(r.status, 200);
        EXPECT_LT(took.count(), 1000) << "answered after " << took.count() << " ms";
    }
    // Beyond its share, the holder's connections were let go at once, and
    // those it opened in their place too.
    EXPECT_GE(closedByServer.load(), kHeld);
    stop = true;
    holder.join();

    // Half a request, then nothing: closed within a few seconds, not held
    // for half a minute.
    const int half = testhttp::connectTo(port_, "127.0.0.3");
    ASSERT_GE(half, 0);
    ASSERT_TRUE(testhttp::sendAll(half, "GET /api/meters HTTP/1.1\r\nHost: x\r\n"));
    const auto sent = std::chrono::steady_clock::now();
    pollfd p{half, POLLIN, 0};
    const int ready = poll(&p, 1, 15000);
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - sent);
    char byte;
    EXPECT_EQ(ready, 1) << "still open after " << waited.count() << " ms";
    EXPECT_LE(::recv(half, &byte, 1, MSG_DONTWAIT), 0) << "answered half a request";
    EXPECT_LT(waited.count(), 10000);
    close(half);
    // And the server serves on.
    EXPECT_EQ(testhttp::get(port_, "/api/meters").status, 200);
}

}  // namespace
}  // namespace vedhost
