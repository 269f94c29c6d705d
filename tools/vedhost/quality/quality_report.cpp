#include "quality/quality_report.h"

#include <cmath>
#include <string>

#include "common/local_time.h"
#include "presentation/presentation.h"

namespace vedhost::quality {
namespace {

constexpr const char* kPhaseNames[] = {"L1", "L2", "L3"};
constexpr const char* kLineNames[] = {"L1-L2", "L2-L3", "L3-L1"};

// A stored single-precision value as its shortest decimal: 253.1, not
// 253.100006103516. Null for no value.
Json::Value number(double value) {
    if (std::isnan(value) || std::isinf(value)) return Json::Value();
    return roundToSingle(value);
}

const char* unitOf(const Criterion& c) {
    switch (c.quantity) {
        case Quantity::Voltage:
            return "V";
        case Quantity::Frequency:
            return "Hz";
        default:
            return "%";
    }
}

const char* resultText(bool judged, bool pass) {
    return !judged ? "no values" : pass ? "pass" : "fail";
}

Json::Value criterionJson(const Result& r, const Nominal& nominal) {
    const Criterion& c = *r.criterion;
    Json::Value out(Json::objectValue);
    out["criterion"] = c.id;
    if (r.phase < 0)
        out["phase"] = Json::Value();
    else
        out["phase"] = c.quantity == Quantity::Voltage && nominal.lineVoltages
                           ? kLineNames[r.phase]
                           : kPhaseNames[r.phase];
    out["text"] = criterionText(c);
    out["unit"] = unitOf(c);
    double low, high;
    limits(c, nominal, low, high);
    out["low"] = number(low);
    out["high"] = number(high);
    out["required"] = c.share / 100.0;
    out["values"] = Json::Int64(r.values);
    out["held"] = Json::Int64(r.held);
    out["share"] = r.judged() ? Json::Value(r.sharePercent()) : Json::Value();
    out["result"] = resultText(r.judged(), r.pass());
    out["worst"] = number(r.worst);
    out["worst_at"] = r.judged() ? Json::Value(localText(r.worstAt)) : Json::Value();
    out["worst_unix"] = r.judged() ? Json::Value(Json::Int64(r.worstAt)) : Json::Value();
    out["excursion_count"] = Json::Int64(r.excursionCount);
    Json::Value list(Json::arrayValue);
    for (const Excursion& e : r.excursions) {
        Json::Value x(Json::objectValue);
        x["start"] = localText(e.start);
        x["start_unix"] = Json::Int64(e.start);
        x["seconds"] = Json::Int64(e.seconds);
        x["extreme"] = number(e.extreme);
        list.append(x);
    }
    out["excursions"] = list;
    return out;
}

// A CSV cell: empty for no value.
std::string cell(double value) { return std::isnan(value) ? "" : numberText(value); }

}  // namespace

const char* const kPolledNote =
    "These values are polled from the meter once a round, not measured by a Class A "
    "instrument, so dips, swells and flicker shorter than a round are not seen.";

Json::Value assessmentJson(const Assessment& a) {
    Json::Value out(Json::objectValue);
    out["data_id"] = a.dataId;
    out["week"] = a.week.label();
    out["start"] = localText(a.week.start);
    out["end"] = localText(a.week.end);
    out["start_unix"] = Json::Int64(a.week.start);
    out["end_unix"] = Json::Int64(a.week.end);
    out["hours"] = Json::Int64(a.week.hours());
    out["complete"] = a.complete;
    out["assessed"] = localText(a.assessedAt);
    out["nominal_v"] = a.nominal.voltage;
    out["nominal_hz"] = a.nominal.frequency;
    out["voltages"] = a.nominal.lineVoltages ? "line" : "phase";
    const std::int64_t seconds = a.week.end - a.week.start;
    out["ten_minute_values"] = Json::Int64(a.intervals);
    out["ten_minute_expected"] = Json::Int64(seconds / kIntervalSeconds);
    out["ten_second_values"] = Json::Int64(a.windows);
    out["ten_second_expected"] = Json::Int64(seconds / kWindowSeconds);
    bool judged = false;
    for (const Result& r : a.results) judged = judged || r.judged();
    out["result"] = resultText(judged, a.pass());
    out["note"] = kPolledNote;
    Json::Value criteria(Json::arrayValue);
    for (const Result& r : a.results) criteria.append(criterionJson(r, a.nominal));
    out["criteria"] = criteria;
    return out;
}

std::size_t writeIntervalsCsv(const std::vector<std::pair<unsigned, Interval>>& rows,
                              std::ostream& out) {
    out << "time,data_id,rounds,voltage_l1,voltage_l2,voltage_l3,voltage_l1_l2,voltage_l2_l3,"
           "voltage_l3_l1,unbalance,frequency_min,frequency_mean,frequency_max,thd_l1,thd_l2,"
           "thd_l3";
    for (int order = kFirstOrder; order <= kLastOrder; ++order)
        for (const char* phase : {"l1", "l2", "l3"}) out << ",h" << order << "_" << phase;
    out << "\n";
    for (const auto& [dataId, i] : rows) {
        out << localText(i.start) << ',' << dataId << ',' << i.rounds;
        for (int p = 0; p < kPhases; ++p) out << ',' << cell(i.phaseVoltage(p));
        for (int p = 0; p < kPhases; ++p) out << ',' << cell(i.lineVoltage(p));
        out << ',' << cell(i.unbalance());
        double low = kNoValue, high = kNoValue, sum = 0;
        int n = 0;
        for (int w = 0; w < kWindows; ++w) {
            const double f = i.frequency(w);
            if (std::isnan(f)) continue;
            low = n == 0 ? f : std::fmin(low, f);
            high = n == 0 ? f : std::fmax(high, f);
            sum += f;
            ++n;
        }
        out << ',' << cell(low) << ',' << cell(n > 0 ? sum / n : kNoValue) << ',' << cell(high);
        for (int p = 0; p < kPhases; ++p) out << ',' << cell(i.thd(p));
        for (int order = kFirstOrder; order <= kLastOrder; ++order)
            for (int p = 0; p < kPhases; ++p) out << ',' << cell(i.harmonic(p, order));
        out << "\n";
    }
    return rows.size();
}

}  // namespace vedhost::quality
