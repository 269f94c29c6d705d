#include "config.h"

#include <json/reader.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>

namespace vedhost {

const char kUsage[] =
    "usage: vedhost (--rtu DEVICE | --tcp HOST:PORT | --config FILE) [options]\n"
    "       vedhost history FILE [--data-id N] [--since T] [--until T]\n"
    "                    [--resolution full|1m|15m|1d] [--format json|csv]\n"
    "                    [--presentation FILE | --config FILE]\n"
    "       vedhost history FILE --info\n"
    "one meter:\n"
    "  --rtu DEVICE         serial device (or pseudo-terminal) of the meter's line\n"
    "  --baud N             line speed (default 9600)\n"
    "  --parity N|E|O       (default N)\n"
    "  --data-bits 5..8     (default 8)\n"
    "  --stop-bits 1|2      (default 1)\n"
    "  --frame-gap-ms MS    pause between frames on the line (at least 3.5 characters)\n"
    "  --tcp HOST:PORT      Modbus TCP endpoint instead of a serial line\n"
    "  --slave ID           unit id, 1..247 (default 1)\n"
    "  --data-id N          the meter's data id (default 1)\n"
    "  --settings FILE      the meter's JSON settings document (default {})\n"
    "several meters:\n"
    "  --config FILE        JSON document listing lines and endpoints with their meters\n"
    "everything:\n"
    "  --interval SECONDS   start a polling round this often (default 1)\n"
    "  --rounds N           stop after N completed rounds per meter; a meter that gave no\n"
    "                       reply at all in N attempted rounds in a row is given up, one\n"
    "                       that answers runs until it completes N (default: until\n"
    "                       SIGINT/SIGTERM)\n"
    "  --timeout-ms MS      response time-out per request (default 1000)\n"
    "  --plugin PATH        the plug-in to load (default: the built ved96.so)\n"
    "  --report FILE|-      the meter's JSON report after each round, one per line\n"
    "  --show               a table of the report after each round, on stdout\n"
    "  --events FILE|-      every host service call and Modbus exchange, JSON lines\n"
    "  --history FILE       SQLite history and cache; newest record reloaded at start\n"
    "  --plugin-log FILE    the plug-in's console lines go to FILE instead of stdout\n"
    "  --mqtt HOST:PORT     publish each meter's state, alarms and status to an MQTT broker\n"
    "  --mqtt-prefix P      topic prefix (default ved96): P/DATA_ID/state|alarm|status\n"
    "  --mqtt-discovery P   announce meters for Home Assistant under discovery prefix P\n"
    "                       (usually homeassistant)\n"
    "  --mqtt-user U        user name for the broker\n"
    "  --mqtt-password-file F  the password, first line of F\n"
    "  --mqtt-tls-ca FILE   TLS to the broker, its certificate checked against this CA\n"
    "  --mqtt-queue N       messages kept per meter while the broker is away (default 1000)\n"
    "  --http ADDR:PORT     serve the web view, the JSON API and /metrics (127.0.0.1 unless\n"
    "                       an address is given)\n"
    "  --http-password-file F  basic authentication: USER:PASSWORD on the first line of F\n"
    "  --http-tls-cert FILE HTTPS with this certificate (PEM); needs --http-tls-key\n"
    "  --http-tls-key FILE  the certificate's private key (PEM)\n"
    "  --write REG=V[,V...] write registers after the first round and report the outcome\n"
    "  --presentation FILE  labels, scale factors and units by signal id (--show, history)\n"
    "  --help               show this text\n"
    "  --version            show the version\n"
    "exit status: 0 all well; 1 a meter completed no round (or gave up under --rounds),\n"
    "or a --write was refused or got no reply; 2 bad configuration\n";

namespace {

bool parseLong(const std::string& text, long min, long max, long& value) {
    if (text.empty() || text.size() > 12) return false;
    const bool digits = std::all_of(text.begin(), text.end(),
                                    [](char c) { return (c >= '0' && c <= '9') || c == '-'; });
    if (!digits) return false;
    errno = 0;
    char* end = nullptr;
    const long n = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || n < min || n > max) return false;
    value = n;
    return true;
}

// The value after the option at args[i], which i then points at.
bool optionValue(const std::vector<std::string>& args, std::size_t& i, std::string& out,
                 std::string& error) {
    if (i + 1 >= args.size()) {
        error = args[i] + " needs a value";
        return false;
    }
    out = args[++i];
    return true;
}

bool parseHostPort(const std::string& text, std::string& host, int& port) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    long n = 0;
    if (!parseLong(text.substr(colon + 1), 1, 65535, n)) return false;
    host = text.substr(0, colon);
    port = static_cast<int>(n);
    return true;
}

bool loadSettings(const std::string& path, Json::Value& settings, std::string& error) {
    std::string text;
    if (!readFile(path, text, error)) return false;
    if (!parseJson(text, settings, error)) {
        error = "settings " + path + ": " + error;
        return false;
    }
    if (!settings.isObject()) {
        error = "settings " + path + ": expected a JSON object";
        return false;
    }
    return true;
}

// Reads an integer member of a config object, when present.
bool memberInt(const Json::Value& object, const char* key, long min, long max, int& out,
               const std::string& where, std::string& error) {
    if (!object.isMember(key)) return true;
    const Json::Value& v = object[key];
    // isInt64 first: the reader keeps numbers up to 2^64 (and reals far beyond),
    // and asking such a value for a 64-bit integer throws.
    if (!v.isIntegral() || !v.isInt64() || v.asInt64() < min || v.asInt64() > max) {
        error = where + ": \"" + key + "\" must be an integer " + std::to_string(min) + ".." +
                std::to_string(max);
        return false;
    }
    out = static_cast<int>(v.asInt64());
    return true;
}

bool checkKeys(const Json::Value& object, const std::set<std::string>& known,
               const std::string& where, std::string& error) {
    for (const auto& name : object.getMemberNames()) {
        if (!known.count(name)) {
            error = where + ": unknown key \"" + name + "\"";
            return false;
        }
    }
    return true;
}

bool parseParity(const std::string& text, char& parity) {
    if (text != "N" && text != "E" && text != "O") return false;
    parity = text[0];
    return true;
}

}  // namespace

std::string LineConfig::name() const {
    return kind == Kind::Rtu ? "rtu " + device : "tcp " + host + ":" + std::to_string(port);
}

bool readFile(const std::string& path, std::string& text, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read " + path;
        return false;
    }
    // Read in pieces up to the limit, so that a device such as /dev/zero or an
    // endless pipe is refused instead of filling the memory.
    std::string content;
    char piece[65536];
    while (in.read(piece, sizeof piece) || in.gcount() > 0) {
        content.append(piece, static_cast<std::size_t>(in.gcount()));
        if (content.size() > kMaxFileBytes) {
            error = path + ": larger than 16 MiB";
            return false;
        }
    }
    if (in.bad()) {
        error = "cannot read " + path;
        return false;
    }
    text = std::move(content);
    return true;
}

namespace {

// True when a string anywhere in the document, member names included, holds a
// NUL: such a text would be cut short where it is used as a path or name.
bool holdsNul(const Json::Value& value) {
    if (value.isString()) {
        const char* begin = nullptr;
        const char* end = nullptr;
        value.getString(&begin, &end);
        return std::find(begin, end, '\0') != end;
    }
    if (value.isArray()) {
        for (const Json::Value& item : value)
            if (holdsNul(item)) return true;
    }
    if (value.isObject()) {
        for (auto it = value.begin(); it != value.end(); ++it) {
            const std::string name = it.name();
            if (name.find('\0') != std::string::npos || holdsNul(*it)) return true;
        }
    }
    return false;
}

}  // namespace

bool parseJson(const std::string& text, Json::Value& value, std::string& error) {
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    // One document and nothing after it; a repeated key is a mistake, not a
    // choice between two values.
    builder["failIfExtra"] = true;
    builder["rejectDupKeys"] = true;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    bool parsed = false;
    try {
        parsed = reader->parse(text.data(), text.data() + text.size(), &value, &errors);
    } catch (const Json::Exception& e) {
        // The reader throws for nesting beyond its stack limit.
        error = std::string("bad JSON: ") + e.what();
        return false;
    }
    if (!parsed) {
        // The reader's report spans lines; the first one names the place.
        error = "bad JSON: " + errors.substr(0, errors.find('\n'));
        std::size_t more = errors.find('\n');
        if (more != std::string::npos && more + 1 < errors.size()) {
            std::string next = errors.substr(more + 1);
            next = next.substr(0, next.find('\n'));
            next.erase(0, next.find_first_not_of(' '));
            error += " " + next;
        }
        return false;
    }
    if (holdsNul(value)) {
        error = "bad JSON: a NUL character inside a string";
        return false;
    }
    return true;
}

bool parseWrite(const std::string& text, WriteRequest& write, std::string& error) {
    error = "--write: expected REG=VALUE[,VALUE...] with numbers 0..65535, got \"" + text + "\"";
    const std::size_t eq = text.find('=');
    if (eq == std::string::npos) return false;
    long address = 0;
    if (!parseLong(text.substr(0, eq), 0, 65535, address)) return false;
    WriteRequest parsed;
    parsed.address = static_cast<int>(address);
    parsed.text = text;
    std::stringstream values(text.substr(eq + 1));
    std::string item;
    while (std::getline(values, item, ',')) {
        long value = 0;
        if (!parseLong(item, 0, 65535, value)) return false;
        parsed.values.push_back(static_cast<std::uint16_t>(value));
    }
    // A trailing comma leaves an empty item that getline does not return.
    if (parsed.values.empty() || text.back() == ',') return false;
    if (parsed.values.size() > 123) {
        error = "--write: at most 123 registers in one request";
        return false;
    }
    if (parsed.address + static_cast<long>(parsed.values.size()) > 65536) return false;
    write = std::move(parsed);
    error.clear();
    return true;
}

// The config's "presentation": inline, or the name of a presentation file.
bool parsePresentationMember(const Json::Value& member, Presentation& presentation,
                             std::string& error) {
    if (member.isString()) return presentation.load(member.asString(), error);
    return presentation.parse(member, error);
}

bool parseConfigDocument(const std::string& text, int timeoutMs, std::vector<LineConfig>& lines,
                         std::string& error, Presentation* presentation) {
    Json::Value doc;
    if (!parseJson(text, doc, error)) return false;
    if (!doc.isObject() || !doc["lines"].isArray() || doc["lines"].empty()) {
        error = "expected an object with a non-empty \"lines\" array";
        return false;
    }
    if (!checkKeys(doc, {"lines", "presentation"}, "config", error)) return false;
    Presentation styles;
    if (doc.isMember("presentation") &&
        !parsePresentationMember(doc["presentation"], styles, error))
        return false;
    std::vector<LineConfig> parsed;
    std::set<unsigned> dataIds;
    for (Json::ArrayIndex i = 0; i < doc["lines"].size(); ++i) {
        const Json::Value& l = doc["lines"][i];
        const std::string where = "lines[" + std::to_string(i) + "]";
        if (!l.isObject()) {
            error = where + ": expected an object";
            return false;
        }
        if (!checkKeys(l,
                       {"rtu", "tcp", "baud", "parity", "data_bits", "stop_bits", "timeout_ms",
                        "frame_gap_ms", "meters"},
                       where, error))
            return false;
        LineConfig line;
        line.timeoutMs = timeoutMs;
        if (l.isMember("rtu") == l.isMember("tcp")) {
            error = where + ": give exactly one of \"rtu\" and \"tcp\"";
            return false;
        }
        if (l.isMember("rtu")) {
            if (!l["rtu"].isString() || l["rtu"].asString().empty()) {
                error = where + ": \"rtu\" must name a serial device";
                return false;
            }
            line.kind = LineConfig::Kind::Rtu;
            line.device = l["rtu"].asString();
        } else {
            line.kind = LineConfig::Kind::Tcp;
            if (!l["tcp"].isString() || !parseHostPort(l["tcp"].asString(), line.host, line.port)) {
                error = where + ": \"tcp\" must be \"HOST:PORT\"";
                return false;
            }
        }
        if (!memberInt(l, "baud", 50, 4000000, line.baud, where, error) ||
            !memberInt(l, "data_bits", 5, 8, line.dataBits, where, error) ||
            !memberInt(l, "stop_bits", 1, 2, line.stopBits, where, error) ||
            !memberInt(l, "timeout_ms", 1, 600000, line.timeoutMs, where, error) ||
            !memberInt(l, "frame_gap_ms", 0, 60000, line.frameGapMs, where, error))
            return false;
        if (l.isMember("parity") &&
            (!l["parity"].isString() || !parseParity(l["parity"].asString(), line.parity))) {
            error = where + ": \"parity\" must be \"N\", \"E\" or \"O\"";
            return false;
        }
        const Json::Value& meters = l["meters"];
        if (!meters.isArray() || meters.empty()) {
            error = where + ": expected a non-empty \"meters\" array";
            return false;
        }
        for (Json::ArrayIndex m = 0; m < meters.size(); ++m) {
            const Json::Value& mv = meters[m];
            const std::string mwhere = where + ".meters[" + std::to_string(m) + "]";
            if (!mv.isObject()) {
                error = mwhere + ": expected an object";
                return false;
            }
            if (!checkKeys(mv, {"slave", "data_id", "settings"}, mwhere, error)) return false;
            MeterConfig meter;
            int dataId = 1;
            if (!memberInt(mv, "slave", 1, 247, meter.slave, mwhere, error) ||
                !memberInt(mv, "data_id", 1, 2147483647, dataId, mwhere, error))
                return false;
            meter.dataId = static_cast<unsigned>(dataId);
            if (!dataIds.insert(meter.dataId).second) {
                error = mwhere + ": data id " + std::to_string(dataId) + " is used twice";
                return false;
            }
            if (mv.isMember("settings")) {
                if (mv["settings"].isString()) {
                    if (!loadSettings(mv["settings"].asString(), meter.settings, error)) {
                        error = mwhere + ": " + error;
                        return false;
                    }
                } else if (mv["settings"].isObject()) {
                    meter.settings = mv["settings"];
                } else {
                    error = mwhere + ": \"settings\" must be an object or a file name";
                    return false;
                }
            }
            line.meters.push_back(std::move(meter));
        }
        parsed.push_back(std::move(line));
    }
    lines = std::move(parsed);
    if (presentation != nullptr && doc.isMember("presentation")) *presentation = std::move(styles);
    return true;
}

namespace {

// A topic prefix to publish under: one or more levels, no wildcard, no
// trailing separator.
bool topicLevels(const std::string& prefix) {
    return !prefix.empty() && prefix.find_first_of("+#") == std::string::npos &&
           prefix.back() != '/';
}

}  // namespace

bool parseCommandLine(const std::vector<std::string>& args, const std::string& defaultPlugin,
                      HostConfig& config, std::string& error) {
    HostConfig c;
    c.pluginPath = defaultPlugin;
    LineConfig line;
    MeterConfig meter;
    std::string configPath, settingsPath, presentationPath;
    long timeoutMs = 1000;
    bool lineGiven = false;
    MqttOptions mqtt;
    std::string passwordPath;
    bool mqttGiven = false;
    HttpOptions http;
    bool httpGiven = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& opt = args[i];
        auto value = [&](std::string& out) { return optionValue(args, i, out, error); };
        auto number = [&](long min, long max, long& out) {
            std::string text;
            if (!value(text)) return false;
            if (!parseLong(text, min, max, out)) {
                error = opt + ": expected a number " + std::to_string(min) + ".." +
                        std::to_string(max) + ", got \"" + text + "\"";
                return false;
            }
            return true;
        };
        long n = 0;
        std::string text;
        if (opt == "--help" || opt == "-h") {
            c.help = true;
        } else if (opt == "--rtu") {
            if (lineGiven) {
                error = "--rtu and --tcp exclude each other";
                return false;
            }
            lineGiven = true;
            line.kind = LineConfig::Kind::Rtu;
            if (!value(line.device)) return false;
        } else if (opt == "--tcp") {
            if (lineGiven) {
                error = "--rtu and --tcp exclude each other";
                return false;
            }
            lineGiven = true;
            line.kind = LineConfig::Kind::Tcp;
            if (!value(text)) return false;
            if (!parseHostPort(text, line.host, line.port)) {
                error = "--tcp: expected HOST:PORT, got \"" + text + "\"";
                return false;
            }
        } else if (opt == "--baud") {
            if (!number(50, 4000000, n)) return false;
            line.baud = static_cast<int>(n);
        } else if (opt == "--parity") {
            if (!value(text)) return false;
            if (!parseParity(text, line.parity)) {
                error = "--parity: expected N, E or O, got \"" + text + "\"";
                return false;
            }
        } else if (opt == "--data-bits") {
            if (!number(5, 8, n)) return false;
            line.dataBits = static_cast<int>(n);
        } else if (opt == "--stop-bits") {
            if (!number(1, 2, n)) return false;
            line.stopBits = static_cast<int>(n);
        } else if (opt == "--frame-gap-ms") {
            if (!number(0, 60000, n)) return false;
            line.frameGapMs = static_cast<int>(n);
        } else if (opt == "--slave") {
            if (!number(1, 247, n)) return false;
            meter.slave = static_cast<int>(n);
        } else if (opt == "--data-id") {
            if (!number(1, 2147483647, n)) return false;
            meter.dataId = static_cast<unsigned>(n);
        } else if (opt == "--settings") {
            if (!value(settingsPath)) return false;
        } else if (opt == "--config") {
            if (!value(configPath)) return false;
        } else if (opt == "--interval") {
            if (!value(text)) return false;
            char* end = nullptr;
            const double seconds = std::strtod(text.c_str(), &end);
            if (text.empty() || *end != '\0' || !std::isfinite(seconds) || seconds < 0.01 ||
                seconds > 86400) {
                error = "--interval: expected seconds 0.01..86400, got \"" + text + "\"";
                return false;
            }
            c.intervalSeconds = seconds;
        } else if (opt == "--rounds") {
            if (!number(1, 1000000000, n)) return false;
            c.rounds = n;
        } else if (opt == "--timeout-ms") {
            if (!number(1, 600000, timeoutMs)) return false;
        } else if (opt == "--plugin") {
            if (!value(c.pluginPath)) return false;
        } else if (opt == "--report") {
            if (!value(c.reportPath)) return false;
        } else if (opt == "--show") {
            c.show = true;
        } else if (opt == "--events") {
            if (!value(c.eventsPath)) return false;
        } else if (opt == "--history") {
            if (!value(c.historyPath)) return false;
        } else if (opt == "--plugin-log") {
            if (!value(c.pluginLogPath)) return false;
        } else if (opt == "--presentation") {
            if (!value(presentationPath)) return false;
        } else if (opt == "--mqtt") {
            if (!value(text)) return false;
            if (!parseHostPort(text, mqtt.host, mqtt.port)) {
                error = "--mqtt: expected HOST:PORT, got \"" + text + "\"";
                return false;
            }
            mqttGiven = true;
        } else if (opt == "--mqtt-prefix") {
            if (!value(mqtt.prefix)) return false;
            if (!topicLevels(mqtt.prefix)) {
                error = "--mqtt-prefix: a topic level without +, # or a trailing /";
                return false;
            }
        } else if (opt == "--mqtt-discovery") {
            if (!value(mqtt.discoveryPrefix)) return false;
            if (!topicLevels(mqtt.discoveryPrefix)) {
                error = "--mqtt-discovery: a topic prefix without +, # or a trailing /";
                return false;
            }
        } else if (opt == "--mqtt-user") {
            if (!value(mqtt.user)) return false;
        } else if (opt == "--mqtt-password-file") {
            if (!value(passwordPath)) return false;
        } else if (opt == "--mqtt-tls-ca") {
            if (!value(mqtt.tlsCaFile)) return false;
        } else if (opt == "--mqtt-queue") {
            if (!number(1, 1000000, n)) return false;
            mqtt.queueLimit = static_cast<std::size_t>(n);
        } else if (opt == "--http") {
            std::string host;
            int port = 0;
            if (!value(http.listen)) return false;
            if (!parseListen(http.listen, host, port)) {
                error = "--http: expected ADDR:PORT, got \"" + http.listen + "\"";
                return false;
            }
            httpGiven = true;
        } else if (opt == "--http-password-file") {
            if (!value(http.passwordFile)) return false;
        } else if (opt == "--http-tls-cert") {
            if (!value(http.tlsCertFile)) return false;
        } else if (opt == "--http-tls-key") {
            if (!value(http.tlsKeyFile)) return false;
        } else if (opt == "--write") {
            WriteRequest write;
            if (!value(text) || !parseWrite(text, write, error)) return false;
            c.write = std::move(write);
        } else {
            error = "unknown option \"" + opt + "\"";
            return false;
        }
    }
    if (c.help) {
        config = std::move(c);
        return true;
    }
    if (!mqttGiven && (mqtt.prefix != MqttOptions().prefix || !mqtt.user.empty() ||
                       mqtt.queueLimit != MqttOptions().queueLimit || !passwordPath.empty() ||
                       !mqtt.tlsCaFile.empty() || !mqtt.discoveryPrefix.empty())) {
        error = "the --mqtt-* options need --mqtt HOST:PORT";
        return false;
    }
    if (!passwordPath.empty()) {
        if (mqtt.user.empty()) {
            error = "--mqtt-password-file needs --mqtt-user";
            return false;
        }
        if (!readFile(passwordPath, mqtt.password, error)) return false;
        mqtt.password = mqtt.password.substr(0, mqtt.password.find_first_of("\r\n"));
    }
    if (!mqtt.tlsCaFile.empty()) {
        std::string ignored;
        if (!readFile(mqtt.tlsCaFile, ignored, error)) return false;
    }
    if (mqttGiven) c.mqtt = std::move(mqtt);
    if (!httpGiven &&
        (!http.passwordFile.empty() || !http.tlsCertFile.empty() || !http.tlsKeyFile.empty())) {
        error = "the --http-* options need --http ADDR:PORT";
        return false;
    }
    if (http.tlsCertFile.empty() != http.tlsKeyFile.empty()) {
        error = "--http-tls-cert and --http-tls-key go together";
        return false;
    }
    for (const std::string* path : {&http.passwordFile, &http.tlsCertFile, &http.tlsKeyFile}) {
        std::string ignored;
        if (!path->empty() && !readFile(*path, ignored, error)) return false;
    }
    if (httpGiven) c.http = std::move(http);
    if (!configPath.empty()) {
        if (lineGiven) {
            error = "--config and --rtu/--tcp exclude each other";
            return false;
        }
        std::string doc;
        if (!readFile(configPath, doc, error)) return false;
        if (!parseConfigDocument(doc, static_cast<int>(timeoutMs), c.lines, error,
                                 &c.presentation)) {
            error = "config " + configPath + ": " + error;
            return false;
        }
    } else {
        if (!lineGiven) {
            error = "give the meter's line with --rtu or --tcp, or --config";
            return false;
        }
        if (!settingsPath.empty() && !loadSettings(settingsPath, meter.settings, error))
            return false;
        line.timeoutMs = static_cast<int>(timeoutMs);
        line.meters.push_back(std::move(meter));
        c.lines.push_back(std::move(line));
    }
    // A presentation file named on the command line wins over the config's.
    if (!presentationPath.empty() && !c.presentation.load(presentationPath, error)) return false;
    config = std::move(c);
    return true;
}

bool parseHistoryCommand(const std::vector<std::string>& args, HistoryQuery& query,
                         std::string& error) {
    HistoryQuery q;
    std::string presentationPath, configPath;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& opt = args[i];
        auto value = [&](std::string& out) { return optionValue(args, i, out, error); };
        std::string text;
        if (opt == "--data-id") {
            long n = 0;
            if (i + 1 >= args.size() || !parseLong(args[i + 1], 1, 2147483647, n)) {
                error = "--data-id: expected a number 1..2147483647";
                return false;
            }
            q.dataId = static_cast<unsigned>(n);
            ++i;
        } else if (opt == "--since") {
            if (!value(text)) return false;
            if (!parseLocalTime(text, q.since)) {
                error =
                    "--since: expected a local time such as 2024-03-07T09:05:02 or"
                    " \"2024-03-07 09:05\", got \"" +
                    text + "\"";
                return false;
            }
        } else if (opt == "--until") {
            if (!value(text)) return false;
            if (!parseLocalTime(text, q.until)) {
                error =
                    "--until: expected a local time such as 2024-03-07T09:05:02 or"
                    " \"2024-03-07 09:05\", got \"" +
                    text + "\"";
                return false;
            }
        } else if (opt == "--resolution") {
            if (!value(q.resolution)) return false;
        } else if (opt == "--info") {
            q.info = true;
        } else if (opt == "--format") {
            if (!value(text)) return false;
            if (text == "json") {
                q.format = HistoryQuery::Format::Json;
            } else if (text == "csv") {
                q.format = HistoryQuery::Format::Csv;
            } else {
                error = "--format: expected json or csv, got \"" + text + "\"";
                return false;
            }
        } else if (opt == "--presentation") {
            if (!value(presentationPath)) return false;
        } else if (opt == "--config") {
            if (!value(configPath)) return false;
        } else if (q.path.empty() && opt.rfind("--", 0) != 0) {
            q.path = opt;
        } else {
            error = "history: unexpected \"" + opt + "\"";
            return false;
        }
    }
    if (q.path.empty()) {
        error = "history: give the history FILE";
        return false;
    }
    if (!presentationPath.empty() && !configPath.empty()) {
        error = "history: --presentation and --config exclude each other";
        return false;
    }
    if (!presentationPath.empty() && !q.presentation.load(presentationPath, error)) return false;
    if (!configPath.empty()) {
        std::string doc;
        std::vector<LineConfig> lines;
        if (!readFile(configPath, doc, error)) return false;
        if (!parseConfigDocument(doc, 1000, lines, error, &q.presentation)) {
            error = "config " + configPath + ": " + error;
            return false;
        }
    }
    query = std::move(q);
    return true;
}

bool parseLocalTime(const std::string& text, std::string& normal) {
    unsigned y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    char sep = 0, tail = 0;
    const int n = std::sscanf(text.c_str(), "%4u-%2u-%2u%c%2u:%2u:%2u%c", &y, &mo, &d, &sep, &h,
                              &mi, &s, &tail);
    const bool dateOnly = n == 3;
    const bool minutes = n == 6 && (sep == 'T' || sep == ' ');
    const bool seconds = n == 7 && (sep == 'T' || sep == ' ');
    if (!dateOnly && !minutes && !seconds) return false;
    if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 59) return false;
    char out[32];
    std::snprintf(out, sizeof out, "%04u-%02u-%02uT%02u:%02u:%02u", y, mo, d, h, mi, s);
    normal = out;
    return true;
}

}  // namespace vedhost
