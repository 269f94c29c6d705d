// The concerns' tables: the line and meter members refused alike in both
// spellings, check-config's view of the lines reading back as the same lines,
// and every plain row showing back the value it stored.
#include <gtest/gtest.h>

#include <cmath>

#include "common/json_file.h"
#include "common/json_text.h"
#include "config/config.h"
#include "config/options.h"

namespace vedhost {
namespace {

// A document of one line with these members and one meter with these.
std::string oneLine(const std::string& line, const std::string& meter = "") {
    return R"({"lines": [{)" + line + (line.empty() ? "" : ", ") + R"("meters": [{)" + meter +
           "}]}]}";
}

TEST(LineMembers, RefusedWithTheWholeMessageInEitherSpelling) {
    // The messages as users have met them, written out by hand.
    const struct {
        const char* what;
        std::vector<std::string> args;  // after --tcp h:1 unless they name the line themselves
        const char* option;             // nullptr: the document only
        std::string document;
        const char* member;
    } rows[] = {
        {"baud",
         {"--baud", "49"},
         "--baud: expected a number 50..4000000, got \"49\"",
         oneLine(R"("rtu": "a", "baud": 4000001)"),
         "lines[0]: \"baud\" must be an integer 50..4000000, got 4000001"},
        {"data bits",
         {"--data-bits", "9"},
         "--data-bits: expected a number 5..8, got \"9\"",
         oneLine(R"("rtu": "a", "data_bits": 4)"),
         "lines[0]: \"data_bits\" must be an integer 5..8, got 4"},
        {"stop bits",
         {"--stop-bits", "3"},
         "--stop-bits: expected a number 1..2, got \"3\"",
         oneLine(R"("rtu": "a", "stop_bits": 1.5)"),
         "lines[0]: \"stop_bits\" must be an integer 1..2, got 1.5"},
        {"frame gap",
         {"--frame-gap-ms", "-1"},
         "--frame-gap-ms: expected a number 0..60000, got \"-1\"",
         oneLine(R"("tcp": "h:1", "frame_gap_ms": 60001)"),
         "lines[0]: \"frame_gap_ms\" must be an integer 0..60000, got 60001"},
        {"a line's time-out",
         {},
         nullptr,
         oneLine(R"("tcp": "h:1", "timeout_ms": 0)"),
         "lines[0]: \"timeout_ms\" must be an integer 1..600000, got 0"},
        {"parity",
         {"--parity", "e"},
         "--parity: expected N, E or O, got \"e\"",
         oneLine(R"("rtu": "a", "parity": "")"),
         "lines[0]: \"parity\" must be \"N\", \"E\" or \"O\""},
        {"parity of another kind",
         {"--parity", "NE"},
         "--parity: expected N, E or O, got \"NE\"",
         oneLine(R"("rtu": "a", "parity": 0)"),
         "lines[0]: \"parity\" must be \"N\", \"E\" or \"O\""},
        {"endpoint",
         {"--tcp", "h"},
         "--tcp: expected HOST:PORT, got \"h\"",
         oneLine(R"("tcp": "h:70000")"),
         "lines[0]: \"tcp\" must be \"HOST:PORT\""},
        {"serial device",
         {},
         nullptr,
         oneLine(R"("rtu": "")"),
         "lines[0]: \"rtu\" must name a serial device"},
        {"both ways to a line",
         {"--rtu", "a", "--tcp", "h:1"},
         "--rtu and --tcp exclude each other",
         oneLine(R"("rtu": "a", "tcp": "h:1")"),
         "lines[0]: give exactly one of \"rtu\" and \"tcp\""},
        {"no way to a line",
         {},
         nullptr,
         oneLine(""),
         "lines[0]: give exactly one of \"rtu\" and \"tcp\""},
        {"slave",
         {"--slave", "0"},
         "--slave: expected a number 1..247, got \"0\"",
         oneLine(R"("tcp": "h:1")", R"("slave": 248)"),
         "lines[0].meters[0]: \"slave\" must be an integer 1..247, got 248"},
        {"data id",
         {"--data-id", "0"},
         "--data-id: expected a number 1..2147483647, got \"0\"",
         oneLine(R"("tcp": "h:1")", R"("data_id": "1")"),
         "lines[0].meters[0]: \"data_id\" must be an integer 1..2147483647, got \"1\""},
        {"settings file",
         {"--settings", "/no/such.json"},
         "cannot read /no/such.json",
         oneLine(R"("tcp": "h:1")", R"("settings": "/no/such.json")"),
         "lines[0].meters[0]: cannot read /no/such.json"},
        {"settings of another kind",
         {},
         nullptr,
         oneLine(R"("tcp": "h:1")", R"("settings": [])"),
         "lines[0].meters[0]: \"settings\" must be an object or a file name"},
        {"a meter's member on the line",
         {},
         nullptr,
         oneLine(R"("tcp": "h:1", "slave": 2)"),
         "lines[0]: unknown key \"slave\""},
        {"a line's member on a meter",
         {},
         nullptr,
         oneLine(R"("tcp": "h:1")", R"("baud": 9600)"),
         "lines[0].meters[0]: unknown key \"baud\""},
        // With two faults, the one the document has always named first: how
        // the line is reached, then its numbers, then the rest.
        {"the endpoint before the numbers",
         {},
         nullptr,
         oneLine(R"("tcp": "h", "baud": 1)"),
         "lines[0]: \"tcp\" must be \"HOST:PORT\""},
        {"the numbers before the parity",
         {},
         nullptr,
         oneLine(R"("rtu": "a", "parity": "X", "stop_bits": 0)"),
         "lines[0]: \"stop_bits\" must be an integer 1..2, got 0"},
        {"a meter's numbers before its settings",
         {},
         nullptr,
         oneLine(R"("tcp": "h:1")", R"("settings": 1, "slave": 0)"),
         "lines[0].meters[0]: \"slave\" must be an integer 1..247, got 0"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        std::string error;
        if (row.option != nullptr) {
            std::vector<std::string> args = row.args;
            if (args[0] != "--tcp" && args[0] != "--rtu")
                args.insert(args.begin(), {"--tcp", "h:1"});
            HostConfig config;
            EXPECT_FALSE(parseCommandLine(args, "p.so", config, error));
            EXPECT_EQ(error, row.option);
        }
        std::vector<LineConfig> lines;
        EXPECT_FALSE(parseConfigDocument(row.document, 1000, lines, error));
        EXPECT_EQ(error, row.member);
    }
}

TEST(LineMembers, CheckConfigsViewOfTheLinesReadsBackAsTheSameLines) {
    std::vector<LineConfig> lines;
    std::string error;
    ASSERT_TRUE(parseConfigDocument(R"({"lines": [
        {"rtu": "/dev/ttyS2", "baud": 19200, "parity": "O", "data_bits": 7, "stop_bits": 2,
         "timeout_ms": 300, "frame_gap_ms": 4,
         "meters": [{"slave": 5, "data_id": 9, "settings": {"appSetting": {"b_mode": 5}}}]},
        {"tcp": "h:1502", "meters": [{"data_id": 3}]}]})",
                                    700, lines, error))
        << error;
    const Json::Value shown = linesJson(lines);
    // A TCP endpoint has no serial framing to show; written out by hand.
    Json::Value tcp;
    ASSERT_TRUE(parseJson(R"({"tcp": "h:1502", "timeout_ms": 700, "frame_gap_ms": 0,
                              "meters": [{"slave": 1, "data_id": 3, "settings": {}}]})",
                          tcp, error));
    EXPECT_EQ(shown[1], tcp) << prettyJson(shown[1]);
    EXPECT_EQ(shown[0]["parity"], "O");
    EXPECT_EQ(shown[0]["meters"][0]["data_id"], 9);

    std::vector<LineConfig> again;
    ASSERT_TRUE(parseLines(shown, "", 1000, again, error)) << error;
    EXPECT_EQ(linesJson(again), shown) << prettyJson(linesJson(again));
    EXPECT_EQ(again[0].name(), "rtu /dev/ttyS2");
    EXPECT_EQ(again[0].dataBits, 7);
    EXPECT_EQ(again[0].frameGapMs, 4);
}

// A value of a row's type within its range, other than the usual default.
Json::Value sample(const OptionRow& row) {
    switch (row.type) {
        case ValueType::Flag:
            return true;
        case ValueType::Text:
        case ValueType::Path:
            return "/srv/sample";
        case ValueType::Integer:
            return static_cast<Json::Int64>(row.max == row.min ? row.min : row.min + 1);
        case ValueType::Real:
            return (row.min + row.max) / 2;
        case ValueType::Custom:
            break;
    }
    return Json::Value();
}

TEST(ConcernTables, EveryPlainRowShowsTheValueItStored) {
    std::size_t checked = 0;
    for (const OptionTable* table : optionTables())
        for (std::size_t i = 0; i < table->size(); ++i) {
            const OptionRow& row = table->row(i);
            const Json::Value value = sample(row);
            // Members of the lines are shown by the "lines" row (above).
            if (row.member == nullptr || value.isNull() ||
                std::string(row.member).rfind("lines[]", 0) == 0)
                continue;
            SCOPED_TRACE(row.member);
            HostConfig config;
            std::string error;
            const Given given{Source::Document, row.member, "", &config.sources, &row};
            ASSERT_TRUE(table->store(i, config, value, given, error)) << error;
            const Json::Value shown = table->show(i, config);
            ASSERT_FALSE(shown.isNull());
            if (value.isNumeric())
                EXPECT_DOUBLE_EQ(shown.asDouble(), value.asDouble());
            else
                EXPECT_EQ(shown, value);
            ++checked;
        }
    // interval, rounds, timeout, plugin, report, show, events, plugin log,
    // the history's path, cap and commit window, the supply quality's
    // nominal voltage, the broker's port, user, password file, CA and queue,
    // the web view's files and limits, the Modbus server's maximum age, caps,
    // budget and idle time-out, and the energy's switch, currency, billing
    // day, sliding demand and limit.
    EXPECT_EQ(checked, 32u);
}

TEST(ConcernTables, AConcernLeftOutStaysOff) {
    // Only what is given turns MQTT, the web view or the supply-quality
    // report on; check-config shows nothing of them otherwise.
    HostConfig config;
    for (const OptionTable* table : optionTables())
        for (std::size_t i = 0; i < table->size(); ++i) {
            const char* member = table->row(i).member;
            if (member == nullptr) continue;
            const std::string m = member;
            if (m.rfind("mqtt.", 0) == 0 || m.rfind("http.", 0) == 0 ||
                m.rfind("quality.", 0) == 0 || m.rfind("modbus_server.", 0) == 0) {
                EXPECT_TRUE(table->show(i, config).isNull()) << m;
            }
        }
    std::string error;
    for (const OptionTable* table : optionTables())
        EXPECT_TRUE(table->finish(config, error)) << error;
    EXPECT_FALSE(config.mqtt.has_value());
    EXPECT_FALSE(config.http.has_value());
    EXPECT_FALSE(config.quality.has_value());
    EXPECT_FALSE(config.modbusServer.has_value());
}

}  // namespace
}  // namespace vedhost
