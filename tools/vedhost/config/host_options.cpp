// The host's own settings: polling, the plug-in, the outputs, --write and the
// presentation.
#include "config/host_options.h"

#include <sstream>

#include "common/json_file.h"
#include "common/parse.h"

namespace vedhost {
namespace {

using J = const Json::Value&;

bool storeText(std::string& field, J v) {
    field = v.asString();
    return true;
}

const SettingRow<HostSettings> kRows[] = {
    {{"everything", "--interval", "SECONDS", "interval",
      "start a polling round this often (default 1)", ValueType::Real, 0.01, 86400},
     [](HostSettings& c, J v, const Given&, std::string&) {
         c.intervalSeconds = v.asDouble();
         return true;
     },
     [](const HostSettings& c) { return Json::Value(c.intervalSeconds); }},
    {{"everything", "--rounds", "N", "rounds",
      "stop after N completed rounds per meter; a meter that gave no reply at all\n"
      "in N attempted rounds in a row is given up, one that answers runs until it\n"
      "completes N (default: until SIGINT/SIGTERM)",
      ValueType::Integer, 1, 1000000000},
     [](HostSettings& c, J v, const Given&, std::string&) {
         c.rounds = static_cast<long>(v.asInt64());
         return true;
     },
     [](const HostSettings& c) {
         return c.rounds ? Json::Value(static_cast<Json::Int64>(*c.rounds)) : Json::Value();
     }},
    {{"everything", "--timeout-ms", "MS", "timeout_ms",
      "response time-out per request, for lines that give none (default 1000)", ValueType::Integer,
      1, 600000},
     [](HostSettings& c, J v, const Given&, std::string&) {
         c.timeoutMs = v.asInt();
         return true;
     },
     [](const HostSettings& c) { return Json::Value(c.timeoutMs); }},
    {{"everything", "--plugin", "PATH", "plugin",
      "the plug-in to load (default: the one installed beside vedhost)", ValueType::Path, 0, 0},
     [](HostSettings& c, J v, const Given&, std::string&) { return storeText(c.pluginPath, v); },
     [](const HostSettings& c) { return textOrNull(c.pluginPath); }},
    {{"everything", "--report", "FILE|-", "report",
      "the meter's JSON report after each round, one per line", ValueType::Path, 0, 0},
     [](HostSettings& c, J v, const Given&, std::string&) { return storeText(c.reportPath, v); },
     [](const HostSettings& c) { return textOrNull(c.reportPath); }},
    {{"everything", "--show", nullptr, "show", "a table of the report after each round, on stdout",
      ValueType::Flag, 0, 0},
     [](HostSettings& c, J v, const Given&, std::string&) {
         c.show = v.asBool();
         return true;
     },
     [](const HostSettings& c) { return Json::Value(c.show); }},
    {{"everything", "--events", "FILE|-", "events",
      "every host service call and Modbus exchange, JSON lines", ValueType::Path, 0, 0},
     [](HostSettings& c, J v, const Given&, std::string&) { return storeText(c.eventsPath, v); },
     [](const HostSettings& c) { return textOrNull(c.eventsPath); }},
    {{"everything", "--plugin-log", "FILE", "plugin_log",
      "the plug-in's console lines go to FILE instead of stdout", ValueType::Path, 0, 0},
     [](HostSettings& c, J v, const Given&, std::string&) { return storeText(c.pluginLogPath, v); },
     [](const HostSettings& c) { return textOrNull(c.pluginLogPath); }},
    {{"everything", "--write", "REG=V[,V...]", "write",
      "write registers after the first round and report the outcome", ValueType::Custom, 0, 0},
     [](HostSettings& c, J v, const Given& given, std::string& error) {
         WriteRequest write;
         if (!v.isString()) {
             error = given.name + ": expected \"REG=VALUE[,VALUE...]\", got " + valueText(v);
             return false;
         }
         if (!parseWrite(v.asString(), write, error)) {
             // The reason names the option as it was spelled.
             error = given.name + error.substr(error.find(':'));
             return false;
         }
         c.write = std::move(write);
         return true;
     },
     [](const HostSettings& c) { return c.write ? Json::Value(c.write->text) : Json::Value(); }},
    {{"everything", "--presentation", "FILE", "presentation",
      "labels, scale factors and units by signal id (--show, MQTT, history);\n"
      "inline or a file name in the document",
      ValueType::Custom, 0, 0},
     [](HostSettings& c, J v, const Given& given, std::string& error) {
         if (v.isString()) return c.presentation.load(pathFrom(given.folder, v.asString()), error);
         return c.presentation.parse(v, error);
     },
     [](const HostSettings& c) {
         Json::Value styles(Json::objectValue);
         for (const std::string& id : c.presentation.ids()) {
             const SignalStyle* style = c.presentation.find(id);
             Json::Value& s = styles[id] = Json::Value(Json::objectValue);
             if (!style->label.empty()) s["label"] = style->label;
             if (style->scale != 1.0) s["scale"] = style->scale;
             if (!style->unit.empty()) s["unit"] = style->unit;
             if (!style->deviceClass.empty()) s["device_class"] = style->deviceClass;
             if (!style->stateClass.empty()) s["state_class"] = style->stateClass;
         }
         return styles.empty() ? Json::Value() : styles;
     }},
};

const SettingTable<HostSettings> kTable = settingTable(kRows);

}  // namespace

const SettingTable<HostSettings>& hostOptions() { return kTable; }

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

}  // namespace vedhost
