#include "history/history_export.h"

#include <cmath>
#include <cstdio>
#include <ctime>

#include "presentation/presentation.h"
#include "presentation/signal_values.h"

namespace vedhost {
namespace {

using ved96_report::SignalKind;

// The signals a record decodes into, in report order: all but the nested
// alarm object.
std::vector<const ved96_report::Signal*> columns() {
    std::vector<const ved96_report::Signal*> out;
    for (const auto& signal : ved96_report::signals())
        if (signal.kind != SignalKind::AlertArray) out.push_back(&signal);
    return out;
}

std::string csvCell(const Json::Value& value) {
    if (value.isBool()) return value.asBool() ? "1" : "0";
    if (value.isNumeric()) return numberText(value.asDouble());
    if (!value.isString()) return "";
    const std::string text = value.asString();
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

// A consolidated number as presented: scaled by the user's presentation.
Json::Value presented(const HistoryQuery& query, const ved96_report::Signal* signal, float v) {
    if (std::isnan(v)) return Json::Value();
    return query.presentation.value({signal, static_cast<double>(v)});
}

std::string mib(std::uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1 << 20));
    return text;
}

std::string duration(std::int64_t seconds) {
    char text[32];
    if (seconds >= 2 * 86400)
        std::snprintf(text, sizeof text, "%.1f days", static_cast<double>(seconds) / 86400);
    else if (seconds >= 2 * 3600)
        std::snprintf(text, sizeof text, "%.1f hours", static_cast<double>(seconds) / 3600);
    else
        std::snprintf(text, sizeof text, "%lld s", static_cast<long long>(seconds));
    return text;
}

}  // namespace

std::size_t writeConsolidated(const std::vector<ConsolidatedRow>& rows, const HistoryQuery& query,
                              std::ostream& out) {
    if (query.format == HistoryQuery::Format::Csv) {
        out << "data_id,time,count";
        if (!rows.empty())
            for (const ConsolidatedSignal& c : rows.front().layout) {
                if (c.how == Consolidation::Last)
                    out << ',' << c.signal->id;
                else
                    out << ',' << c.signal->id << "_min," << c.signal->id << "_avg," << c.signal->id
                        << "_max";
            }
        out << '\n';
    }
    for (const ConsolidatedRow& row : rows) {
        if (query.format == HistoryQuery::Format::List) {
            out << "data_id " << row.dataId << '\t' << row.time << '\t' << row.count << " rounds\n";
            continue;
        }
        if (query.format == HistoryQuery::Format::Json) {
            Json::Value line(Json::objectValue);
            line["data_id"] = row.dataId;
            line["time"] = row.time;
            line["resolution"] = query.resolution;
            line["count"] = Json::Value::Int64(row.count);
            Json::Value values(Json::objectValue);
            std::size_t at = 0;
            for (const ConsolidatedSignal& c : row.layout) {
                if (c.signal->id[0] == '\0') {
                    at += c.how == Consolidation::Last ? 1 : 3;
                    continue;
                }
                if (c.how == Consolidation::Last) {
                    values[c.signal->id] = presented(query, c.signal, row.values[at++]);
                    continue;
                }
                Json::Value v(Json::objectValue);
                v["min"] = presented(query, c.signal, row.values[at]);
                v["avg"] = presented(query, c.signal, row.values[at + 1]);
                v["max"] = presented(query, c.signal, row.values[at + 2]);
                values[c.signal->id] = v;
                at += 3;
            }
            line["values"] = values;
            out << presentedJson(line) << '\n';
            continue;
        }
        out << row.dataId << ',' << row.time << ',' << row.count;
        // The header follows the first row; a row of another layout (the
        // configuration changed) is written by that header's columns.
        const auto& header = rows.front().layout;
        for (const ConsolidatedSignal& want : header) {
            const std::size_t n = want.how == Consolidation::Last ? 1 : 3;
            std::size_t at = 0;
            const float* found = nullptr;
            for (const ConsolidatedSignal& c : row.layout) {
                const std::size_t width = c.how == Consolidation::Last ? 1 : 3;
                if (c.signal == want.signal && c.how == want.how) found = &row.values[at];
                at += width;
            }
            for (std::size_t i = 0; i < n; ++i) {
                out << ',';
                if (found != nullptr) out << csvCell(presented(query, want.signal, found[i]));
            }
        }
        out << '\n';
    }
    return rows.size();
}

void writeStoreInfo(const StoreInfo& info, std::ostream& out) {
    out << "size\t" << mib(info.databaseBytes + info.walBytes + info.shmBytes) << " (database "
        << mib(info.databaseBytes) << ", WAL " << mib(info.walBytes) << ")\n";
    out << "cap\t" << (info.maxBytes > 0 ? mib(info.maxBytes) : std::string("not set")) << '\n';
    for (const TierExtent& t : info.tiers) {
        out << t.name << '\t' << t.rows << " rows";
        if (t.rows > 0)
            out << ", " << localText(t.oldest) << " to " << localText(t.newest) << " ("
                << duration(t.newest - t.oldest + t.step) << ")";
        if (t.step > 0) out << "; step " << duration(t.step) << ", kept " << duration(t.span);
        out << '\n';
    }
}

std::size_t writeHistory(const std::vector<HistoryRow>& rows, const HistoryQuery& query,
                         std::ostream& out) {
    const auto signalColumns = columns();
    if (query.format == HistoryQuery::Format::Csv) {
        out << "record,data_id,time";
        for (const auto* signal : signalColumns) out << ',' << signal->id;
        out << '\n';
    }
    std::size_t written = 0;
    for (const HistoryRow& row : rows) {
        // Stored times are "2024-03-07T09:05:02.123": text order is time order.
        if (!query.since.empty() && row.time < query.since) continue;
        if (!query.until.empty() && row.time >= query.until) continue;
        ++written;
        if (query.format == HistoryQuery::Format::List) {
            out << row.id << "\tdata_id " << row.dataId << "\t" << row.time << "\t"
                << row.record.size() << " bytes\n";
            continue;
        }
        const auto values = recordValues(row.record.data(), row.record.size());
        if (query.format == HistoryQuery::Format::Json) {
            Json::Value line(Json::objectValue);
            line["record"] = Json::Value::Int64(row.id);
            line["data_id"] = row.dataId;
            line["time"] = row.time;
            if (values.empty()) {
                line["values"] = Json::Value();
                line["bytes"] = Json::Value::UInt64(row.record.size());
            } else {
                line["values"] = query.presentation.values(values);
            }
            out << presentedJson(line) << '\n';
            continue;
        }
        out << row.id << ',' << row.dataId << ',' << row.time;
        // A row that does not decode keeps its place with empty cells.
        std::size_t next = 0;
        for (const auto* signal : signalColumns) {
            out << ',';
            if (next < values.size() && values[next].signal == signal)
                out << csvCell(query.presentation.value(values[next++]));
        }
        out << '\n';
    }
    return written;
}

}  // namespace vedhost
