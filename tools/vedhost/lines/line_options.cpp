// The lines' settings: one table of the line and meter members, walked for
// the command line's one-meter options and for the document's "lines" array.
#include "lines/line_options.h"

#include <cstring>
#include <set>

#include "common/json_file.h"
#include "common/parse.h"

namespace vedhost {
namespace {

using J = const Json::Value&;
using Lines = std::vector<LineConfig>;

bool parseParity(const std::string& text, char& parity) {
    if (text != "N" && text != "E" && text != "O") return false;
    parity = text[0];
    return true;
}

// Where a member's value goes.
struct Place {
    LineConfig* line;
    MeterConfig* meter;  // for a meter's members
    std::string folder;  // the document's, for a settings file it names
};

enum class Scope {
    Reach,  // how the line is reached: exactly one of these per line
    Line,   // the line's framing and timing
    Meter,  // each meter on the line
};

// One member of a line or a meter, in both spellings.
struct LineMember {
    Scope scope;
    const char* member;     // "lines[].baud": the document's key is its last part
    const char* flag;       // the one-meter option; nullptr: the document only
    const char* valueName;  // "N" in --help
    const char* help;
    ValueType type;  // Integer: min..max; the others are checked by put()
    long min, max;
    // A value put() refuses, as the command line says it ("--parity: expected
    // N, E or O, got \"X\"") and as the document does ("lines[0]: \"parity\"
    // must be \"N\", \"E\" or \"O\"").
    const char* expected;
    const char* mustBe;
    // Keeps a value: false when it is not one the member takes (`error` left
    // empty), or with a reason of its own (a settings file that cannot be read).
    bool (*put)(Place& place, J value, std::string& error);
    // The value in effect, for check-config; null when the line has none
    // (a TCP endpoint has no serial framing). `meter` is set for a meter's members.
    Json::Value (*get)(const LineConfig& line, const MeterConfig* meter);
};

Json::Value serial(const LineConfig& line, Json::Value value) {
    return line.kind == LineConfig::Kind::Rtu ? value : Json::Value();
}

// In --help order; a document's line is checked how it is reached first,
// then its numbers in this order, then its other members; a meter's numbers
// before its settings.
const LineMember kMembers[] = {
    {Scope::Reach, "lines[].rtu", "--rtu", "DEVICE",
     "serial device (or pseudo-terminal) of the meter's line", ValueType::Text, 0, 0, nullptr,
     "name a serial device",
     [](Place& p, J v, std::string&) {
         if (!v.isString()) return false;
         p.line->kind = LineConfig::Kind::Rtu;
         p.line->device = v.asString();
         return true;
     },
     [](const LineConfig& l, const MeterConfig*) { return serial(l, l.device); }},
    {Scope::Line, "lines[].baud", "--baud", "N", "line speed (default 9600)", ValueType::Integer,
     50, 4000000, nullptr, nullptr,
     [](Place& p, J v, std::string&) {
         p.line->baud = v.asInt();
         return true;
     },
     [](const LineConfig& l, const MeterConfig*) { return serial(l, l.baud); }},
    {Scope::Line, "lines[].parity", "--parity", "N|E|O", "(default N)", ValueType::Custom, 0, 0,
     "N, E or O", "be \"N\", \"E\" or \"O\"",
     [](Place& p, J v, std::string&) {
         return v.isString() && parseParity(v.asString(), p.line->parity);
     },
     [](const LineConfig& l, const MeterConfig*) { return serial(l, std::string(1, l.parity)); }},
    {Scope::Line, "lines[].data_bits", "--data-bits", "5..8", "(default 8)", ValueType::Integer, 5,
     8, nullptr, nullptr,
     [](Place& p, J v, std::string&) {
         p.line->dataBits = v.asInt();
         return true;
     },
     [](const LineConfig& l, const MeterConfig*) { return serial(l, l.dataBits); }},
    {Scope::Line, "lines[].stop_bits", "--stop-bits", "1|2", "(default 1)", ValueType::Integer, 1,
     2, nullptr, nullptr,
     [](Place& p, J v, std::string&) {
         p.line->stopBits = v.asInt();
         return true;
     },
     [](const LineConfig& l, const MeterConfig*) { return serial(l, l.stopBits); }},
    // The command line's lines take the host's --timeout-ms.
    {Scope::Line, "lines[].timeout_ms", nullptr, nullptr, nullptr, ValueType::Integer, 1, 600000,
     nullptr, nullptr,
     [](Place& p, J v, std::string&) {
         p.line->timeoutMs = v.asInt();
         return true;
     },
     [](const LineConfig& l, const MeterConfig*) { return Json::Value(l.timeoutMs); }},
    {Scope::Line, "lines[].frame_gap_ms", "--frame-gap-ms", "MS",
     "pause between frames on the line (at least 3.5 characters)", ValueType::Integer, 0, 60000,
     nullptr, nullptr,
     [](Place& p, J v, std::string&) {
         p.line->frameGapMs = v.asInt();
         return true;
     },
     [](const LineConfig& l, const MeterConfig*) { return Json::Value(l.frameGapMs); }},
    {Scope::Reach, "lines[].tcp", "--tcp", "HOST:PORT",
     "Modbus TCP endpoint instead of a serial line", ValueType::Custom, 0, 0, "HOST:PORT",
     "be \"HOST:PORT\"",
     [](Place& p, J v, std::string&) {
         p.line->kind = LineConfig::Kind::Tcp;
         return v.isString() && parseHostPort(v.asString(), p.line->host, p.line->port);
     },
     [](const LineConfig& l, const MeterConfig*) {
         return l.kind == LineConfig::Kind::Tcp ? Json::Value(l.host + ":" + std::to_string(l.port))
                                                : Json::Value();
     }},
    {Scope::Meter, "lines[].meters[].slave", "--slave", "ID", "unit id, 1..247 (default 1)",
     ValueType::Integer, 1, 247, nullptr, nullptr,
     [](Place& p, J v, std::string&) {
         p.meter->slave = v.asInt();
         return true;
     },
     [](const LineConfig&, const MeterConfig* m) { return Json::Value(m->slave); }},
    {Scope::Meter, "lines[].meters[].data_id", "--data-id", "N", "the meter's data id (default 1)",
     ValueType::Integer, 1, 2147483647, nullptr, nullptr,
     [](Place& p, J v, std::string&) {
         p.meter->dataId = static_cast<unsigned>(v.asInt64());
         return true;
     },
     [](const LineConfig&, const MeterConfig* m) {
         return Json::Value(static_cast<Json::Int64>(m->dataId));
     }},
    {Scope::Meter, "lines[].meters[].settings", "--settings", "FILE",
     "the meter's JSON settings document (default {}); inline or a file name in the document",
     ValueType::Path, 0, 0, nullptr, "be an object or a file name",
     [](Place& p, J v, std::string& error) {
         if (v.isObject()) {
             p.meter->settings = v;
             return true;
         }
         return v.isString() && loadJsonObject("settings", pathFrom(p.folder, v.asString()),
                                               p.meter->settings, error);
     },
     [](const LineConfig&, const MeterConfig* m) { return m->settings; }},
};

const char* keyOf(const LineMember& m) { return std::strrchr(m.member, '.') + 1; }

// `"rtu" and "tcp"` or `--rtu and --tcp`: the ways a line is reached.
std::string reachList(bool flags) {
    std::string text;
    for (const LineMember& m : kMembers)
        if (m.scope == Scope::Reach)
            text += (text.empty() ? "" : " and ") +
                    (flags ? std::string(m.flag) : "\"" + std::string(keyOf(m)) + "\"");
    return text;
}

// --- The command line: one line with one meter ---------------------------------------------

// Made when the first of the one-meter options is read. Its time-out is left
// to the host's --timeout-ms.
LineConfig& single(Lines& lines) {
    if (lines.empty()) {
        lines.emplace_back();
        lines[0].timeoutMs = 0;
        lines[0].meters.emplace_back();
    }
    return lines[0];
}

// The member a one-meter option stands for.
const LineMember* memberOf(const OptionRow* row) {
    for (const LineMember& m : kMembers)
        if (row != nullptr && row->member != nullptr && std::strcmp(m.member, row->member) == 0)
            return &m;
    return nullptr;
}

bool storeOneMeter(Lines& lines, J v, const Given& given, std::string& error) {
    const LineMember* m = memberOf(given.row);
    if (m == nullptr) {
        error = given.name + ": not a member of a line";
        return false;
    }
    if (m->scope == Scope::Reach && given.sources != nullptr)
        for (const LineMember& other : kMembers)
            if (other.scope == Scope::Reach && &other != m && given.sources->has(other.member)) {
                error = reachList(true) + " exclude each other";
                return false;
            }
    LineConfig& line = single(lines);
    Place place{&line, &line.meters[0], given.folder};
    error.clear();
    if (m->put(place, v, error)) return true;
    if (error.empty())
        error = given.name + ": expected " + m->expected + ", got \"" + v.asString() + "\"";
    return false;
}

std::vector<SettingRow<Lines>> makeRows() {
    std::vector<SettingRow<Lines>> rows;
    for (const LineMember& m : kMembers)
        if (m.flag != nullptr)
            rows.push_back({{"one meter", m.flag, m.valueName, m.member, m.help, m.type,
                             static_cast<double>(m.min), static_cast<double>(m.max)},
                            storeOneMeter,
                            nullptr});
    rows.push_back({{"several meters", nullptr, nullptr, "lines",
                     "the lines and endpoints, each polled by a thread of its own, with their "
                     "meters",
                     ValueType::Custom, 0, 0},
                    // Lines without a time-out of their own get the host's once
                    // everything is read.
                    [](Lines& lines, J v, const Given& given, std::string& error) {
                        return parseLines(v, given.folder, 0, lines, error);
                    },
                    [](const Lines& lines) { return linesJson(lines); }});
    return rows;
}

// --- The document: the "lines" array ---------------------------------------------------------

bool checkKeys(J object, Scope scope, const std::string& where, std::string& error) {
    std::set<std::string> known;
    for (const LineMember& m : kMembers)
        if ((m.scope == Scope::Meter) == (scope == Scope::Meter)) known.insert(keyOf(m));
    if (scope != Scope::Meter) known.insert("meters");
    for (const auto& name : object.getMemberNames()) {
        if (!known.count(name)) {
            error = where + ": unknown key \"" + name + "\"";
            return false;
        }
    }
    return true;
}

bool readMember(const LineMember& m, J v, const std::string& where, Place& place,
                std::string& error) {
    const std::string key = keyOf(m);
    if (m.type == ValueType::Integer) {
        // isInt64 first: the reader keeps numbers up to 2^64 (and reals far
        // beyond), and asking such a value for a 64-bit integer throws.
        if (!v.isIntegral() || !v.isInt64() || v.asInt64() < m.min || v.asInt64() > m.max) {
            error = where + ": \"" + key + "\" must be an integer " + std::to_string(m.min) + ".." +
                    std::to_string(m.max) + ", got " + valueText(v);
            return false;
        }
    } else if (v.isString() && v.asString().empty()) {
        // An empty text names nothing: no device, endpoint or file.
        error = where + ": \"" + key + "\" must " + m.mustBe;
        return false;
    }
    error.clear();
    if (m.put(place, v, error)) return true;
    error = error.empty() ? where + ": \"" + key + "\" must " + m.mustBe : where + ": " + error;
    return false;
}

// The members of `scope` that `object` holds: the numbers first, then the rest.
bool readScope(J object, Scope scope, const std::string& where, Place& place, std::string& error) {
    for (const bool numbers : {true, false})
        for (const LineMember& m : kMembers) {
            if (m.scope != scope || (m.type == ValueType::Integer) != numbers) continue;
            if (object.isMember(keyOf(m)) && !readMember(m, object[keyOf(m)], where, place, error))
                return false;
        }
    return true;
}

bool parseMeter(J mv, const std::string& where, Place& place, std::string& error) {
    if (!mv.isObject()) {
        error = where + ": expected an object";
        return false;
    }
    return checkKeys(mv, Scope::Meter, where, error) &&
           readScope(mv, Scope::Meter, where, place, error);
}

bool parseLine(J l, const std::string& where, const std::string& folder, LineConfig& line,
               std::string& error) {
    if (!l.isObject()) {
        error = where + ": expected an object";
        return false;
    }
    if (!checkKeys(l, Scope::Line, where, error)) return false;
    int reached = 0;
    for (const LineMember& m : kMembers) reached += m.scope == Scope::Reach && l.isMember(keyOf(m));
    if (reached != 1) {
        error = where + ": give exactly one of " + reachList(false);
        return false;
    }
    Place place{&line, nullptr, folder};
    if (!readScope(l, Scope::Reach, where, place, error) ||
        !readScope(l, Scope::Line, where, place, error))
        return false;
    const Json::Value& meters = l["meters"];
    if (!meters.isArray() || meters.empty()) {
        error = where + ": expected a non-empty \"meters\" array";
        return false;
    }
    for (Json::ArrayIndex m = 0; m < meters.size(); ++m) {
        MeterConfig meter;
        place.meter = &meter;
        if (!parseMeter(meters[m], where + ".meters[" + std::to_string(m) + "]", place, error))
            return false;
        line.meters.push_back(std::move(meter));
    }
    return true;
}

// A line's or meter's members as check-config shows them.
void showPart(const LineConfig& line, const MeterConfig* meter, Json::Value& out) {
    for (const LineMember& m : kMembers) {
        if ((m.scope == Scope::Meter) != (meter != nullptr)) continue;
        Json::Value value = m.get(line, meter);
        if (!value.isNull()) out[keyOf(m)] = std::move(value);
    }
}

}  // namespace

const SettingTable<Lines>& lineOptions() {
    static const std::vector<SettingRow<Lines>> rows = makeRows();
    static const SettingTable<Lines> table{rows.data(), rows.size(), nullptr};
    return table;
}

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
        showPart(line, nullptr, l);
        Json::Value& meters = l["meters"] = Json::Value(Json::arrayValue);
        for (const MeterConfig& meter : line.meters) {
            Json::Value m(Json::objectValue);
            showPart(line, &meter, m);
            meters.append(m);
        }
        out.append(l);
    }
    return out;
}

}  // namespace vedhost
