// The history's settings.
#include "history/history_options.h"

#include <cstdio>
#include <cstdlib>

namespace vedhost {
namespace {

using J = const Json::Value&;

// A tier's step or span: seconds as a number, or a text with its unit,
// "15m", "7d", "1h", "30s".
bool seconds(J v, std::int64_t& out) {
    if (v.isIntegral() && v.asInt64() > 0) {
        out = v.asInt64();
        return true;
    }
    if (!v.isString()) return false;
    long long n = 0;
    char unit = 0, tail = 0;
    if (std::sscanf(v.asCString(), "%lld%c%c", &n, &unit, &tail) != 2 || n <= 0) return false;
    const std::int64_t scale = unit == 's'   ? 1
                               : unit == 'm' ? 60
                               : unit == 'h' ? 3600
                               : unit == 'd' ? 86400
                                             : 0;
    out = n * scale;
    return scale > 0;
}

bool storeTiers(HistoryOptions& h, J v, const Given& given, std::string& error) {
    std::vector<TierShape> tiers;
    if (!v.isArray()) {
        error = given.name + ": expected a list of {\"name\", \"step\", \"span\"}";
        return false;
    }
    for (const Json::Value& t : v) {
        TierShape tier;
        if (!t.isObject() || !t["name"].isString() || !seconds(t["step"], tier.step) ||
            !seconds(t["span"], tier.span)) {
            error = given.name +
                    ": each tier is {\"name\": \"15m\", \"step\": \"15m\", \"span\": \"366d\"}"
                    " (step and span in seconds or with s, m, h, d)";
            return false;
        }
        tier.name = t["name"].asString();
        tiers.push_back(tier);
    }
    if (!checkTiers(tiers, error)) {
        error = given.name + ": " + error;
        return false;
    }
    h.tiers = tiers;
    return true;
}

Json::Value showTiers(const HistoryOptions& h) {
    Json::Value out(Json::arrayValue);
    for (const TierShape& t : h.tiers) {
        Json::Value tier(Json::objectValue);
        tier["name"] = t.name;
        tier["step"] = Json::Int64(t.step);
        tier["span"] = Json::Int64(t.span);
        out.append(tier);
    }
    return out;
}

bool storeSignals(HistoryOptions& h, J v, const Given& given, std::string& error) {
    std::vector<std::string> ids;
    if (v.isArray())
        for (const Json::Value& id : v)
            if (id.isString()) ids.push_back(id.asString());
    if (!v.isArray() || ids.size() != v.size()) {
        error = given.name + ": expected a list of signal ids";
        return false;
    }
    std::vector<ConsolidatedSignal> layout;
    if (!consolidatedSignals(ids, layout, error)) {
        error = given.name + ": " + error;
        return false;
    }
    h.signals = ids;
    return true;
}

Json::Value showSignals(const HistoryOptions& h) {
    Json::Value out(Json::arrayValue);
    for (const std::string& id : h.signals) out.append(id);
    return out;
}

const SettingRow<HistoryOptions> kRows[] = {
    {{"everything", "--history", "FILE", "history.path",
      "SQLite history and cache; newest record reloaded at start (default:\n"
      "$VEDHOST_DEFAULT_HISTORY, else none)",
      ValueType::Path, 0, 0},
     [](HistoryOptions& h, J v, const Given&, std::string&) {
         h.path = v.asString();
         return true;
     },
     [](const HistoryOptions& h) { return textOrNull(h.path); }},
    {{"everything", "--history-max-mb", "N", "history.max_mb",
      "the history's files (database, WAL, index) together never larger (default\n128)",
      ValueType::Integer, 4, 1048576},
     [](HistoryOptions& h, J v, const Given&, std::string&) {
         h.maxMb = static_cast<long>(v.asInt64());
         return true;
     },
     [](const HistoryOptions& h) { return Json::Value(static_cast<Json::Int64>(h.maxMb)); }},
    {{"everything", "--history-commit-seconds", "S", "history.commit_seconds",
      "rounds committed to the history together; the most a crash or power cut\n"
      "loses (default 10)",
      ValueType::Real, 0.01, 3600},
     [](HistoryOptions& h, J v, const Given&, std::string&) {
         h.commitSeconds = v.asDouble();
         return true;
     },
     [](const HistoryOptions& h) { return Json::Value(h.commitSeconds); }},
    {{"everything", nullptr, nullptr, "history.tiers",
      "consolidated tiers, finest first: [{\"name\": \"1m\", \"step\": \"1m\", \"span\":\n"
      "\"7d\"}, ...]; each step a multiple of the one before (default 1m for 7d,\n"
      "15m for 366d, 1d for 3653d)",
      ValueType::Custom, 0, 0},
     storeTiers,
     showTiers},
    {{"everything", nullptr, nullptr, "history.signals",
      "signal ids consolidated beside the measurements and energy counters\n"
      "(min/avg/max; status words and bits by their last value)",
      ValueType::Custom, 0, 0},
     storeSignals,
     showSignals},
};

// A service names its instance's history file in the environment
// (VEDHOST_DEFAULT_HISTORY); a document or --history names another.
bool finishHistory(HistoryOptions& h, Sources& sources, std::string&) {
    const char* fallback = std::getenv("VEDHOST_DEFAULT_HISTORY");
    if (h.path.empty() && fallback != nullptr && *fallback != '\0') {
        h.path = fallback;
        sources.note("history.path", Source::Environment);
    }
    return true;
}

const SettingTable<HistoryOptions> kTable = settingTable(kRows, finishHistory);

}  // namespace

const SettingTable<HistoryOptions>& historyOptions() { return kTable; }

}  // namespace vedhost
