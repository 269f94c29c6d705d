// The user's presentation (labels, scales, units), the --show table it feeds
// and the decoded history export, on reports and records the meter model
// makes.
#include "presentation/presentation.h"

#include <gtest/gtest.h>
#include <json/reader.h>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

#include "common/json_file.h"
#include "config/config.h"
#include "history/history_command.h"
#include "history/history_export.h"
#include "presentation/report_table.h"
#include "ved96/ved96.h"

namespace vedhost {
namespace {

const std::string kExamples = VED_SOURCE_DIR "/examples/";

TEST(NumberText, SinglePrecisionNoiseIsRoundedAway) {
    struct Case {
        double value;
        const char* text;
    };
    const Case cases[] = {
        {static_cast<double>(1.0f / 10.0f), "0.1"},
        {static_cast<double>(12.0f / 10.0f), "1.2"},
        {2201 * 0.1, "220.1"},
        {230, "230"},
        {65535, "65535"},
        {6553.5, "6553.5"},
        {0.001, "0.001"},
        {-3.5, "-3.5"},
        {0, "0"},
        {1e20, "1e+20"},
    };
    for (const Case& c : cases) EXPECT_EQ(numberText(c.value), c.text) << c.value;
    EXPECT_EQ(roundToSingle(static_cast<double>(1.0f / 10.0f)), 0.1);
}

TEST(DisplayWidth, WideCharactersCountTwo) {
    struct Case {
        const char* text;
        std::size_t width;
    };
    const Case cases[] = {
        {"", 0},
        {"phase_voltage_a", 15},
        {"A相电压", 7},
        {"正向有功电能脉冲", 16},
        {"e\xCC\x81", 1},  // e and a combining acute accent
        {"\xFF"
         "a",
         2},  // a stray byte shows as one character
    };
    for (const Case& c : cases) EXPECT_EQ(displayWidth(c.text), c.width) << c.text;
}

Json::Value parse(const std::string& text) {
    Json::Value value;
    std::string error;
    EXPECT_TRUE(parseJson(text, value, error)) << error;
    return value;
}

TEST(Presentation, RefusesWhatItCannotApply) {
    struct Case {
        const char* document;
        const char* reason;
    };
    const Case cases[] = {
        {R"([])", "expected an object"},
        {R"({"phase_voltage_x": {}})", "\"phase_voltage_x\": no signal has this id"},
        {R"({"alert_array": {}})", "no signal has this id"},
        {R"({"current_a": "A"})", "expected an object"},
        {R"({"current_a": {"scale": 0}})", "non-zero number"},
        {R"({"current_a": {"scale": "0.1"}})", "non-zero number"},
        {R"({"di1": {"scale": 2}})", "only a numeric signal"},
        {R"({"wiring_mode": {"scale": 2}})", "only a numeric signal"},
        {R"({"current_a": {"label": 7}})", "\"label\" must be text"},
        {R"({"current_a": {"unit": "A\nB"}})", "\"unit\" must be text on one line"},
        {R"({"current_a": {"lable": "Ia"}})", "unknown key \"lable\""},
        {R"({"current_a": {"device_class": "Current"}})", "\"device_class\" must be a class"},
        {R"({"current_a": {"device_class": ""}})", "\"device_class\" must be a class"},
        {R"({"current_a": {"state_class": "increasing"}})", "\"state_class\" must be"},
        {R"({"di1": {"state_class": "measurement"}})", "only a numeric signal has a state"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.document);
        Presentation presentation;
        std::string error;
        ASSERT_TRUE(presentation.parse(parse(R"({"current_b": {"label": "Ib"}})"), error));
        EXPECT_FALSE(presentation.parse(parse(c.document), error));
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
        // A refused presentation leaves the one before it in place.
        ASSERT_NE(presentation.find("current_b"), nullptr);
    }
}

// A meter whose report and record hold chosen values.
class Shown : public ::testing::Test {
  protected:
    ved96 meter;
    Presentation example;

    void SetUp() override {
        std::string error;
        ASSERT_TRUE(example.load(kExamples + "presentation.json", error)) << error;
        meter.data_.phase_voltage_a = 2302;
        meter.data_.current_a = 20395;
        meter.data_.power_factor_total = 959;
        meter.data_.frequency = 5002;
        meter.data_.energy_fwd_active = 12;  // 1.2 in single precision
        meter.data_.limit_alarm_status = 0x0001;
        meter.data_.di_status = 0x0002;
        meter.data_.contact_pulse_type = 1;
        meter.data_.update_time = {2024, 3, 7, 9, 5, 2};
        meter.roundTime_ = boost::posix_time::time_from_string("2024-03-07 09:05:02");
        meter.GenJsonData();
    }
    std::vector<SignalValue> values() const { return reportValues(meter.jsonData_); }
};

TEST_F(Shown, ValuesAreScaledAndRoundedOnlyWhereAsked) {
    const Json::Value presented = example.values(values());
    EXPECT_EQ(presented["phase_voltage_a"].asDouble(), 230.2);
    EXPECT_EQ(presented["current_a"].asDouble(), 20.395);
    EXPECT_EQ(presented["frequency"].asDouble(), 50.02);
    EXPECT_EQ(presented["energy_fwd_active"].asDouble(), 1.2);
    EXPECT_EQ(presented["active_power_a"].asDouble(), 0.0);  // no style: as reported
    EXPECT_EQ(presented["alarm_a_over_voltage"], true);
    EXPECT_EQ(presented["contact_pulse_type"], "正向有功电能脉冲");
    EXPECT_EQ(presentedJson(Json::Value(presented["phase_voltage_a"])), "230.2");
    // The report keeps the meter's own values.
    EXPECT_EQ(meter.jsonData_["A相电压"].asDouble(), 2302.0);
    EXPECT_EQ(meter.jsonData_["正向有功电能"].asDouble(), static_cast<double>(1.2f));
}

// Every line within the width counted in terminal columns, and every field
// whole on one line.
void expectFits(const std::string& table, std::size_t width,
                const std::vector<std::string>& fields) {
    std::istringstream lines(table);
    std::string line;
    std::vector<std::string> all;
    while (std::getline(lines, line)) {
        EXPECT_LE(displayWidth(line), width) << line;
        EXPECT_EQ(line.find_last_not_of(' ') + 1, line.size()) << "trailing blanks: " << line;
        all.push_back(line);
    }
    for (const std::string& field : fields) {
        bool whole = false;
        for (const std::string& l : all) whole = whole || l.find(field) != std::string::npos;
        EXPECT_TRUE(whole) << "\"" << field << "\" is not whole on one line in\n" << table;
    }
}

TEST_F(Shown, TableFitsItsWidthAndBreaksOnlyBetweenFields) {
    const std::vector<std::string> styled = {
        "A相电压 Va 230.2 V",
        "A相电流 Ia 20.395 A",
        "总功率因数 PF 0.959",
        "频率 f 50.02 Hz",
        "正向有功电能 import 1.2 kWh",
        "A相过压告警 A over V ALARM",
        "DI2 closed",
        "DI1 open",
        "接点脉冲类型 contact_pulse_type 正向有功电能脉冲",
        "接线方式 wiring DEMO",
    };
    const std::string table = reportTable(meter.jsonData_, 7, example);
    EXPECT_EQ(table.rfind("meter data id 7   updated 2024-03-07T09:05:02\n", 0), 0u) << table;
    expectFits(table, 80, styled);

    const Presentation none;
    const std::string plain = reportTable(meter.jsonData_, 7, none);
    expectFits(plain, 80,
               {"A相电压 phase_voltage_a 2302", "正向有功电能 energy_fwd_active 1.2",
                "计算中性线电流 neutral_current_calc 0", "A相过压告警 alarm_a_over_voltage ALARM"});
    expectFits(reportTable(meter.jsonData_, 7, none, 50), 50, {"A相电压 phase_voltage_a 2302"});
}

TEST_F(Shown, SignalsThePresentationNamesAreShownToo) {
    Presentation presentation;
    std::string error;
    ASSERT_TRUE(
        presentation.parse(parse(R"({"voltage_h5_b": {"label": "V5b", "unit": "‰"}})"), error))
        << error;
    const std::string table = reportTable(meter.jsonData_, 1, presentation);
    EXPECT_NE(table.find("more:\nB相电压H5 V5b 0 ‰\n"), std::string::npos) << table;
}

// ---- History export ----------------------------------------------------------

std::vector<std::string> split(const std::string& text, char by) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, by)) parts.push_back(part);
    if (!text.empty() && text.back() == by) parts.push_back("");
    return parts;
}

TEST_F(Shown, HistoryDecodesRecordsByIdInEitherFormat) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&meter.data_);
    std::vector<HistoryRow> rows(3);
    rows[0] = {1, 2, "2024-03-07T09:05:01.500", {bytes, bytes + sizeof meter.data_}};
    rows[1] = {2, 2, "2024-03-07T09:05:02.000", {bytes, bytes + sizeof meter.data_}};
    rows[2] = {3, 2, "2024-03-07T09:05:03.000", {1, 2, 3}};  // not a meter record

    HistoryQuery query;
    query.presentation = example;
    query.since = "2024-03-07T09:05:02";
    query.format = HistoryQuery::Format::Json;
    std::ostringstream json;
    EXPECT_EQ(writeHistory(rows, query, json), 2u);
    const auto lines = split(json.str(), '\n');
    ASSERT_EQ(lines.size(), 3u);  // two lines and the empty rest
    const Json::Value first = parse(lines[0]);
    EXPECT_EQ(first["record"], 2);
    EXPECT_EQ(first["data_id"], 2);
    EXPECT_EQ(first["time"], "2024-03-07T09:05:02.000");
    EXPECT_EQ(first["values"].size(), 269u);
    EXPECT_EQ(first["values"]["phase_voltage_a"].asDouble(), 230.2);
    EXPECT_EQ(first["values"]["update_time"], "2024-03-07T09:05:02");
    EXPECT_NE(lines[0].find("\"energy_fwd_active\":1.2,"), std::string::npos) << lines[0];
    const Json::Value odd = parse(lines[1]);
    EXPECT_TRUE(odd["values"].isNull());
    EXPECT_EQ(odd["bytes"], 3);

    query.since.clear();
    query.format = HistoryQuery::Format::Csv;
    std::ostringstream csv;
    EXPECT_EQ(writeHistory(rows, query, csv), 3u);
    const auto table = split(csv.str(), '\n');
    ASSERT_EQ(table.size(), 5u);
    const auto header = split(table[0], ',');
    ASSERT_EQ(header.size(), 3u + 269u);
    EXPECT_EQ(header[3], "phase_voltage_a");
    EXPECT_EQ(header.back(), "update_time");
    const auto row = split(table[1], ',');
    ASSERT_EQ(row.size(), header.size());
    EXPECT_EQ(row[2], "2024-03-07T09:05:01.500");
    EXPECT_EQ(row[3], "230.2");
    std::map<std::string, std::string> cell;
    for (std::size_t i = 0; i < header.size(); ++i) cell[header[i]] = row[i];
    EXPECT_EQ(cell["alarm_a_over_voltage"], "1");
    EXPECT_EQ(cell["di1"], "0");
    EXPECT_EQ(cell["energy_fwd_active"], "1.2");
    EXPECT_EQ(cell["contact_pulse_type"], "正向有功电能脉冲");
    const auto empty = split(table[3], ',');
    ASSERT_EQ(empty.size(), header.size());
    EXPECT_EQ(empty[3], "");
}

// ---- Where a presentation comes from -----------------------------------------

TEST(PresentationOptions, FromTheCommandLineOrTheConfigDocument) {
    HostConfig config;
    std::string error;
    ASSERT_TRUE(parseCommandLine(
        {"--tcp", "h:1", "--presentation", kExamples + "presentation.json"}, "p.so", config, error))
        << error;
    ASSERT_NE(config.presentation.find("phase_voltage_a"), nullptr);
    EXPECT_EQ(config.presentation.find("phase_voltage_a")->scale, 0.1);

    std::vector<LineConfig> lines;
    Presentation presentation;
    ASSERT_TRUE(parseConfigDocument(
        R"({"lines": [{"rtu": "a", "meters": [{}]}], "presentation": {"di1": {"label": "door"}}})",
        1000, lines, error, &presentation))
        << error;
    EXPECT_EQ(presentation.find("di1")->label, "door");
    EXPECT_FALSE(parseConfigDocument(
        R"({"lines": [{"rtu": "a", "meters": [{}]}], "presentation": {"di9": {}}})", 1000, lines,
        error, &presentation));
    EXPECT_NE(error.find("presentation \"di9\": no signal has this id"), std::string::npos)
        << error;
    EXPECT_FALSE(parseCommandLine({"--tcp", "h:1", "--presentation", "/no/such/file"}, "p.so",
                                  config, error));

    // A file nested past the reader's limit is refused, not a crash.
    const std::string deep = testing::TempDir() + "deep-presentation.json";
    std::ofstream(deep) << std::string(100000, '[') << std::string(100000, ']');
    EXPECT_FALSE(config.presentation.load(deep, error));
    EXPECT_NE(error.find("presentation " + deep + ": bad JSON"), std::string::npos) << error;
    std::remove(deep.c_str());
}

TEST(PresentationOptions, WithoutOneTheBuiltInAppliesExceptToTheConsoleTable) {
    HostConfig config;
    std::string error;
    ASSERT_TRUE(parseCommandLine({"--tcp", "h:1"}, "p.so", config, error)) << error;
    EXPECT_TRUE(config.presentation.isBuiltIn());
    ASSERT_NE(config.presentation.find("energy_fwd_active"), nullptr);
    ASSERT_TRUE(parseCommandLine(
        {"--tcp", "h:1", "--presentation", kExamples + "presentation.json"}, "p.so", config, error))
        << error;
    EXPECT_FALSE(config.presentation.isBuiltIn());
}

// The built-in rows and the example file a user starts from say the same,
// and the energy counters are what an energy dashboard accepts: written out
// here by hand, not read from the table under test.
TEST(BuiltInPresentation, MatchesTheExampleFileAndClassesTheCounters) {
    Presentation example;
    std::string error;
    ASSERT_TRUE(example.load(kExamples + "presentation.json", error)) << error;
    const Presentation& builtIn = Presentation::builtIn();
    ASSERT_EQ(builtIn.ids(), example.ids());
    for (const std::string& id : example.ids()) {
        SCOPED_TRACE(id);
        const SignalStyle& a = *builtIn.find(id);
        const SignalStyle& b = *example.find(id);
        EXPECT_EQ(a.label, b.label);
        EXPECT_EQ(a.scale, b.scale);
        EXPECT_EQ(a.unit, b.unit);
        EXPECT_EQ(a.deviceClass, b.deviceClass);
        EXPECT_EQ(a.stateClass, b.stateClass);
    }
    const struct {
        const char* id;
        double scale;
        const char* unit;
        const char* deviceClass;
        const char* stateClass;
    } rows[] = {
        {"phase_voltage_a", 0.1, "V", "voltage", "measurement"},
        {"current_c", 0.001, "A", "current", "measurement"},
        {"active_power_total", 1, "W", "power", "measurement"},
        {"power_factor_total", 0.001, "", "power_factor", "measurement"},
        {"frequency", 0.01, "Hz", "frequency", "measurement"},
        {"energy_fwd_active", 1, "kWh", "energy", "total_increasing"},
        {"energy_rev_active", 1, "kWh", "energy", "total_increasing"},
        {"energy_fwd_reactive", 1, "kvarh", "reactive_energy", "total_increasing"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.id);
        const SignalStyle* style = builtIn.find(row.id);
        ASSERT_NE(style, nullptr);
        EXPECT_EQ(style->scale, row.scale);
        EXPECT_EQ(style->unit, row.unit);
        EXPECT_EQ(style->deviceClass, row.deviceClass);
        EXPECT_EQ(style->stateClass, row.stateClass);
    }
}

TEST(PresentationOptions, HistoryFormatSinceAndPresentation) {
    HistoryQuery query;
    std::string error;
    ASSERT_TRUE(parseHistoryCommand({"h.db", "--since", "2024-03-07 09:05", "--format", "csv",
                                     "--presentation", kExamples + "presentation.json"},
                                    query, error))
        << error;
    EXPECT_EQ(query.since, "2024-03-07T09:05:00");
    EXPECT_EQ(query.format, HistoryQuery::Format::Csv);
    EXPECT_NE(query.presentation.find("current_a"), nullptr);
    ASSERT_TRUE(parseHistoryCommand({"h.db", "--since", "2024-03-07"}, query, error)) << error;
    EXPECT_EQ(query.since, "2024-03-07T00:00:00");
    EXPECT_EQ(query.format, HistoryQuery::Format::List);

    const struct {
        std::vector<std::string> args;
        const char* reason;
    } rows[] = {
        {{"h.db", "--format", "xml"}, "--format: expected json or csv"},
        {{"h.db", "--since", "yesterday"}, "--since"},
        {{"h.db", "--since", "2024-13-01"}, "--since"},
        {{"h.db", "--since", "2024-03-07T09:05:02.5"}, "--since"},
        {{"h.db", "--since"}, "--since needs a value"},
        {{"h.db", "--presentation", "a", "--config", "b"}, "exclude each other"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.reason);
        EXPECT_FALSE(parseHistoryCommand(row.args, query, error));
        EXPECT_NE(error.find(row.reason), std::string::npos) << error;
    }
}

TEST(PresentationOptions, TheExampleConfigLoads) {
    HostConfig config;
    std::string error;
    ASSERT_TRUE(parseCommandLine({"--config", kExamples + "vedhost.json"}, "p.so", config, error))
        << error;
    ASSERT_EQ(config.lines.size(), 2u);
    EXPECT_EQ(config.lines[0].meters.size(), 3u);
    EXPECT_EQ(config.lines[0].meters[1].settings["appSetting"]["b_mode"], 5);
    EXPECT_EQ(config.lines[1].name(), "tcp 192.168.1.20:502");
    ASSERT_NE(config.presentation.find("current_a"), nullptr);
    EXPECT_EQ(config.presentation.find("current_a")->unit, "A");
}

}  // namespace
}  // namespace vedhost
