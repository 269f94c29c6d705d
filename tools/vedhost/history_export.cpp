#include "history_export.h"

#include "presentation.h"
#include "signal_values.h"

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

}  // namespace

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
