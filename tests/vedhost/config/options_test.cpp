// Every setting in both spellings, the document's refusals, precedence and
// the view `vedhost check-config` prints.
#include "config/options.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "common/json_text.h"
#include "config/config.h"

namespace vedhost {
namespace {

// A scratch folder for documents and the files they name.
class Folder {
  public:
    Folder() {
        std::string pattern = ::testing::TempDir() + "vedhost-options-XXXXXX";
        path_ = mkdtemp(pattern.data());
    }
    ~Folder() { std::system(("rm -rf '" + path_ + "'").c_str()); }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    std::string write(const std::string& name, const std::string& text) const {
        std::ofstream(*this / name, std::ios::binary) << text;
        return *this / name;
    }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

constexpr char kLine[] = R"("lines": [{"tcp": "127.0.0.1:1502", "meters": [{}]}])";

// One setting given once on the command line and once in the document.
struct Spelling {
    const char* flag;
    std::vector<std::string> args;  // after --config with `base`, when base is not empty
    std::string base;               // members of the document the command line adds to
    std::string document;           // members of the document that says it all
    const char* member;             // the member check-config names
};

std::string doc(const std::string& members) { return "{" + members + "}"; }

// The line FLAG VALUE opens, against the document's one line.
Spelling opens(const char* flag, const char* value, const std::string& document) {
    const std::vector<std::string> args{flag, value};
    return {flag, args, "", document, "lines"};
}

// FLAG VALUE beside --rtu, against the line's own `members` written before its meters.
Spelling onRtu(const char* flag, const char* value, const std::string& members) {
    const std::vector<std::string> args{"--rtu", "/dev/ttyS3", flag, value};
    return {flag, args, "", R"("lines": [{"rtu": "/dev/ttyS3", )" + members + R"("meters": [{}]}])",
            "lines"};
}

// FLAG VALUE beside --tcp, against the one meter's own `members`.
Spelling onMeter(const char* flag, const char* value, const std::string& members) {
    const std::vector<std::string> args{"--tcp", "h:1", flag, value};
    return {flag, args, "", R"("lines": [{"tcp": "h:1", "meters": [{)" + members + "}]}]", "lines"};
}

// FLAG [VALUE] added to a document of the one line and `base`, against the document of the
// one line and `members`; `shown` is the member check-config names. A switch has no VALUE.
Spelling beside(const char* flag, const char* value, const std::string& base,
                const std::string& members, const char* shown) {
    const std::string line(kLine);
    std::vector<std::string> args{flag};
    if (value != nullptr) args.push_back(value);
    return {flag, args, base.empty() ? line : line + ", " + base, line + ", " + members, shown};
}

// Folders' files named with "@": "@pw" is the file pw of the scratch folder.
std::vector<std::string> resolve(const Folder& dir, std::vector<std::string> args) {
    for (auto& a : args)
        if (!a.empty() && a[0] == '@') a = dir / a.substr(1);
    return args;
}
std::string resolveText(const Folder& dir, std::string text) {
    for (std::size_t at; (at = text.find("@/")) != std::string::npos;)
        text.replace(at, 1, dir.path());
    return text;
}

TEST(BothSpellings, EveryOptionGivesTheSameConfigurationFromEitherPlace) {
    Folder dir;
    dir.write("settings.json", R"({"appSetting": {"b_mode": 5}})");
    dir.write("presentation.json", R"({"phase_voltage_a": {"scale": 0.1, "unit": "V"}})");
    dir.write("pw", "s3cret\n");
    dir.write("viewers", "viewer:s3cret\n");
    dir.write("ca.pem", "a CA\n");
    dir.write("cert.pem", "a certificate\n");
    dir.write("key.pem", "its key\n");
    const std::string broker = R"("mqtt": {"host": "b"})";
    const std::string history = R"("history": {"path": "h.db"})";
    const std::string web = R"("http": {"listen": "8080"})";
    const std::string tls =
        R"("http": {"listen": "8080", "tls_cert": "cert.pem", "tls_key": "key.pem"})";
    const std::string server = R"("modbus_server": {"listen": "1502"})";
    const Spelling rows[] = {
        // The one-meter options against a document's one line.
        opens("--rtu", "/dev/ttyS3", R"("lines": [{"rtu": "/dev/ttyS3", "meters": [{}]}])"),
        onRtu("--baud", "19200", R"("baud": 19200, )"),
        onRtu("--parity", "E", R"("parity": "E", )"),
        onRtu("--data-bits", "7", R"("data_bits": 7, )"),
        onRtu("--stop-bits", "2", R"("stop_bits": 2, )"),
        onRtu("--frame-gap-ms", "5", R"("frame_gap_ms": 5, )"),
        opens("--tcp", "10.0.0.2:1502", R"("lines": [{"tcp": "10.0.0.2:1502", "meters": [{}]}])"),
        onMeter("--slave", "7", R"("slave": 7)"),
        onMeter("--data-id", "42", R"("data_id": 42)"),
        onMeter("--settings", "@settings.json", R"("settings": "settings.json")"),
        // The host's own settings.
        beside("--interval", "2.5", "", R"("interval": 2.5)", "interval"),
        beside("--rounds", "3", "", R"("rounds": 3)", "rounds"),
        beside("--timeout-ms", "250", "", R"("timeout_ms": 250)", "timeout_ms"),
        beside("--plugin", "/opt/p.so", "", R"("plugin": "/opt/p.so")", "plugin"),
        beside("--report", "@r.jsonl", "", R"("report": "r.jsonl")", "report"),
        beside("--show", nullptr, "", R"("show": true)", "show"),
        beside("--events", "-", "", R"("events": "-")", "events"),
        beside("--plugin-log", "@plugin.log", "", R"("plugin_log": "plugin.log")", "plugin_log"),
        beside("--write", "6008=2,1", "", R"("write": "6008=2,1")", "write"),
        beside("--presentation", "@presentation.json", "", R"("presentation": "presentation.json")",
               "presentation"),
        beside("--history", "@h.db", "", R"("history": {"path": "h.db"})", "history.path"),
        beside("--history-max-mb", "64", "", R"("history": {"max_mb": 64})", "history.max_mb"),
        beside("--history-commit-seconds", "2.5", "", R"("history": {"commit_seconds": 2.5})",
               "history.commit_seconds"),
        // The supply-quality report's, kept in the history.
        beside("--quality-nominal-v", "400", history,
               history + R"(, "quality": {"nominal_v": 400})", "quality.nominal_v"),
        // The broker's.
        beside("--mqtt", "b:1884", "", R"("mqtt": {"host": "b", "port": 1884})", "mqtt.host"),
        beside("--mqtt-prefix", "site/a", broker, R"("mqtt": {"host": "b", "prefix": "site/a"})",
               "mqtt.prefix"),
        beside("--mqtt-discovery", "homeassistant", broker,
               R"("mqtt": {"host": "b", "discovery": "homeassistant"})", "mqtt.discovery"),
        beside("--mqtt-user", "u", broker, R"("mqtt": {"host": "b", "user": "u"})", "mqtt.user"),
        beside("--mqtt-password-file", "@pw", R"("mqtt": {"host": "b", "user": "u"})",
               R"("mqtt": {"host": "b", "user": "u", "password_file": "pw"})",
               "mqtt.password_file"),
        beside("--mqtt-tls-ca", "@ca.pem", broker, R"("mqtt": {"host": "b", "tls_ca": "ca.pem"})",
               "mqtt.tls_ca"),
        beside("--mqtt-queue", "50", broker, R"("mqtt": {"host": "b", "queue": 50})", "mqtt.queue"),
        // The web view's.
        beside("--http", "127.0.0.1:8081", "", R"("http": {"listen": "127.0.0.1:8081"})",
               "http.listen"),
        beside("--http-password-file", "@viewers", web,
               R"("http": {"listen": "8080", "password_file": "viewers"})", "http.password_file"),
        beside("--http-tls-cert", "@cert.pem",
               R"("http": {"listen": "8080", "tls_key": "key.pem"})", tls, "http.tls_cert"),
        beside("--http-tls-key", "@key.pem",
               R"("http": {"listen": "8080", "tls_cert": "cert.pem"})", tls, "http.tls_key"),
        beside("--http-connections", "100", web,
               R"("http": {"listen": "8080", "connections": 100})", "http.connections"),
        beside("--http-event-clients", "8", web,
               R"("http": {"listen": "8080", "event_clients": 8})", "http.event_clients"),
        // The Modbus server's.
        beside("--modbus-server", "0.0.0.0:1502", "",
               R"("modbus_server": {"listen": "0.0.0.0:1502"})", "modbus_server.listen"),
        beside("--modbus-server-max-age", "4.5", server,
               R"("modbus_server": {"listen": "1502", "max_age": 4.5})", "modbus_server.max_age"),
        beside("--modbus-server-connections", "100", server,
               R"("modbus_server": {"listen": "1502", "connections": 100})",
               "modbus_server.connections"),
        beside("--modbus-server-client-connections", "2", server,
               R"("modbus_server": {"listen": "1502", "connections_per_client": 2})",
               "modbus_server.connections_per_client"),
        beside("--modbus-server-rate", "50", server,
               R"("modbus_server": {"listen": "1502", "requests_per_second": 50})",
               "modbus_server.requests_per_second"),
        beside("--modbus-server-idle", "5", server,
               R"("modbus_server": {"listen": "1502", "idle_timeout": 5})",
               "modbus_server.idle_timeout"),
        // The energy accounting's.
        beside("--energy", nullptr, "", R"("energy": {"enabled": true})", "energy.enabled"),
        beside("--energy-currency", "CHF", "", R"("energy": {"currency": "CHF"})",
               "energy.currency"),
        beside("--energy-billing-day", "15", "", R"("energy": {"billing_day": 15})",
               "energy.billing_day"),
        beside("--demand-minutes", "30", "", R"("energy": {"demand": {"minutes": 30}})",
               "energy.demand.minutes"),
        beside("--demand-sliding", nullptr, "", R"("energy": {"demand": {"sliding": true}})",
               "energy.demand.sliding"),
        beside("--demand-limit-kw", "42.5", "", R"("energy": {"demand": {"limit_kw": 42.5}})",
               "energy.demand.limit_kw"),
    };

    // Every option a user can give has its row here.
    for (const OptionTable* table : optionTables())
        for (const OptionRow& row : *table) {
            const std::string flag = row.flag != nullptr ? row.flag : "";
            if (flag.empty() || flag == "--config" || flag == "--help" || flag == "--version")
                continue;
            const bool listed = std::any_of(std::begin(rows), std::end(rows),
                                            [&](const Spelling& s) { return flag == s.flag; });
            EXPECT_TRUE(listed) << flag << " is not given both ways here";
        }

    for (const Spelling& row : rows) {
        SCOPED_TRACE(row.flag);
        std::vector<std::string> args = resolve(dir, row.args);
        if (!row.base.empty())
            args.insert(args.begin(), {"--config", dir.write("base.json", doc(row.base))});
        HostConfig fromCommandLine, fromDocument;
        std::string error;
        ASSERT_TRUE(parseCommandLine(args, "p.so", fromCommandLine, error)) << error;
        ASSERT_TRUE(parseCommandLine({"--config", dir.write("all.json", doc(row.document))}, "p.so",
                                     fromDocument, error))
            << error;
        const Json::Value a = effectiveConfiguration(fromCommandLine);
        const Json::Value b = effectiveConfiguration(fromDocument);
        EXPECT_EQ(a["configuration"], b["configuration"])
            << prettyJson(a["configuration"]) << prettyJson(b["configuration"]);
        EXPECT_EQ(a["from"][row.member].asString(), "command line");
        EXPECT_EQ(b["from"][row.member].asString(), "document");
    }
}

TEST(Document, RefusesWithOneLineNamingTheMember) {
    Folder dir;
    dir.write("pw", "s3cret\n");
    const std::string line(kLine);
    // The one line beside an object whose first members are given: the broker with its host,
    // the web view and the Modbus server with their ports, the quality report with its history.
    const auto opened = [&](const std::string& head) {
        return [=](const std::string& m) { return line + ", " + head + m + "}"; };
    };
    const auto mqtt = opened(R"("mqtt": {"host": "b", )");
    const auto http = opened(R"("http": {"listen": "8080", )");
    const auto served = opened(R"("modbus_server": {"listen": "1502", )");
    const auto quality = opened(R"("history": {"path": "h.db"}, "quality": {)");
    const struct {
        std::string members;
        std::string reason;  // after "config PATH: "
    } rows[] = {
        {line + R"(, "colour": 1)", "colour: unknown member; the document has "},
        {mqtt(R"("prot": 1)"), "mqtt.prot: unknown member; mqtt has "},
        {line + R"(, "history": {"paht": "h.db"})", "history.paht: unknown member"},
        {line + R"(, "mqtt": "b:1883")", R"(mqtt: expected an object, got "b:1883")"},
        {mqtt(R"("port": 70000)"), "mqtt.port: expected 1..65535, got 70000"},
        {mqtt(R"("port": 0)"), "mqtt.port: expected 1..65535, got 0"},
        {mqtt(R"("port": 18446744073709551615)"),
         "mqtt.port: expected 1..65535, got 18446744073709551615"},
        {mqtt(R"("port": "1883")"), R"(mqtt.port: expected 1..65535, got "1883")"},
        {line + R"(, "interval": "5")", R"(interval: expected a number 0.01..86400, got "5")"},
        {line + R"(, "interval": 0.001)", "interval: expected a number 0.01..86400, got 0.001"},
        {line + R"(, "interval": 86401)", "interval: expected a number 0.01..86400, got 86401"},
        {line + R"(, "rounds": 1.5)", "rounds: expected 1..1000000000, got 1.5"},
        {line + R"(, "timeout_ms": 600001)", "timeout_ms: expected 1..600000, got 600001"},
        {line + R"(, "show": "yes")", R"(show: expected true or false, got "yes")"},
        {line + R"(, "report": 5)", "report: expected a file name, got 5"},
        {line + R"(, "report": "")", R"(report: expected a file name, got "")"},
        {line + R"(, "plugin": null)", "plugin: expected a file name, got null"},
        {line + R"(, "write": "6008")", "write: expected REG=VALUE[,VALUE...]"},
        {line + R"(, "write": 6008)", "write: expected \"REG=VALUE[,VALUE...]\", got 6008"},
        {mqtt(R"("prefix": "a/#")"),
         "mqtt.prefix: expected a topic level without +, # or a trailing /"},
        {line + R"(, "mqtt": {"host": ""})", R"(mqtt.host: expected the broker's host name)"},
        {line + R"(, "mqtt": {"prefix": "x"})", "mqtt.host: missing"},
        {mqtt(R"("password": "s3cret")"), "mqtt.password: put the password in a file"},
        {mqtt(R"("password_file": "pw")"), "mqtt.password_file: needs \"user\""},
        {mqtt(R"("user": "u", "password_file": "none")"), "mqtt.password_file: cannot read @/none"},
        {mqtt(R"("tls_ca": "none.pem")"), "mqtt.tls_ca: cannot read @/none.pem"},
        {R"("lines": [{"tcp": "h:1", "meters": [{"data_id": 1}]},
                      {"tcp": "h:2", "meters": [{"data_id": 1}]}])",
         "lines[1].meters[0]: data id 1 is used twice"},
        {R"("lines": [{"tcp": "h:1", "meters": [{"settings": "none.json"}]}])",
         "lines[0].meters[0]: cannot read @/none.json"},
        {line + R"(, "presentation": {"nonsense": {}})",
         "presentation \"nonsense\": no signal has this id"},
        {R"("interval": 1)", "expected an object with a non-empty \"lines\" array"},
        {line + R"(, "http": {"listen": "localhost"})", R"(http.listen: expected ADDR:PORT)"},
        {line + R"(, "http": {"password_file": "pw"})", "http.listen: missing"},
        {http(R"("tls_cert": "pw")"), "http.tls_cert and http.tls_key go together"},
        {http(R"("password_file": "pw")"),
         "http.password_file: @/pw: expected USER:PASSWORD on its first line"},
        {http(R"("tls_cert": "pw", "tls_key": "none.pem")"),
         "http.tls_key: cannot read @/none.pem"},
        {quality(R"("nominal_v": "230")"),
         R"(quality.nominal_v: expected a number 50..1000, got "230")"},
        {quality(R"("nominal_v": 23)"), "quality.nominal_v: expected a number 50..1000, got 23"},
        {quality(R"("nominal_v": 230, "nominal_hz": 55)"),
         "quality.nominal_hz: expected 50 or 60, got 55"},
        {quality(R"("nominal_v": 230, "voltages": "L-N")"),
         R"(quality.voltages: expected "phase" or "line", got "L-N")"},
        {quality(R"("voltages": "line")"),
         "quality.nominal_v: expected the supply's nominal voltage (230 for a 230/400 V supply)"},
        {line + R"(, "quality": {"nominal_v": 230})",
         "quality.nominal_v: the supply-quality report is kept in the history; give --history"
         " FILE"},
        {line + R"(, "history": {"path": "h.db"}, "quality": {"nominal_v": 230},)"
                R"( "presentation": {"phase_voltage_b": {"scale": 0.0001, "unit": "kV"}})",
         R"(quality: the presentation shows phase_voltage_b in "kV"; the supply is judged in V)"},
        {line + R"(, "modbus_server": {"listen": "1502:"})",
         R"(modbus_server.listen: expected ADDR:PORT, got "1502:")"},
        {line + R"(, "modbus_server": {"writes": []})", "modbus_server.listen: missing"},
        {served(R"("units": {"0": 1})"), R"(modbus_server.units: "0" is not a unit id 1..247)"},
        {served(R"("units": {"248": 1})"), R"(modbus_server.units: "248" is not a unit id 1..247)"},
        {served(R"("units": {"11": "1"})"),
         R"(modbus_server.units.11: expected a data id, got "1")"},
        {served(R"("units": {"11": 7})"), "modbus_server.units: unit 11: data id 7 is not polled"},
        {served(R"("writes": [{"data_id": 1}])"),
         "modbus_server.writes[0].registers: expected \"FIRST-LAST\" or one register"},
        {served(R"("writes": [{"data_id": 1, "registers": "6017-6000"}])"),
         "modbus_server.writes[0].registers: expected"},
        {served(R"("writes": [{"data_id": 1, "registers": "6000-65536"}])"),
         "modbus_server.writes[0].registers: expected"},
        {served(R"("writes": [{"data_id": 1, "registers": "6000", "values": 1}])"),
         R"(modbus_server.writes[0]: unknown member "values")"},
        {served(R"("writes": [{"data_id": 2, "registers": "6000"}])"),
         "modbus_server.writes[0]: data id 2 is not polled"},
        {served(R"("connections": 2, "connections_per_client": 3)"),
         "modbus_server.connections_per_client (3) must not exceed modbus_server.connections (2)"},
        {R"("lines": [{"tcp": "h:1", "meters": [{"data_id": 1}]},
                      {"tcp": "h:2", "meters": [{"data_id": 2}]}],
            "modbus_server": {"listen": "1502"})",
         "modbus_server: slave 1 is data id 1 and data id 2; give \"units\""},
        {line + R"(, "energy": {"demand": {"minutes": 20}})",
         "energy.demand.minutes: expected 15, 30 or 60, got 20"},
        {line + R"(, "energy": {"billing_day": 29})", "energy.billing_day: expected 1..28, got 29"},
        {line + R"(, "energy": {"colour": 1})",
         "energy.colour: unknown member; energy has billing_day, currency, demand, enabled, "
         "tariffs"},
        {line + R"(, "energy": {"tariffs": [{"valid_from": "2024-01-01", "bands": [
            {"name": "day", "from": "07:00", "to": "22:00"},
            {"name": "night", "from": "21:00", "to": "07:00"}]}]})",
         "energy.tariffs[0].bands[1] (\"night\"): overlaps \"day\" on mon 21:00-22:00"},
        {line + R"(, "energy": {"tariffs": [{"valid_from": "2024-01-01", "bands": [
            {"name": "week", "days": ["mon", "tue", "wed", "thu", "fri"],
             "from": "00:00", "to": "24:00"}]}]})",
         "energy.tariffs[0].bands: sat 00:00-24:00 is in no band"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.members);
        const std::string path = dir.write("bad.json", doc(row.members));
        HostConfig config;
        std::string error;
        EXPECT_FALSE(parseCommandLine({"--config", path}, "p.so", config, error));
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
        const std::string expected = "config " + path + ": " + resolveText(dir, row.reason);
        EXPECT_EQ(error.substr(0, expected.size()), expected);
    }
}

TEST(Document, TheCommandLineWinsAndFileNamesAreTheDocumentsOwn) {
    Folder dir;
    dir.write("s.json", R"({"appSetting": {"b_mode": 3}})");
    const std::string path = dir.write("site.json", R"(// A comment, as a person writes one.
        {"lines": [{"tcp": "h:1", "meters": [{"settings": "s.json"}]}],
         "interval": 5, "report": "r.jsonl", "events": "-", "plugin": "/opt/p.so",
         /* and another */ "mqtt": {"host": "b", "prefix": "doc"}})");
    HostConfig config;
    std::string error;
    ASSERT_TRUE(parseCommandLine({"--config", path, "--interval", "2", "--mqtt-prefix", "cli",
                                  "--plugin", "rel.so", "--interval", "3"},
                                 "p.so", config, error))
        << error;
    EXPECT_DOUBLE_EQ(config.intervalSeconds, 3) << "the last of a repeated option";
    EXPECT_EQ(config.mqtt->prefix, "cli");
    EXPECT_EQ(config.mqtt->host, "b");
    EXPECT_EQ(config.mqtt->port, 1883);
    EXPECT_EQ(config.pluginPath, "rel.so") << "the command line's names are the working folder's";
    EXPECT_EQ(config.reportPath, dir / "r.jsonl");
    EXPECT_EQ(config.eventsPath, "-");
    EXPECT_EQ(config.lines.at(0).meters.at(0).settings["appSetting"]["b_mode"].asInt(), 3);
    const Json::Value from = effectiveConfiguration(config)["from"];
    EXPECT_EQ(from["interval"], "command line");
    EXPECT_EQ(from["mqtt.prefix"], "command line");
    EXPECT_EQ(from["mqtt.host"], "document");
    EXPECT_EQ(from["mqtt.port"], "default");
    EXPECT_EQ(from["report"], "document");
    EXPECT_EQ(from["timeout_ms"], "default");
}

TEST(Document, TheServiceEnvironmentNamesTheHistoryWhenTheDocumentDoesNot) {
    Folder dir;
    const std::string plain = dir.write("plain.json", doc(kLine));
    const std::string own =
        dir.write("own.json", doc(std::string(kLine) + R"(, "history": {"path": "own.db"})"));
    setenv("VEDHOST_DEFAULT_HISTORY", "/var/lib/ved96/site.db", 1);
    HostConfig a, b;
    std::string error;
    EXPECT_TRUE(parseCommandLine({"--config", plain}, "p.so", a, error)) << error;
    EXPECT_TRUE(parseCommandLine({"--config", own}, "p.so", b, error)) << error;
    unsetenv("VEDHOST_DEFAULT_HISTORY");
    EXPECT_EQ(a.history.path, "/var/lib/ved96/site.db");
    EXPECT_EQ(effectiveConfiguration(a)["from"]["history.path"], "environment");
    EXPECT_EQ(b.history.path, dir / "own.db");
}

TEST(CheckConfig, ShowsTheSettingsInEffectWithThePasswordMasked) {
    Folder dir;
    dir.write("pw", "s3cret\n");
    const std::string path = dir.write(
        "site.json",
        doc(std::string(kLine) + R"(, "mqtt": {"host": "b", "user": "u", "password_file": "pw"})"));
    Invocation invocation;
    std::string error;
    ASSERT_TRUE(parseInvocation({"check-config", path, "--mqtt-queue", "7"}, "/opt/p.so",
                                invocation, error))
        << error;
    EXPECT_EQ(invocation.command, Invocation::Command::CheckConfig);
    EXPECT_EQ(invocation.config.mqtt->password, "s3cret") << "read, so a bad file is found";
    const Json::Value shown = effectiveConfiguration(invocation.config);
    const std::string text = prettyJson(shown);
    EXPECT_EQ(text.find("s3cret"), std::string::npos) << text;
    EXPECT_EQ(shown["configuration"]["mqtt"]["password"], "********");
    EXPECT_EQ(shown["configuration"]["mqtt"]["queue"], 7);
    EXPECT_EQ(shown["from"]["mqtt.queue"], "command line");
    EXPECT_EQ(shown["from"]["mqtt.password"], "document");
    EXPECT_EQ(shown["document"], path);

    // What it shows reads back as the same configuration.
    Json::Value again = shown["configuration"];
    again["mqtt"].removeMember("password");
    const std::string copy = dir.write("copy.json", prettyJson(again));
    HostConfig reread;
    ASSERT_TRUE(parseCommandLine({"--config", copy}, "/opt/p.so", reread, error)) << error;
    EXPECT_EQ(effectiveConfiguration(reread)["configuration"], shown["configuration"])
        << prettyJson(effectiveConfiguration(reread)) << prettyJson(shown);
}

TEST(CheckConfig, TheShippedExampleIsAValidConfiguration) {
    HostConfig config;
    std::string error;
    ASSERT_TRUE(parseCommandLine({"--config", VED_SOURCE_DIR "/packaging/example.json"}, "p.so",
                                 config, error))
        << error;
    EXPECT_EQ(config.lines.at(0).meters.size(), 3u);
    ASSERT_TRUE(config.mqtt.has_value());
    EXPECT_FALSE(config.history.path.empty());
}

TEST(CommandLine, SubcommandsAndTheirRefusals) {
    const struct {
        std::vector<std::string> args;
        bool ok;
        Invocation::Command command;
        const char* reason;
    } rows[] = {
        {{"history", "h.db", "--format", "csv"}, true, Invocation::Command::History, ""},
        {{"history", "h.db", "--format", "xml"}, false, {}, "--format: expected json or csv"},
        {{"history", "h.db", "--since", "yesterday"}, false, {}, "--since: expected a local time"},
        {{"history", "h.db", "--colour"}, false, {}, "history: unknown option \"--colour\""},
        {{"check-config"}, false, {}, "check-config: give the document FILE"},
        {{"check-config", "/no/such.json"}, false, {}, "cannot read /no/such.json"},
        {{"check-config", "a.json", "--config", "b.json"}, false, {}, "exclude each other"},
        {{"--tcp", "h:1", "--baud"}, false, {}, "--baud needs a value"},
        {{"--tcp", "h:1", "extra"}, false, {}, "unexpected \"extra\""},
        {{"--config", "c.json", "--slave", "2"}, false, {}, "--config and --slave exclude"},
        {{"--tcp", "h:1", "--version"}, true, Invocation::Command::Run, ""},
        {{"-h"}, true, Invocation::Command::Run, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.args.at(0) + " " + row.reason);
        Invocation invocation;
        std::string error;
        EXPECT_EQ(parseInvocation(row.args, "p.so", invocation, error), row.ok) << error;
        if (row.ok)
            EXPECT_EQ(invocation.command, row.command);
        else
            EXPECT_NE(error.find(row.reason), std::string::npos) << error;
    }
}

TEST(Help, EveryOptionWithItsMemberOnce) {
    const std::string help = usageText();
    const std::string reference = optionsMarkdown();
    for (const OptionTable* table : optionTables())
        for (const OptionRow& row : *table) {
            if (row.flag == nullptr) continue;
            SCOPED_TRACE(row.flag);
            const std::string flag = row.flag;
            const std::string spelled =
                flag + (row.valueName ? std::string(" ") + row.valueName : "");
            EXPECT_NE(help.find(spelled), std::string::npos);
            std::string cell = spelled;
            for (std::size_t at = cell.find('|'); at != std::string::npos;
                 at = cell.find('|', at + 2))
                cell.insert(at, "\\");
            EXPECT_NE(reference.find(cell + "`"), std::string::npos);
            if (row.member == nullptr) continue;
            // The member on the option's own line.
            const std::size_t at = help.find("  " + flag + " ");
            const std::size_t member = help.find(row.member, at);
            EXPECT_LT(member, help.find("\n  -", at + 1)) << help;
        }
    for (const std::string& line :
         {std::string("one meter:"), std::string("several meters:"), std::string("everything:")})
        EXPECT_NE(help.find("\n" + line + "\n"), std::string::npos) << line;
}

}  // namespace
}  // namespace vedhost

namespace vedhost {
namespace {

TEST(Document, TheEnergyExampleReads) {
    HostConfig config;
    std::string error;
    ASSERT_TRUE(parseCommandLine({"--config", VED_SOURCE_DIR "/examples/energy-site.json"}, "p.so",
                                 config, error))
        << error;
    ASSERT_TRUE(config.energy);
    EXPECT_EQ(config.energy->currency, "EUR");
    EXPECT_EQ(config.energy->demandMinutes, 15);
    EXPECT_EQ(config.energy->demandLimitKw, 14);
    ASSERT_EQ(config.energy->tariffs.size(), 1u);
    EXPECT_EQ(config.energy->tariffs[0].bands.size(), 3u);
    EXPECT_EQ(config.lines.at(0).meters.size(), 3u);
}

TEST(HistoryCommand, EnergyPeriodsOfOneCounterPricedByTheDocument) {
    Folder dir;
    const std::string config = dir.write("site.json", doc(std::string(kLine) + R"(,
        "energy": {"currency": "CHF", "billing_day": 20, "tariffs": [{"valid_from": "2024-01-01",
          "bands": [{"name": "flat", "from": "00:00", "to": "24:00", "import_per_kwh": 0.3}]}]})"));
    Invocation invocation;
    std::string error;
    ASSERT_TRUE(parseInvocation({"history", "h.db", "--energy", "billing", "--counter",
                                 "energy_rev_active", "--config", config, "--format", "json"},
                                "p.so", invocation, error))
        << error;
    const HistoryQuery& q = invocation.query;
    EXPECT_EQ(q.energy, "billing");
    EXPECT_EQ(q.counter, "energy_rev_active");
    EXPECT_EQ(q.document, config);
    std::optional<EnergyOptions> energy;
    ASSERT_TRUE(documentEnergy(q.document, energy, error)) << error;
    ASSERT_TRUE(energy);
    EXPECT_EQ(energy->currency, "CHF");
    EXPECT_EQ(energy->billingDay, 20);
    ASSERT_EQ(energy->tariffs.size(), 1u);
    EXPECT_EQ(energy->tariffs[0].bands[0].importPrice, 0.3);

    const struct {
        std::vector<std::string> args;
        const char* error;
    } refused[] = {
        {{"history", "h.db", "--energy", "day", "--resolution", "1d"},
         "history: --energy and --resolution exclude each other"},
        {{"history", "h.db", "--energy", "day", "--info"},
         "history: --energy and --info exclude each other"},
        {{"history", "h.db", "--energy", "day", "--quality"},
         "history: --energy and --quality exclude each other"},
        {{"history", "h.db", "--counter", "energy_rev_active"},
         "history: --counter needs --energy"},
    };
    for (const auto& r : refused) {
        SCOPED_TRACE(r.error);
        EXPECT_FALSE(parseInvocation(r.args, "p.so", invocation, error));
        EXPECT_EQ(error, r.error);
    }
}

}  // namespace
}  // namespace vedhost
