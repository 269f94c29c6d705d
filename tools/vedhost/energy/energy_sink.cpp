#include "energy/energy_sink.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iostream>

#include "common/local_time.h"

namespace vedhost::energy {
namespace {

double rounded(double v, double step) { return std::round(v / step) * step + 0.0; }

std::string kwText(double kw) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f kW", kw);
    return text;
}

}  // namespace

const std::vector<StateValue>& stateValueRows() {
    static const std::vector<StateValue> rows = {
        {"energy_fwd_active_total", "import total", "kWh", "energy", "total_increasing"},
        {"energy_rev_active_total", "export total", "kWh", "energy", "total_increasing"},
        {"energy_fwd_reactive_total", "Q import total", "kvarh", "reactive_energy",
         "total_increasing"},
        {"energy_rev_reactive_total", "Q export total", "kvarh", "reactive_energy",
         "total_increasing"},
        {"energy_fwd_active_today", "import today", "kWh", "", ""},
        {"energy_fwd_active_month", "import this month", "kWh", "", ""},
        {"energy_rev_active_today", "export today", "kWh", "", ""},
        {"energy_rev_active_month", "export this month", "kWh", "", ""},
        {"energy_cost_today", "cost today", "", "", ""},
        {"energy_cost_month", "cost this month", "", "", ""},
        {"energy_credit_today", "credit today", "", "", ""},
        {"energy_credit_month", "credit this month", "", "", ""},
        {"demand_active", "demand", "kW", "power", "measurement"},
        {"demand_active_projected", "demand projected", "kW", "power", "measurement"},
        {"demand_active_max", "peak demand this month", "kW", "power", "measurement"},
        {"demand_active_max_time", "peak demand at", "", "", ""},
        {"demand_active_max_at", "peak demand at, unix time", "", "", ""},
    };
    return rows;
}

EnergyRules energyRules(const EnergyOptions& o, double intervalSeconds) {
    EnergyRules rules;
    rules.ledger.gapMs =
        std::max<std::int64_t>(120000, static_cast<std::int64_t>(5000 * intervalSeconds));
    rules.demand.windowMinutes = o.demandMinutes;
    rules.demand.sliding = o.demandSliding;
    rules.demand.gapMs = rules.ledger.gapMs;
    rules.plan.currency = o.currency;
    rules.plan.tariffs = o.tariffs;
    rules.billingDay = o.billingDay;
    rules.demandLimitKw = o.demandLimitKw;
    return rules;
}

EnergySink::EnergySink(EnergyRules rules, EnergyStore* store)
    : books_(std::move(rules)), store_(store) {}

void EnergySink::addMeter(unsigned dataId, std::int64_t nowMs) {
    books_.addMeter(dataId);
    if (store_ == nullptr) return;
    if (store_->ready()) return restore(dataId, nowMs);
    std::lock_guard<std::mutex> lock(waitingMutex_);
    waiting_.insert(dataId);
    anyWaiting_ = true;
}

bool EnergySink::restored(unsigned dataId, std::int64_t nowMs) {
    if (!anyWaiting_) return true;
    {
        std::lock_guard<std::mutex> lock(waitingMutex_);
        if (waiting_.count(dataId) == 0) return true;
    }
    if (!store_->ready()) return false;
    restore(dataId, nowMs);
    std::lock_guard<std::mutex> lock(waitingMutex_);
    waiting_.erase(dataId);
    anyWaiting_ = !waiting_.empty();
    return true;
}

void EnergySink::restore(unsigned dataId, std::int64_t nowMs) {
    const std::int64_t now = secondsOf(nowMs);
    const Span month = periodAt(Period::Month, now);
    std::vector<std::pair<UsageKey, Amount>> days;
    for (std::size_t i = 0; i < kCounters; ++i)
        for (const UsageRow& row : store_->days(dataId, i, month.start, month.end))
            days.push_back({UsageKey{dataId, i, row.start, row.band}, row.amount});
    const auto peaks = store_->peaks(dataId, month.start, month.end);
    books_.restore(dataId, store_->ledger(dataId), days,
                   peaks.empty() ? std::nullopt : std::optional<DemandPeak>(peaks.back()), now);
}

void EnergySink::round(unsigned dataId, std::int64_t unixMs, const Reading& reading) {
    if (store_ != nullptr && !restored(dataId, unixMs)) return;
    Changes changes;
    const RoundNotes notes = books_.record(dataId, unixMs, reading, changes);
    if (store_ != nullptr) store_->queue(std::move(changes));
    for (const std::string& line : notes.lines) std::cerr << "vedhost: " << line << std::endl;
    if (notes.limit == LimitChange::None || !listener_) return;
    const double limit = books_.rules().demandLimitKw;
    LimitAlarm a;
    a.dataId = dataId;
    a.raised = notes.limit == LimitChange::Raised;
    a.alarmId = kLimitAlarmId;
    a.key = kLimitAlarmKey;
    a.valueText = kwText(notes.projectedKw);
    a.message = "projected demand " + kwText(notes.projectedKw) +
                (a.raised ? " is over the limit of " : " is back under the limit of ") +
                kwText(limit);
    listener_(a);
}

bool EnergySink::roundRecord(unsigned dataId, std::int64_t unixMs, const unsigned char* record,
                             std::size_t length) {
    Reading reading;
    if (!readingFromRecord(record, length, reading)) return false;
    round(dataId, unixMs, reading);
    return true;
}

Json::Value EnergySink::stateValues(unsigned dataId) const {
    const MeterSummary s = books_.summary(dataId);
    if (!s.known) return Json::Value();
    Json::Value values(Json::objectValue), units(Json::objectValue);
    const std::string currency = books_.rules().plan.currency;
    auto put = [&](const char* id, double v, double step) {
        values[id] = rounded(v, step);
        for (const StateValue& row : stateValueRows())
            if (std::string(row.id) == id) {
                const std::string unit = *row.unit != '\0' ? row.unit : currency;
                if (!unit.empty()) units[id] = unit;
            }
    };
    for (std::size_t i = 0; i < kCounters; ++i)
        put(kCounterInfo[i].totalId, s.counters[i].total, kUnitsPerCount);
    put("energy_fwd_active_today", s.counters[kImportActive].today.units, 0.001);
    put("energy_fwd_active_month", s.counters[kImportActive].month.units, 0.001);
    put("energy_rev_active_today", s.counters[kExportActive].today.units, 0.001);
    put("energy_rev_active_month", s.counters[kExportActive].month.units, 0.001);
    if (s.todayCost) {
        put("energy_cost_today", *s.todayCost, 0.0001);
        put("energy_cost_month", *s.monthCost, 0.0001);
        put("energy_credit_today", *s.todayCredit, 0.0001);
        put("energy_credit_month", *s.monthCredit, 0.0001);
    }
    if (s.demand.valid) {
        put("demand_active", s.demand.runningKw, 0.001);
        put("demand_active_projected", s.demand.projectedKw, 0.001);
    }
    if (s.peak) {
        put("demand_active_max", s.peak->kw, 0.001);
        values["demand_active_max_time"] = localText(s.peak->windowStart);
        values["demand_active_max_at"] = Json::Int64(s.peak->windowStart);
    }
    Json::Value out(Json::objectValue);
    out["values"] = values;
    out["units"] = units;
    return out;
}

}  // namespace vedhost::energy
