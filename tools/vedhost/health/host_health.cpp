#include "health/host_health.h"

#include <chrono>
#include <cstdio>

#include "common/local_time.h"

namespace vedhost {
namespace {

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.15g", value);
    return text;
}

// A label's value as Prometheus' text format quotes it.
std::string quoted(const std::string& value) {
    std::string out;
    for (char c : value) {
        if (c == '\\' || c == '"') out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

struct Family {
    const char* name;
    const char* type;
    const char* help;
};

void head(std::string& out, const Family& f) {
    out +=
        std::string("# HELP ") + f.name + " " + f.help + "\n# TYPE " + f.name + " " + f.type + "\n";
}

void sample(std::string& out, const Family& f, const std::string& labels, double value) {
    out += f.name;
    if (!labels.empty()) out += "{" + labels + "}";
    out += " " + number(value) + "\n";
}

// One family whose samples are one per item of `items`.
template <typename T, typename Label, typename Value>
void family(std::string& out, const Family& f, const std::vector<T>& items, Label label,
            Value value) {
    if (items.empty()) return;
    head(out, f);
    for (const T& item : items) sample(out, f, label(item), value(item));
}

constexpr Family kLineUp{"ved96_line_up", "gauge",
                         "1 while the line's serial device or TCP endpoint is open, 0 while its "
                         "adapter is gone or its endpoint cannot be reached."};
constexpr Family kLineReopens{"ved96_line_reopens_total", "counter",
                              "Times the line's device came back after it had gone."};
constexpr Family kHistoryWritable{"ved96_history_writable", "gauge",
                                  "1 while the history stores rounds, 0 while storing has stopped "
                                  "(a full disk, a read-only or failing file system)."};
constexpr Family kStored{"ved96_history_rounds_stored_total", "counter",
                         "Rounds the history committed since the host started."};
constexpr Family kNotStored{"ved96_history_rounds_not_stored_total", "counter",
                            "Rounds the history could not store since the host started."};
constexpr Family kBytes{"ved96_history_size_bytes", "gauge",
                        "The history's files together: database, write-ahead log and its index."};
constexpr Family kLimit{"ved96_history_size_limit_bytes", "gauge",
                        "The most the history's files together may take (--history-max-mb)."};
constexpr Family kSteps{"ved96_clock_steps_total", "counter",
                        "Steps of the wall clock the monotonic clock did not bear out."};
constexpr Family kBrokerUp{"ved96_mqtt_connected", "gauge",
                           "1 while the meter's connection to the MQTT broker is up."};
constexpr Family kQueued{"ved96_mqtt_queue_messages", "gauge",
                         "State and alarm messages kept for the broker, not yet sent."};
constexpr Family kDropped{"ved96_mqtt_dropped_messages_total", "counter",
                          "Messages dropped, oldest first, while the broker was away and the "
                          "queue was full."};

std::string lineLabel(const LineHealth& l) { return "line=\"" + quoted(l.line) + "\""; }
std::string meterLabel(const BrokerHealth& b) {
    return "meter=\"" + std::to_string(b.dataId) + "\"";
}

const char* stopWords(HistoryHealth::Stop stop) {
    switch (stop) {
        case HistoryHealth::Stop::Full:
            return "history disk full";
        case HistoryHealth::Stop::ReadOnly:
            return "history read-only";
        default:
            return "history not stored";
    }
}

bool serial(const LineHealth& l) { return l.line.rfind("tcp ", 0) != 0; }

std::string goneWords(const LineHealth& l) { return "adapter gone on " + l.line; }

std::string clockText(std::int64_t ms) {
    return clockTime(std::chrono::system_clock::time_point(std::chrono::milliseconds(ms)));
}

std::string plural(std::uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

std::string healthMetrics(const HostHealth& h) {
    std::string out;
    family(out, kLineUp, h.lines, lineLabel, [](const LineHealth& l) { return l.up ? 1.0 : 0.0; });
    family(out, kLineReopens, h.lines, lineLabel,
           [](const LineHealth& l) { return static_cast<double>(l.reopens); });
    if (h.history) {
        const HistoryHealth& s = *h.history;
        const struct {
            const Family& family;
            double value;
        } rows[] = {
            {kHistoryWritable, s.stop == HistoryHealth::Stop::None ? 1.0 : 0.0},
            {kStored, static_cast<double>(s.stored)},
            {kNotStored, static_cast<double>(s.notStored)},
            {kBytes, static_cast<double>(s.bytes)},
            {kLimit, static_cast<double>(s.maxBytes)},
        };
        for (const auto& row : rows) {
            head(out, row.family);
            sample(out, row.family, "", row.value);
        }
    }
    head(out, kSteps);
    sample(out, kSteps, "", static_cast<double>(h.clockSteps));
    family(out, kBrokerUp, h.brokers, meterLabel,
           [](const BrokerHealth& b) { return b.connected ? 1.0 : 0.0; });
    family(out, kQueued, h.brokers, meterLabel,
           [](const BrokerHealth& b) { return static_cast<double>(b.queued); });
    family(out, kDropped, h.brokers, meterLabel,
           [](const BrokerHealth& b) { return static_cast<double>(b.dropped); });
    return out;
}

std::string healthStatus(const HostHealth& h, int polled, int answering) {
    std::string out = std::to_string(answering) + " of " + std::to_string(polled) +
                      (polled == 1 ? " meter" : " meters") + " answering";
    if (h.history && h.history->stop != HistoryHealth::Stop::None)
        out += std::string("; ") + stopWords(h.history->stop);
    // A serial line's adapter gone; a TCP endpoint out of reach is its
    // meters not answering, which the count says already.
    std::vector<const LineHealth*> gone;
    for (const LineHealth& l : h.lines)
        if (!l.up && serial(l)) gone.push_back(&l);
    if (gone.size() == 1) out += "; " + goneWords(*gone.front());
    if (gone.size() > 1) out += "; adapters gone on " + std::to_string(gone.size()) + " lines";
    bool away = false;
    for (const BrokerHealth& b : h.brokers) away = away || !b.connected;
    if (away) out += "; broker away";
    if (h.clockUnset) out += "; clock not set";
    return out;
}

Json::Value healthJson(const HostHealth& h) {
    Json::Value out(Json::objectValue);
    Json::Value problems(Json::arrayValue);
    auto problem = [&](const std::string& text, std::int64_t sinceMs) {
        Json::Value p(Json::objectValue);
        p["text"] = text;
        if (sinceMs > 0) p["since"] = Json::Int64(sinceMs / 1000);
        problems.append(p);
    };
    Json::Value lines(Json::arrayValue);
    for (const LineHealth& l : h.lines) {
        Json::Value j(Json::objectValue);
        j["line"] = l.line;
        j["up"] = l.up;
        j["reopens"] = Json::Int64(l.reopens);
        lines.append(j);
        if (!l.up && serial(l))
            problem(goneWords(l) + " since " + clockText(l.goneAtMs) +
                        (l.error.empty() ? "" : " (" + l.error + ")"),
                    l.goneAtMs);
    }
    out["lines"] = lines;
    if (h.history) {
        const HistoryHealth& s = *h.history;
        Json::Value j(Json::objectValue);
        j["storing"] = s.stop == HistoryHealth::Stop::None;
        j["stored"] = Json::UInt64(s.stored);
        j["not_stored"] = Json::UInt64(s.notStored);
        j["bytes"] = Json::UInt64(s.bytes);
        j["max_bytes"] = Json::UInt64(s.maxBytes);
        out["store"] = j;
        if (s.stop != HistoryHealth::Stop::None)
            problem(std::string(stopWords(s.stop)) + " since " + clockText(s.stoppedAtMs) +
                        (s.error.empty() ? "" : " (" + s.error + ")"),
                    s.stoppedAtMs);
    }
    Json::Value brokers(Json::arrayValue);
    std::int64_t awaySince = 0;
    std::uint64_t kept = 0, dropped = 0;
    for (const BrokerHealth& b : h.brokers) {
        Json::Value j(Json::objectValue);
        j["data_id"] = b.dataId;
        j["connected"] = b.connected;
        j["queued"] = Json::UInt64(b.queued);
        j["dropped"] = Json::UInt64(b.dropped);
        brokers.append(j);
        if (!b.connected && (awaySince == 0 || b.awaySinceMs < awaySince))
            awaySince = b.awaySinceMs;
        if (!b.connected) {
            kept += b.queued;
            dropped += b.dropped;
        }
    }
    if (!h.brokers.empty()) out["mqtt"] = brokers;
    if (awaySince > 0)
        problem("broker away since " + clockText(awaySince) + " (" +
                    plural(kept, "message", "messages") + " kept, " + std::to_string(dropped) +
                    " dropped)",
                awaySince);
    if (h.clockUnset) problem("the clock is not set: rounds are not stored", 0);
    out["clock_steps"] = Json::Int64(h.clockSteps);
    out["problems"] = problems;
    return out;
}

}  // namespace vedhost
