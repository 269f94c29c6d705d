// The lines' settings: the one-meter options of the command line and the
// document's "lines" array with its meters.
#include <set>

#include "config/config.h"

namespace vedhost {
namespace {

using J = const Json::Value&;

bool parseParity(const std::string& text, char& parity) {
    if (text != "N" && text != "E" && text != "O") return false;
    parity = text[0];
    return true;
}

// The one line and meter the command line's options describe, made when the
// first of them is read. Its time-out is left to the host's --timeout-ms.
LineConfig& single(HostConfig& c) {
    if (c.lines.empty()) {
        c.lines.emplace_back();
        c.lines[0].timeoutMs = 0;
        c.lines[0].meters.emplace_back();
    }
    return c.lines[0];
}
MeterConfig& singleMeter(HostConfig& c) { return single(c).meters[0]; }

bool storeLineKind(HostConfig& c, LineConfig::Kind kind, const char* other, std::string& error) {
    if (c.sources.count(other)) {
        error = "--rtu and --tcp exclude each other";
        return false;
    }
    single(c).kind = kind;
    return true;
}

const OptionRow kRows[] = {
    {"one meter", "--rtu", "DEVICE", "lines[].rtu",
     "serial device (or pseudo-terminal) of the meter's line", ValueType::Text, 0, 0,
     [](HostConfig& c, J v, const Given&, std::string& error) {
         if (!storeLineKind(c, LineConfig::Kind::Rtu, "lines[].tcp", error)) return false;
         single(c).device = v.asString();
         return true;
     },
     nullptr},
    {"one meter", "--baud", "N", "lines[].baud", "line speed (default 9600)", ValueType::Integer,
     50, 4000000,
     [](HostConfig& c, J v, const Given&, std::string&) {
         single(c).baud = v.asInt();
         return true;
     },
     nullptr},
    {"one meter", "--parity", "N|E|O", "lines[].parity", "(default N)", ValueType::Custom, 0, 0,
     [](HostConfig& c, J v, const Given& given, std::string& error) {
         if (!parseParity(v.asString(), single(c).parity)) {
             error = given.name + ": expected N, E or O, got \"" + v.asString() + "\"";
             return false;
         }
         return true;
     },
     nullptr},
    {"one meter", "--data-bits", "5..8", "lines[].data_bits", "(default 8)", ValueType::Integer, 5,
     8,
     [](HostConfig& c, J v, const Given&, std::string&) {
         single(c).dataBits = v.asInt();
         return true;
     },
     nullptr},
    {"one meter", "--stop-bits", "1|2", "lines[].stop_bits", "(default 1)", ValueType::Integer, 1,
     2,
     [](HostConfig& c, J v, const Given&, std::string&) {
         single(c).stopBits = v.asInt();
         return true;
     },
     nullptr},
    {"one meter", "--frame-gap-ms", "MS", "lines[].frame_gap_ms",
     "pause between frames on the line (at least 3.5 characters)", ValueType::Integer, 0, 60000,
     [](HostConfig& c, J v, const Given&, std::string&) {
         single(c).frameGapMs = v.asInt();
         return true;
     },
     nullptr},
    {"one meter", "--tcp", "HOST:PORT", "lines[].tcp",
     "Modbus TCP endpoint instead of a serial line", ValueType::Custom, 0, 0,
     [](HostConfig& c, J v, const Given& given, std::string& error) {
         if (!storeLineKind(c, LineConfig::Kind::Tcp, "lines[].rtu", error)) return false;
         if (!parseHostPort(v.asString(), single(c).host, single(c).port)) {
             error = given.name + ": expected HOST:PORT, got \"" + v.asString() + "\"";
             return false;
         }
         return true;
     },
     nullptr},
    {"one meter", "--slave", "ID", "lines[].meters[].slave", "unit id, 1..247 (default 1)",
     ValueType::Integer, 1, 247,
     [](HostConfig& c, J v, const Given&, std::string&) {
         singleMeter(c).slave = v.asInt();
         return true;
     },
     nullptr},
    {"one meter", "--data-id", "N", "lines[].meters[].data_id", "the meter's data id (default 1)",
     ValueType::Integer, 1, 2147483647,
     [](HostConfig& c, J v, const Given&, std::string&) {
         singleMeter(c).dataId = static_cast<unsigned>(v.asInt64());
         return true;
     },
     nullptr},
    {"one meter", "--settings", "FILE", "lines[].meters[].settings",
     "the meter's JSON settings document (default {}); inline or a file name in the document",
     ValueType::Path, 0, 0,
     [](HostConfig& c, J v, const Given&, std::string& error) {
         return loadJsonObject("settings", v.asString(), singleMeter(c).settings, error);
     },
     nullptr},
    {"several meters", nullptr, nullptr, "lines",
     "the lines and endpoints, each polled by a thread of its own, with their meters",
     ValueType::Custom, 0, 0,
     [](HostConfig& c, J v, const Given& given, std::string& error) {
         // Lines without a time-out of their own get the host's once
         // everything is read.
         return parseLines(v, given.folder, 0, c.lines, error);
     },
     [](const HostConfig& c) { return linesJson(c.lines); }},
};

// The lines' checks once the command line and the document are read.
bool finishLines(HostConfig& c, std::string& error) {
    const bool lineGiven = c.sources.count("lines[].rtu") || c.sources.count("lines[].tcp");
    if (c.configPath.empty() && !lineGiven) {
        error = "give the meter's line with --rtu or --tcp, or --config";
        return false;
    }
    if (c.lines.empty()) {
        error = "config " + c.configPath + ": expected an object with a non-empty \"lines\" array";
        return false;
    }
    for (LineConfig& line : c.lines)
        if (line.timeoutMs == 0) line.timeoutMs = c.timeoutMs;
    return true;
}

const OptionTable kTable = optionTable(kRows, finishLines);

// Reads an integer member of a line or meter, when present.
bool memberInt(const Json::Value& object, const char* key, long min, long max, int& out,
               const std::string& where, std::string& error) {
    if (!object.isMember(key)) return true;
    const Json::Value& v = object[key];
    // isInt64 first: the reader keeps numbers up to 2^64 (and reals far beyond),
    // and asking such a value for a 64-bit integer throws.
    if (!v.isIntegral() || !v.isInt64() || v.asInt64() < min || v.asInt64() > max) {
        error = where + ": \"" + key + "\" must be an integer " + std::to_string(min) + ".." +
                std::to_string(max) + ", got " + valueText(v);
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

bool parseMeter(const Json::Value& mv, const std::string& where, const std::string& folder,
                MeterConfig& meter, std::string& error) {
    if (!mv.isObject()) {
        error = where + ": expected an object";
        return false;
    }
    if (!checkKeys(mv, {"slave", "data_id", "settings"}, where, error)) return false;
    int dataId = 1;
    if (!memberInt(mv, "slave", 1, 247, meter.slave, where, error) ||
        !memberInt(mv, "data_id", 1, 2147483647, dataId, where, error))
        return false;
    meter.dataId = static_cast<unsigned>(dataId);
    if (!mv.isMember("settings")) return true;
    const Json::Value& settings = mv["settings"];
    if (settings.isObject()) {
        meter.settings = settings;
    } else if (settings.isString() && !settings.asString().empty()) {
        if (!loadJsonObject("settings", pathFrom(folder, settings.asString()), meter.settings,
                            error)) {
            error = where + ": " + error;
            return false;
        }
    } else {
        error = where + ": \"settings\" must be an object or a file name";
        return false;
    }
    return true;
}

bool parseLine(const Json::Value& l, const std::string& where, const std::string& folder,
               LineConfig& line, std::string& error) {
    if (!l.isObject()) {
        error = where + ": expected an object";
        return false;
    }
    if (!checkKeys(l,
                   {"rtu", "tcp", "baud", "parity", "data_bits", "stop_bits", "timeout_ms",
                    "frame_gap_ms", "meters"},
                   where, error))
        return false;
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
        MeterConfig meter;
        if (!parseMeter(meters[m], where + ".meters[" + std::to_string(m) + "]", folder, meter,
                        error))
            return false;
        line.meters.push_back(std::move(meter));
    }
    return true;
}

}  // namespace

const OptionTable& lineOptions() { return kTable; }

std::string LineConfig::name() const {
    return kind == Kind::Rtu ? "rtu " + device : "tcp " + host + ":" + std::to_string(port);
}

bool parseLines(const Json::Value& lines, const std::string& folder, int timeoutMs,
                std::vector<LineConfig>& out, std::string& error) {
    if (!lines.isArray() || lines.empty()) {
        error = "expected an object with a non-empty \"lines\" array";
        return false;
    }
    std::vector<LineConfig> parsed;
    std::set<unsigned> dataIds;
    for (Json::ArrayIndex i = 0; i < lines.size(); ++i) {
        const std::string where = "lines[" + std::to_string(i) + "]";
        LineConfig line;
        line.timeoutMs = timeoutMs;
        if (!parseLine(lines[i], where, folder, line, error)) return false;
        for (std::size_t m = 0; m < line.meters.size(); ++m) {
            const unsigned id = line.meters[m].dataId;
            if (!dataIds.insert(id).second) {
                error = where + ".meters[" + std::to_string(m) + "]: data id " +
                        std::to_string(id) + " is used twice";
                return false;
            }
        }
        parsed.push_back(std::move(line));
    }
    out = std::move(parsed);
    return true;
}

Json::Value linesJson(const std::vector<LineConfig>& lines) {
    Json::Value out(Json::arrayValue);
    for (const LineConfig& line : lines) {
        Json::Value l(Json::objectValue);
        if (line.kind == LineConfig::Kind::Rtu) {
            l["rtu"] = line.device;
            l["baud"] = line.baud;
            l["parity"] = std::string(1, line.parity);
            l["data_bits"] = line.dataBits;
            l["stop_bits"] = line.stopBits;
        } else {
            l["tcp"] = line.host + ":" + std::to_string(line.port);
        }
        l["timeout_ms"] = line.timeoutMs;
        l["frame_gap_ms"] = line.frameGapMs;
        Json::Value& meters = l["meters"] = Json::Value(Json::arrayValue);
        for (const MeterConfig& meter : line.meters) {
            Json::Value m(Json::objectValue);
            m["slave"] = meter.slave;
            m["data_id"] = static_cast<Json::Int64>(meter.dataId);
            m["settings"] = meter.settings;
            meters.append(m);
        }
        out.append(l);
    }
    return out;
}

}  // namespace vedhost
