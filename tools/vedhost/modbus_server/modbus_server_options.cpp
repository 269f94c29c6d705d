// The Modbus server's settings.
#include "modbus_server/modbus_server_options.h"

#include "common/parse.h"

namespace vedhost {

bool parseRegisterRange(const std::string& text, unsigned& first, unsigned& last) {
    const std::size_t dash = text.find('-');
    long a = 0, b = 0;
    if (!parseLong(text.substr(0, dash), 0, 65535, a)) return false;
    b = a;
    if (dash != std::string::npos && !parseLong(text.substr(dash + 1), 0, 65535, b)) return false;
    if (b < a) return false;
    first = static_cast<unsigned>(a);
    last = static_cast<unsigned>(b);
    return true;
}

bool unitRoutes(const std::map<int, unsigned>& units,
                const std::vector<std::pair<unsigned, int>>& meters,
                std::map<int, unsigned>& routes, std::string& error) {
    std::map<int, unsigned> made;
    if (!units.empty()) {
        for (const auto& [unit, dataId] : units) {
            bool polled = false;
            for (const auto& meter : meters) polled = polled || meter.first == dataId;
            if (!polled) {
                error = "modbus_server.units: unit " + std::to_string(unit) + ": data id " +
                        std::to_string(dataId) + " is not polled";
                return false;
            }
            made[unit] = dataId;
        }
    } else {
        for (const auto& [dataId, slave] : meters) {
            const auto [it, fresh] = made.emplace(slave, dataId);
            if (!fresh && it->second != dataId) {
                error = "modbus_server: slave " + std::to_string(slave) + " is data id " +
                        std::to_string(it->second) + " and data id " + std::to_string(dataId) +
                        "; give \"units\" to name each meter by a unit id of its own";
                return false;
            }
        }
    }
    routes = std::move(made);
    return true;
}

namespace {

using J = const Json::Value&;

constexpr int kDefaultPort = 1502;

// ADDR:PORT or a bare PORT, as for --http; an address alone ("0.0.0.0",
// "[::1]") listens on the default port.
bool storeListen(ModbusServerOptions& s, J v, const Given& given, std::string& error) {
    std::string text = v.isString() ? v.asString() : "";
    std::string host;
    int port = 0;
    const bool bracketed = !text.empty() && text.front() == '[' && text.back() == ']';
    if (!text.empty() && (bracketed || (text.find(':') == std::string::npos &&
                                        text.find_first_not_of("0123456789") != std::string::npos)))
        text += ":" + std::to_string(kDefaultPort);
    if (!parseListen(text, host, port)) {
        error = given.name + ": expected ADDR:PORT, got " +
                (v.isString() ? "\"" + v.asString() + "\"" : valueText(v));
        return false;
    }
    s.listen = text;
    return true;
}

bool storeUnits(ModbusServerOptions& s, J v, const Given& given, std::string& error) {
    if (!v.isObject() || v.empty()) {
        error = given.name + ": expected an object of unit id to data id, such as {\"11\": 1}";
        return false;
    }
    std::map<int, unsigned> units;
    for (const std::string& key : v.getMemberNames()) {
        long unit = 0;
        if (!parseLong(key, 1, 247, unit)) {
            error = given.name + ": \"" + key + "\" is not a unit id 1..247";
            return false;
        }
        const Json::Value& id = v[key];
        if (!id.isIntegral() || id.asLargestInt() < 1 || id.asLargestInt() > 2147483647) {
            error = given.name + "." + key + ": expected a data id, got " + valueText(id);
            return false;
        }
        units[static_cast<int>(unit)] = id.asUInt();
    }
    s.units = std::move(units);
    return true;
}

bool storeWrites(ModbusServerOptions& s, J v, const Given& given, std::string& error) {
    if (!v.isArray()) {
        error = given.name +
                ": expected an array such as [{\"data_id\": 1, \"registers\": "
                "\"6000-6017\"}]";
        return false;
    }
    std::vector<WritableRange> writes;
    for (Json::ArrayIndex i = 0; i < v.size(); ++i) {
        const Json::Value& w = v[i];
        const std::string where = given.name + "[" + std::to_string(i) + "]";
        WritableRange range;
        if (!w.isObject() || !w["data_id"].isIntegral() || w["data_id"].asLargestInt() < 1 ||
            w["data_id"].asLargestInt() > 2147483647) {
            error = where + ": expected {\"data_id\": N, \"registers\": \"FIRST-LAST\"}";
            return false;
        }
        for (const std::string& member : w.getMemberNames())
            if (member != "data_id" && member != "registers") {
                error = where + ": unknown member \"" + member + "\"";
                return false;
            }
        range.dataId = w["data_id"].asUInt();
        if (!w["registers"].isString() ||
            !parseRegisterRange(w["registers"].asString(), range.first, range.last)) {
            error = where + ".registers: expected \"FIRST-LAST\" or one register, 0..65535, got " +
                    valueText(w["registers"]);
            return false;
        }
        writes.push_back(range);
    }
    s.writes = std::move(writes);
    return true;
}

Json::Value showUnits(const ModbusServerOptions& s) {
    if (s.units.empty()) return Json::Value();
    Json::Value out(Json::objectValue);
    for (const auto& [unit, dataId] : s.units) out[std::to_string(unit)] = dataId;
    return out;
}

Json::Value showWrites(const ModbusServerOptions& s) {
    if (s.writes.empty()) return Json::Value();
    Json::Value out(Json::arrayValue);
    for (const WritableRange& w : s.writes) {
        Json::Value row(Json::objectValue);
        row["data_id"] = w.dataId;
        row["registers"] = w.first == w.last
                               ? std::to_string(w.first)
                               : std::to_string(w.first) + "-" + std::to_string(w.last);
        out.append(row);
    }
    return out;
}

const SettingRow<ModbusServerOptions> kRows[] = {
    {{"everything", "--modbus-server", "ADDR:PORT", "modbus_server.listen",
      "serve the meters' registers over Modbus TCP from their latest rounds\n"
      "(127.0.0.1 unless an address is given; port 1502 unless one is given)",
      ValueType::Custom, 0, 0},
     storeListen,
     [](const ModbusServerOptions& s) { return Json::Value(s.listen); }},
    {{"everything", nullptr, nullptr, "modbus_server.units",
      "unit id to data id, {\"11\": 1, \"12\": 2}, when two lines carry the same\n"
      "slave id (default: each meter answers under its slave id)",
      ValueType::Custom, 0, 0},
     storeUnits,
     showUnits},
    {{"everything", nullptr, nullptr, "modbus_server.writes",
      "registers clients may write, [{\"data_id\": 1, \"registers\": \"6000-6017\"}];\n"
      "every other write is refused with exception 1",
      ValueType::Custom, 0, 0},
     storeWrites,
     showWrites},
    {{"everything", "--modbus-server-max-age", "S", "modbus_server.max_age",
      "a meter whose latest round is older than S seconds gets exception 11\n"
      "(default three polling intervals)",
      ValueType::Real, 0.001, 86400},
     [](ModbusServerOptions& s, J v, const Given&, std::string&) {
         s.maxAgeSeconds = v.asDouble();
         return true;
     },
     [](const ModbusServerOptions& s) {
         return s.maxAgeSeconds ? Json::Value(*s.maxAgeSeconds) : Json::Value();
     }},
    {{"everything", "--modbus-server-connections", "N", "modbus_server.connections",
      "client connections at most (default 32)", ValueType::Integer, 1, 4096},
     [](ModbusServerOptions& s, J v, const Given&, std::string&) {
         s.connections = v.asUInt();
         return true;
     },
     [](const ModbusServerOptions& s) { return Json::Value(Json::UInt64(s.connections)); }},
    {{"everything", "--modbus-server-client-connections", "N",
      "modbus_server.connections_per_client",
      "connections from one client address at most (default 8)", ValueType::Integer, 1, 4096},
     [](ModbusServerOptions& s, J v, const Given&, std::string&) {
         s.connectionsPerClient = v.asUInt();
         return true;
     },
     [](const ModbusServerOptions& s) {
         return Json::Value(Json::UInt64(s.connectionsPerClient));
     }},
    {{"everything", "--modbus-server-rate", "N", "modbus_server.requests_per_second",
      "requests per second from one client address; more wait their turn (default 200)",
      ValueType::Real, 1, 1000000},
     [](ModbusServerOptions& s, J v, const Given&, std::string&) {
         s.requestsPerSecond = v.asDouble();
         return true;
     },
     [](const ModbusServerOptions& s) { return Json::Value(s.requestsPerSecond); }},
    {{"everything", "--modbus-server-idle", "S", "modbus_server.idle_timeout",
      "a connection without a request for S seconds is closed (default 60)", ValueType::Real, 0.1,
      86400},
     [](ModbusServerOptions& s, J v, const Given&, std::string&) {
         s.idleSeconds = v.asDouble();
         return true;
     },
     [](const ModbusServerOptions& s) { return Json::Value(s.idleSeconds); }},
};

// The other members need the address.
bool finishModbusServer(ModbusServerOptions& s, Sources& sources, std::string& error) {
    if (!sources.has("modbus_server.listen")) {
        error = sources.givenInDocument("modbus_server.")
                    ? "modbus_server.listen: missing; the other \"modbus_server\" members need it"
                    : "the --modbus-server-* options need --modbus-server ADDR:PORT";
        return false;
    }
    if (s.connectionsPerClient > s.connections) {
        error = sources.spelled("modbus_server.connections_per_client",
                                "--modbus-server-client-connections") +
                " (" + std::to_string(s.connectionsPerClient) + ") must not exceed " +
                sources.spelled("modbus_server.connections", "--modbus-server-connections") + " (" +
                std::to_string(s.connections) + ")";
        return false;
    }
    return true;
}

const SettingTable<ModbusServerOptions> kTable = settingTable(kRows, finishModbusServer);

}  // namespace

const SettingTable<ModbusServerOptions>& modbusServerOptions() { return kTable; }

// Unit ids and writes must name polled meters, so a document that cannot be
// served is refused before any line is opened.
bool checkServedMeters(const ModbusServerOptions& s, const std::vector<LineConfig>& lines,
                       std::string& error) {
    std::vector<std::pair<unsigned, int>> meters;
    for (const LineConfig& line : lines)
        for (const MeterConfig& m : line.meters) meters.emplace_back(m.dataId, m.slave);
    for (std::size_t i = 0; i < s.writes.size(); ++i) {
        bool polled = false;
        for (const auto& m : meters) polled = polled || m.first == s.writes[i].dataId;
        if (!polled) {
            error = "modbus_server.writes[" + std::to_string(i) + "]: data id " +
                    std::to_string(s.writes[i].dataId) + " is not polled";
            return false;
        }
    }
    std::map<int, unsigned> routes;
    return unitRoutes(s.units, meters, routes, error);
}

}  // namespace vedhost
