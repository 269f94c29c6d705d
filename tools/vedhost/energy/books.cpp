#include "energy/books.h"

#include <algorithm>
#include <cstdio>

#include "common/local_time.h"

namespace vedhost::energy {
namespace {

// A raised demand alarm clears once the projection is this far under the limit.
constexpr double kLimitClearShare = 0.95;

std::string unitsText(std::int64_t counts, const char* unit) {
    char text[48];
    std::snprintf(text, sizeof text, "%.1f %s", static_cast<double>(counts) * kUnitsPerCount, unit);
    return text;
}

double standingOn(const TariffPlan& plan, int date) {
    const Tariff* t = plan.at(date);
    return t != nullptr ? t->standingPerDay : 0;
}

}  // namespace

void Changes::append(Changes&& newer) {
    for (auto& [key, amount] : newer.hours) hours[key] += amount;
    for (auto& [key, amount] : newer.days) days[key] += amount;
    audit.insert(audit.end(), newer.audit.begin(), newer.audit.end());
    for (auto& [key, state] : newer.ledger) ledger[key] = state;
    for (auto& [key, peak] : newer.peaks) peaks[key] = peak;
    newer = Changes();
}

Books::Books(EnergyRules rules) : rules_(std::move(rules)) {}

void Books::addMeter(unsigned dataId) {
    auto m = std::make_unique<Meter>();
    m->demand = std::make_unique<Demand>(rules_.demand);
    meters_[dataId] = std::move(m);
}

void Books::enterDay(Meter& m, std::int64_t t) {
    if (t >= m.day.start && t < m.day.end) return;
    m.day = periodAt(Period::Day, t);
    m.dayDate = localDate(m.day.start).number();
    for (std::size_t i = 0; i < kCounters; ++i) {
        m.today[i] = {};
        m.todayMoney[i] = 0;
    }
    if (m.day.start >= m.month.start && m.day.start < m.month.end) return;
    m.month = periodAt(Period::Month, t);
    for (std::size_t i = 0; i < kCounters; ++i) {
        m.thisMonth[i] = {};
        m.monthMoney[i] = 0;
    }
}

void Books::learnHour(Meter& m, std::int64_t hourStart) {
    if (m.hour.start == hourStart && m.hour.end != 0) return;
    const LocalDate d = localDate(hourStart);
    m.hour = {hourStart, hourStart + 3600};
    if (d.number() != m.hourDate) {
        m.hourDate = d.number();
        m.hourDay = localMidnight(d.year, d.month, d.day);
    }
    const Band* band = rules_.plan.bandOf(d.number(), d.weekday, d.hour);
    m.hourBand = band != nullptr ? band->name : "";
    for (std::size_t i = 0; i < kCounters; ++i) {
        const CounterInfo& c = kCounterInfo[i];
        m.hourPrice[i] = band == nullptr || !c.active ? 0
                         : c.import                   ? band->importPrice
                                                      : band->exportPrice;
    }
}

void Books::add(Meter& m, unsigned dataId, std::size_t counter, const Step& step,
                Changes& changes) {
    if (step.counts == 0) return;
    const double units = static_cast<double>(step.counts) * kUnitsPerCount;
    spreadOverHours(units, step.fromMs, step.toMs, [&](std::int64_t hourStart, double share) {
        learnHour(m, hourStart);
        const Amount a{share, step.estimated ? share : 0};
        changes.hours[{dataId, counter, hourStart, ""}] += a;
        changes.days[{dataId, counter, m.hourDay, m.hourBand}] += a;
        const double money = share * m.hourPrice[counter];
        if (m.hourDay == m.day.start) {
            m.today[counter] += a;
            m.todayMoney[counter] += money;
        }
        if (m.hourDay >= m.month.start && m.hourDay < m.month.end) {
            m.thisMonth[counter] += a;
            m.monthMoney[counter] += money;
        }
    });
}

void Books::restore(unsigned dataId,
                    const std::vector<std::pair<std::size_t, CounterState>>& states,
                    const std::vector<std::pair<UsageKey, Amount>>& monthDays,
                    const std::optional<DemandPeak>& peak, std::int64_t now) {
    const auto it = meters_.find(dataId);
    if (it == meters_.end()) return;
    Meter& m = *it->second;
    std::lock_guard<std::mutex> lock(m.mutex);
    for (const auto& [counter, state] : states)
        if (counter < kCounters) m.counters[counter] = state;
    enterDay(m, now);
    for (const auto& [key, amount] : monthDays) {
        if (key.counter >= kCounters || key.start < m.month.start || key.start >= m.month.end)
            continue;
        const CounterInfo& c = kCounterInfo[key.counter];
        const Band* band = rules_.plan.bandNamed(localDate(key.start).number(), key.band);
        const double price = band == nullptr || !c.active ? 0
                             : c.import                   ? band->importPrice
                                                          : band->exportPrice;
        m.thisMonth[key.counter] += amount;
        m.monthMoney[key.counter] += amount.units * price;
        if (key.start == m.day.start) {
            m.today[key.counter] += amount;
            m.todayMoney[key.counter] += amount.units * price;
        }
    }
    if (peak && peak->monthStart == m.month.start) m.peak = peak;
}

RoundNotes Books::record(unsigned dataId, std::int64_t atMs, const Reading& reading,
                         Changes& changes) {
    RoundNotes notes;
    const auto it = meters_.find(dataId);
    if (it == meters_.end()) return notes;
    Meter& m = *it->second;
    std::lock_guard<std::mutex> lock(m.mutex);
    Step steps[kCounters];
    for (std::size_t i = 0; i < kCounters; ++i)
        steps[i] = advance(m.counters[i], reading.raw[i], reading.power[i], atMs, rules_.ledger);
    const std::int64_t at = m.counters[kImportActive].atMs;
    enterDay(m, secondsOf(at));
    for (std::size_t i = 0; i < kCounters; ++i) {
        const Step& s = steps[i];
        const CounterState& state = m.counters[i];
        if (s.kind == StepKind::Wrap || s.kind == StepKind::NewEpoch)
            changes.audit.push_back(
                {dataId, i, s.toMs, s.kind, s.oldRaw, s.newRaw, state.epoch, state.total});
        if (s.kind == StepKind::NewEpoch) {
            const CounterInfo& c = kCounterInfo[i];
            notes.lines.push_back("data id " + std::to_string(dataId) + ": " + c.id +
                                  " went from " + unitsText(s.oldRaw, c.unit) + " to " +
                                  unitsText(s.newRaw, c.unit) + " at " +
                                  localText(secondsOf(s.toMs)) +
                                  ", which is no wrap (a reset or another meter):" + " epoch " +
                                  std::to_string(state.epoch) + " begins, the total runs on from " +
                                  unitsText(state.total, c.unit));
        }
        add(m, dataId, i, s, changes);
        changes.ledger[{dataId, i}] = state;
    }

    m.demand->add(atMs, reading.activePowerW, m.counters[kImportActive].total);
    for (const DemandWindow& w : m.demand->takeClosed()) {
        if (!w.complete) continue;
        const std::int64_t month = periodAt(Period::Month, w.start).start;
        if (m.peak &&
            (month < m.peak->monthStart || (month == m.peak->monthStart && w.kw <= m.peak->kw)))
            continue;
        m.peak = DemandPeak{dataId, month, w.kw, w.start, w.end};
        changes.peaks[{dataId, month}] = *m.peak;
    }
    const DemandNow now = m.demand->now();
    notes.projectedKw = now.projectedKw;
    const double limit = rules_.demandLimitKw;
    if (limit > 0 && now.valid) {
        if (!m.limitRaised && now.projectedKw > limit) {
            m.limitRaised = true;
            notes.limit = LimitChange::Raised;
        } else if (m.limitRaised && now.projectedKw <= limit * kLimitClearShare) {
            m.limitRaised = false;
            notes.limit = LimitChange::Cleared;
        }
    }
    return notes;
}

MeterSummary Books::summary(unsigned dataId) const {
    MeterSummary s;
    const auto it = meters_.find(dataId);
    if (it == meters_.end()) return s;
    const Meter& m = *it->second;
    std::lock_guard<std::mutex> lock(m.mutex);
    s.known = m.counters[kImportActive].known;
    for (std::size_t i = 0; i < kCounters; ++i) {
        CounterSummary& c = s.counters[i];
        c.total = static_cast<double>(m.counters[i].total) * kUnitsPerCount;
        c.epoch = m.counters[i].epoch;
        c.raw = m.counters[i].raw;
        c.today = m.today[i];
        c.month = m.thisMonth[i];
        c.todayMoney = m.todayMoney[i];
        c.monthMoney = m.monthMoney[i];
    }
    s.dayStart = m.day.start;
    s.monthStart = m.month.start;
    if (!rules_.plan.empty() && m.dayDate != 0) {
        double standing = 0;
        const int first = m.dayDate / 100 * 100 + 1;
        for (int date = first; date <= m.dayDate; ++date) standing += standingOn(rules_.plan, date);
        s.todayCost = m.todayMoney[kImportActive] + standingOn(rules_.plan, m.dayDate);
        s.monthCost = m.monthMoney[kImportActive] + standing;
        s.todayCredit = m.todayMoney[kExportActive];
        s.monthCredit = m.monthMoney[kExportActive];
    }
    s.demand = m.demand->now();
    if (m.peak && m.peak->monthStart == m.month.start) s.peak = m.peak;
    s.limitRaised = m.limitRaised;
    return s;
}

}  // namespace vedhost::energy
