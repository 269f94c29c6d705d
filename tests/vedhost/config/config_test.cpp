// vedhost's command line and --config document.
#include "config/config.h"

#include <gtest/gtest.h>

#include <fstream>

#include "common/json_file.h"

namespace vedhost {
namespace {

struct WriteRow {
    const char* text;
    bool ok;
    int address;
    std::vector<std::uint16_t> values;
};

TEST(ParseWrite, AcceptsRegisterAndValuesWithinSixteenBits) {
    const WriteRow rows[] = {
        {"6008=2", true, 6008, {2}},   {"6011=1,0,1", true, 6011, {1, 0, 1}},
        {"0=65535", true, 0, {65535}}, {"65535=0", true, 65535, {0}},
        {"6008=65536", false, 0, {}},  {"65536=1", false, 0, {}},
        {"6008=", false, 0, {}},       {"6008=1,", false, 0, {}},
        {"6008=1,,2", false, 0, {}},   {"=1", false, 0, {}},
        {"6008", false, 0, {}},        {"6008=-1", false, 0, {}},
        {"6008=0x10", false, 0, {}},   {"65535=1,2", false, 0, {}},  // runs past the last register
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        WriteRequest write;
        std::string error;
        EXPECT_EQ(parseWrite(row.text, write, error), row.ok) << error;
        if (!row.ok) continue;
        EXPECT_EQ(write.address, row.address);
        EXPECT_EQ(write.values, row.values);
    }
}

TEST(ParseWrite, AtMost123Registers) {
    std::string text = "6000=0";
    for (int i = 1; i < 123; ++i) text += ",0";
    WriteRequest write;
    std::string error;
    EXPECT_TRUE(parseWrite(text, write, error));
    EXPECT_FALSE(parseWrite(text + ",0", write, error));
}

TEST(ParseCommandLine, OneMeterWithDefaults) {
    HostConfig config;
    std::string error;
    ASSERT_TRUE(parseCommandLine({"--rtu", "/dev/ttyS1"}, "p.so", config, error)) << error;
    ASSERT_EQ(config.lines.size(), 1u);
    const LineConfig& line = config.lines[0];
    EXPECT_EQ(line.kind, LineConfig::Kind::Rtu);
    EXPECT_EQ(line.baud, 9600);
    EXPECT_EQ(line.parity, 'N');
    EXPECT_EQ(line.timeoutMs, 1000);
    ASSERT_EQ(line.meters.size(), 1u);
    EXPECT_EQ(line.meters[0].slave, 1);
    EXPECT_EQ(line.meters[0].dataId, 1u);
    EXPECT_TRUE(line.meters[0].settings.isObject());
    EXPECT_TRUE(line.meters[0].settings.empty());
    EXPECT_EQ(config.pluginPath, "p.so");
    EXPECT_DOUBLE_EQ(config.intervalSeconds, 1.0);
    EXPECT_FALSE(config.rounds.has_value());
}

TEST(ParseCommandLine, EveryOptionReachesItsPlace) {
    HostConfig config;
    std::string error;
    ASSERT_TRUE(parseCommandLine(
        {"--tcp",      "10.0.0.2:1502", "--slave",  "7",       "--data-id",    "42",
         "--interval", "0.5",           "--rounds", "3",       "--timeout-ms", "250",
         "--plugin",   "x.so",          "--report", "-",       "--show",       "--events",
         "e",          "--history",     "h.db",     "--write", "6008=2"},
        "p.so", config, error))
        << error;
    const LineConfig& line = config.lines.at(0);
    EXPECT_EQ(line.kind, LineConfig::Kind::Tcp);
    EXPECT_EQ(line.host, "10.0.0.2");
    EXPECT_EQ(line.port, 1502);
    EXPECT_EQ(line.timeoutMs, 250);
    EXPECT_EQ(line.meters.at(0).slave, 7);
    EXPECT_EQ(line.meters.at(0).dataId, 42u);
    EXPECT_DOUBLE_EQ(config.intervalSeconds, 0.5);
    EXPECT_EQ(config.rounds, 3);
    EXPECT_EQ(config.pluginPath, "x.so");
    EXPECT_EQ(config.reportPath, "-");
    EXPECT_TRUE(config.show);
    EXPECT_EQ(config.eventsPath, "e");
    EXPECT_EQ(config.history.path, "h.db");
    ASSERT_TRUE(config.write.has_value());
    EXPECT_EQ(config.write->address, 6008);
}

TEST(ParseCommandLine, MqttOptionsInOneStruct) {
    const std::string passwordFile = ::testing::TempDir() + "/vedhost-mqtt-password";
    std::ofstream(passwordFile) << "s3cret\nignored\n";
    HostConfig config;
    std::string error;
    ASSERT_TRUE(parseCommandLine(
        {"--tcp", "h:1", "--mqtt", "broker.lan:8883", "--mqtt-prefix", "site/a", "--mqtt-user", "u",
         "--mqtt-password-file", passwordFile, "--mqtt-queue", "50"},
        "p.so", config, error))
        << error;
    ASSERT_TRUE(config.mqtt.has_value());
    EXPECT_EQ(config.mqtt->host, "broker.lan");
    EXPECT_EQ(config.mqtt->port, 8883);
    EXPECT_EQ(config.mqtt->prefix, "site/a");
    EXPECT_EQ(config.mqtt->user, "u");
    EXPECT_EQ(config.mqtt->password, "s3cret") << "the first line, without its newline";
    EXPECT_EQ(config.mqtt->queueLimit, 50u);

    HostConfig plain;
    ASSERT_TRUE(parseCommandLine({"--tcp", "h:1"}, "p.so", plain, error));
    EXPECT_FALSE(plain.mqtt.has_value());
}

TEST(ParseCommandLine, HttpOptionsInOneStruct) {
    HostConfig config;
    std::string error;
    ASSERT_TRUE(parseCommandLine({"--tcp", "h:1", "--http", "[::1]:8443", "--http-connections",
                                  "16", "--http-event-clients", "4"},
                                 "p.so", config, error))
        << error;
    ASSERT_TRUE(config.http.has_value());
    std::string host;
    int port = 0;
    ASSERT_TRUE(parseListen(config.http->listen, host, port));
    EXPECT_EQ(host, "::1");
    EXPECT_EQ(port, 8443);
    EXPECT_EQ(config.http->connections, 16u);
    EXPECT_EQ(config.http->eventClients, 4u);
    // A bare port listens on loopback only.
    ASSERT_TRUE(parseListen("8080", host, port));
    EXPECT_EQ(host, "127.0.0.1");

    HostConfig plain;
    ASSERT_TRUE(parseCommandLine({"--tcp", "h:1"}, "p.so", plain, error));
    EXPECT_FALSE(plain.http.has_value());
}

TEST(ParseCommandLine, RefusesWithAReason) {
    const std::string noUser = ::testing::TempDir() + "/vedhost-http-password";
    std::ofstream(noUser) << "s3cret\n";
    const struct {
        std::vector<std::string> args;
        std::string reason;
    } rows[] = {
        {{}, "--rtu or --tcp"},
        {{"--rtu"}, "--rtu needs a value"},
        {{"--rtu", "a", "--tcp", "h:1"}, "exclude each other"},
        {{"--tcp", "nohost"}, "expected HOST:PORT"},
        {{"--tcp", "h:0"}, "expected HOST:PORT"},
        {{"--tcp", "h:1", "--slave", "0"}, "--slave: expected a number 1..247"},
        {{"--tcp", "h:1", "--slave", "248"}, "--slave"},
        {{"--tcp", "h:1", "--parity", "X"}, "--parity"},
        {{"--tcp", "h:1", "--interval", "0"}, "--interval"},
        {{"--tcp", "h:1", "--interval", "1s"}, "--interval"},
        {{"--tcp", "h:1", "--rounds", "0"}, "--rounds"},
        {{"--tcp", "h:1", "--colour"}, "unknown option \"--colour\""},
        {{"--tcp", "h:1", "--config", "c.json"}, "exclude each other"},
        {{"--tcp", "h:1", "--settings", "/no/such/file.json"}, "cannot read"},
        {{"--tcp", "h:1", "--mqtt", "broker"}, "--mqtt: expected HOST:PORT"},
        {{"--tcp", "h:1", "--mqtt-prefix", "p"}, "need --mqtt HOST:PORT"},
        {{"--tcp", "h:1", "--mqtt", "b:1", "--mqtt-prefix", "a/#"}, "--mqtt-prefix"},
        {{"--tcp", "h:1", "--mqtt", "b:1", "--mqtt-prefix", "a/"}, "--mqtt-prefix"},
        {{"--tcp", "h:1", "--mqtt", "b:1", "--mqtt-password-file", "f"}, "needs --mqtt-user"},
        {{"--tcp", "h:1", "--mqtt", "b:1", "--mqtt-user", "u", "--mqtt-password-file",
          "/no/such/file"},
         "cannot read"},
        {{"--tcp", "h:1", "--mqtt", "b:1", "--mqtt-tls-ca", "/no/such/ca.pem"}, "cannot read"},
        {{"--tcp", "h:1", "--mqtt", "b:1", "--mqtt-queue", "0"}, "--mqtt-queue"},
        {{"--tcp", "h:1", "--http", "localhost"}, "--http: expected ADDR:PORT"},
        {{"--tcp", "h:1", "--http", "1.2.3.4:65536"}, "--http: expected ADDR:PORT"},
        {{"--tcp", "h:1", "--http-connections", "8"}, "need --http ADDR:PORT"},
        {{"--tcp", "h:1", "--http", "8080", "--http-tls-cert", "c.pem"}, "go together"},
        {{"--tcp", "h:1", "--http", "8080", "--http-password-file", "/no/such/file"},
         "cannot read"},
        {{"--tcp", "h:1", "--http", "8080", "--http-password-file", noUser},
         "--http-password-file: " + noUser + ": expected USER:PASSWORD on its first line"},
        {{"--tcp", "h:1", "--http", "8080", "--http-event-clients", "64"}, "must be below"},
        {{"--tcp", "h:1", "--http", "8080", "--http-connections", "10", "--http-event-clients",
          "10"},
         "must be below"},
        {{"--tcp", "h:1", "--http", "8080", "--http-connections", "1"}, "--http-connections"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.reason);
        HostConfig config;
        std::string error;
        EXPECT_FALSE(parseCommandLine(row.args, "p.so", config, error));
        EXPECT_NE(error.find(row.reason), std::string::npos) << error;
    }
}

TEST(ParseConfigDocument, LinesAndMetersWithTheirSettings) {
    std::vector<LineConfig> lines;
    std::string error;
    ASSERT_TRUE(parseConfigDocument(R"({"lines": [
        {"rtu": "/dev/ttyS1", "baud": 19200, "parity": "E", "stop_bits": 2, "frame_gap_ms": 5,
         "meters": [{"slave": 1, "data_id": 1}, {"slave": 2, "data_id": 2,
                     "settings": {"appSetting": {"b_mode": 5}}}]},
        {"tcp": "127.0.0.1:1502", "timeout_ms": 200, "meters": [{"data_id": 3}]}]})",
                                    700, lines, error))
        << error;
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].baud, 19200);
    EXPECT_EQ(lines[0].parity, 'E');
    EXPECT_EQ(lines[0].stopBits, 2);
    EXPECT_EQ(lines[0].frameGapMs, 5);
    EXPECT_EQ(lines[0].timeoutMs, 700);  // the command line's, as the line gives none
    ASSERT_EQ(lines[0].meters.size(), 2u);
    EXPECT_EQ(lines[0].meters[1].settings["appSetting"]["b_mode"].asInt(), 5);
    EXPECT_EQ(lines[1].name(), "tcp 127.0.0.1:1502");
    EXPECT_EQ(lines[1].timeoutMs, 200);
    EXPECT_EQ(lines[1].meters[0].slave, 1);
}

// The README's walk-through: three meters on one line, meter 1 with a limit.
TEST(ParseConfigDocument, TheThreeMeterExampleLoads) {
    std::string text, error;
    ASSERT_TRUE(readFile(VED_SOURCE_DIR "/examples/three-meters.json", text, error)) << error;
    std::vector<LineConfig> lines;
    ASSERT_TRUE(parseConfigDocument(text, 1000, lines, error)) << error;
    ASSERT_EQ(lines.size(), 1u);
    ASSERT_EQ(lines[0].meters.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(lines[0].meters[i].slave, i + 1);
        EXPECT_EQ(lines[0].meters[i].dataId, static_cast<unsigned>(i + 1));
    }
    const Json::Value& limit = lines[0].meters[0].settings["thresholdSetting"]["va"];
    EXPECT_EQ(limit["SignalName"].asString(), "A相电压");
    EXPECT_EQ(lines[0].meters[0].settings["appSetting"]["b_mode"].asInt(), 5);
}

// The document is refused with a message that contains `reason`.
void expectRefused(const std::string& text, const std::string& reason) {
    std::vector<LineConfig> lines;
    std::string error;
    EXPECT_FALSE(parseConfigDocument(text, 1000, lines, error));
    EXPECT_NE(error.find(reason), std::string::npos) << error;
}

TEST(ParseConfigDocument, RefusesWithAReason) {
    const struct {
        const char* text;
        const char* reason;
    } rows[] = {
        {"{\"lines\": [", "bad JSON"},
        {"[]", "non-empty \"lines\""},
        {R"({"lines": []})", "non-empty \"lines\""},
        {R"({"lines": [{"meters": [{}]}]})", "exactly one of"},
        {R"({"lines": [{"rtu": "a", "tcp": "h:1", "meters": [{}]}]})", "exactly one of"},
        {R"({"lines": [{"rtu": "a", "meters": []}]})", "non-empty \"meters\""},
        {R"({"lines": [{"rtu": "a", "baud": "fast", "meters": [{}]}]})", "\"baud\""},
        {R"({"lines": [{"rtu": "a", "parity": "X", "meters": [{}]}]})", "\"parity\""},
        {R"({"lines": [{"rtu": "a", "speed": 1, "meters": [{}]}]})", "unknown key \"speed\""},
        {R"({"lines": [{"rtu": "a", "meters": [{"slave": 248}]}]})", "\"slave\""},
        {R"({"lines": [{"rtu": "a", "meters": [{"data_id": 4}, {"data_id": 4}]}]})",
         "data id 4 is used twice"},
        {R"({"lines": [{"rtu": "a", "meters": [{"settings": 3}]}]})", "\"settings\""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        expectRefused(row.text, row.reason);
    }
}

// A line of the given members and one meter, for the rows below.
std::string lineWith(const std::string& lineMembers, const std::string& meterMembers = "") {
    return R"({"lines": [{"tcp": "h:1", )" + lineMembers + R"("meters": [{)" + meterMembers +
           "}]}]}";
}

TEST(ParseConfigDocument, NumbersBeyondSixtyFourBitsAreRefusedNamingTheField) {
    const struct {
        std::string text;
        const char* field;
    } rows[] = {
        {lineWith(R"("baud": 18446744073709551615, )"), "\"baud\""},
        {lineWith(R"("baud": 9223372036854775808, )"), "\"baud\""},
        {lineWith(R"("data_bits": 1e19, )"), "\"data_bits\""},
        {lineWith(R"("frame_gap_ms": 18446744073709551615, )"), "\"frame_gap_ms\""},
        {lineWith(R"("timeout_ms": -1e300, )"), "\"timeout_ms\""},
        {lineWith("", R"("slave": 1e19)"), "\"slave\""},
        {lineWith("", R"("data_id": 18446744073709551615)"), "\"data_id\""},
        {lineWith("", R"("data_id": 9.3e18)"), "\"data_id\""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        expectRefused(row.text, row.field);
    }
}

// A document nested `depth` levels deep, e.g. [[[...]]].
std::string nested(std::size_t depth, const std::string& open, const std::string& close) {
    std::string text;
    for (std::size_t i = 0; i < depth; ++i) text += open;
    text += "1";
    for (std::size_t i = 0; i < depth; ++i) text += close;
    return text;
}

TEST(ParseConfigDocument, HostileDocumentsAreBadJsonNotACrash) {
    const char nulText[] = "{\"lines\": [{\"rtu\": \"/dev/ttyS0\0x\", \"meters\": [{}]}]}";
    const std::string nul(nulText, sizeof nulText - 1);
    const struct {
        const char* name;
        std::string text;
    } rows[] = {
        {"100000 nested arrays", nested(100000, "[", "]")},
        {"5000 nested objects", nested(5000, "{\"a\": ", "}")},
        {"999 levels inside a meter's settings",
         lineWith("", R"("settings": )" + nested(999, "{\"a\": ", "}"))},
        {"text after the document", lineWith("") + " {}"},
        {"a repeated key", R"({"lines": [{"tcp": "h:1", "tcp": "h:2", "meters": [{}]}]})"},
        {"a NUL inside a string", nul},
        {"an escaped NUL inside a string",
         R"({"lines": [{"rtu": "/dev/ttyS0\u0000x", "meters": [{}]}]})"},
        {"an escaped NUL inside a key", R"({"lines": [{"rtu": "a", "meters": [{"\u0000": 1}]}]})"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        expectRefused(row.text, "bad JSON");
    }
}

TEST(ReadFile, EndlessInputStopsAtTheLimit) {
    std::string text, error;
    EXPECT_FALSE(readFile("/dev/zero", text, error));
    EXPECT_NE(error.find("larger than 16 MiB"), std::string::npos) << error;
    EXPECT_TRUE(text.empty());
}

}  // namespace
}  // namespace vedhost
