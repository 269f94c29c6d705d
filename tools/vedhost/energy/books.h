// The energy books of every meter: each round's reading taken through the
// four counters' ledgers (ledger.h) into consumption per local hour and day
// (and per tariff band), the audit of wraps and new epochs, and the demand
// (demand.h); with what the outputs show of a meter now: its totals, today's
// and this month's consumption and cost, the open demand window and the
// month's maximum demand.
//
// A round's changes are handed back as one Changes for the store to commit;
// the books themselves hold only the present. Each meter is taken by one
// line thread at a time; summary() may be called from any thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "energy/counters.h"
#include "energy/demand.h"
#include "energy/ledger.h"
#include "energy/periods.h"
#include "energy/tariffs.h"

namespace vedhost::energy {

// kWh or kvarh, and how much of it is estimated (accrued over a gap).
struct Amount {
    double units = 0, estimated = 0;
    Amount& operator+=(const Amount& o) {
        units += o.units;
        estimated += o.estimated;
        return *this;
    }
};

struct UsageKey {
    unsigned dataId = 0;
    std::size_t counter = 0;
    std::int64_t start = 0;  // the local hour's or day's first unix second
    std::string band;        // days only: the tariff band the hours were in ("" without one)
    bool operator<(const UsageKey& o) const {
        return std::tie(dataId, counter, start, band) <
               std::tie(o.dataId, o.counter, o.start, o.band);
    }
};

// A wrap or a new epoch, as the audit keeps it.
struct AuditRow {
    unsigned dataId = 0;
    std::size_t counter = 0;
    std::int64_t atMs = 0;
    StepKind kind = StepKind::Wrap;
    std::uint16_t oldRaw = 0, newRaw = 0;
    std::uint32_t epoch = 0;
    std::int64_t total = 0;  // counts, after the step
};

// A month's maximum demand and the window it was reached in.
struct DemandPeak {
    unsigned dataId = 0;
    std::int64_t monthStart = 0;
    double kw = 0;
    std::int64_t windowStart = 0, windowEnd = 0;
};

// What rounds changed since the last commit.
struct Changes {
    std::map<UsageKey, Amount> hours, days;  // amounts to add
    std::vector<AuditRow> audit;
    std::map<std::pair<unsigned, std::size_t>, CounterState> ledger;  // the newest states
    std::map<std::pair<unsigned, std::int64_t>, DemandPeak> peaks;    // the newest peaks

    bool empty() const {
        return hours.empty() && days.empty() && audit.empty() && ledger.empty() && peaks.empty();
    }
    // Adds `newer` after what this holds.
    void append(Changes&& newer);
};

struct EnergyRules {
    LedgerRules ledger;
    DemandRules demand;
    TariffPlan plan;
    int billingDay = 1;
    double demandLimitKw = 0;  // 0: no limit
};

struct CounterSummary {
    double total = 0;  // kWh or kvarh
    std::uint32_t epoch = 0;
    std::uint16_t raw = 0;
    Amount today, month;
    double todayMoney = 0, monthMoney = 0;  // priced bands only: cost (import) or credit (export)
};

struct MeterSummary {
    bool known = false;  // a reading has been taken
    CounterSummary counters[kCounters];
    std::int64_t dayStart = 0, monthStart = 0;
    std::optional<double> todayCost, monthCost;      // import and standing charge, with tariffs
    std::optional<double> todayCredit, monthCredit;  // export, with tariffs
    DemandNow demand;
    std::optional<DemandPeak> peak;  // this month's
    bool limitRaised = false;
};

enum class LimitChange { None, Raised, Cleared };

// What a round did beside its changes.
struct RoundNotes {
    LimitChange limit = LimitChange::None;
    double projectedKw = 0;
    std::vector<std::string> lines;  // for stderr: each new epoch
};

class Books {
  public:
    explicit Books(EnergyRules rules);

    void addMeter(unsigned dataId);
    bool has(unsigned dataId) const { return meters_.count(dataId) != 0; }

    // What the store kept of a meter: its counters' states, the day rows of
    // the month holding `now` (unix seconds) per counter and band, and its
    // peak that month.
    void restore(unsigned dataId, const std::vector<std::pair<std::size_t, CounterState>>& states,
                 const std::vector<std::pair<UsageKey, Amount>>& monthDays,
                 const std::optional<DemandPeak>& peak, std::int64_t now);

    // A round's reading at `atMs`; its changes are added to `changes`.
    RoundNotes record(unsigned dataId, std::int64_t atMs, const Reading& reading, Changes& changes);

    MeterSummary summary(unsigned dataId) const;
    const EnergyRules& rules() const { return rules_; }

  private:
    struct Meter {
        mutable std::mutex mutex;
        CounterState counters[kCounters];
        std::unique_ptr<Demand> demand;
        std::optional<DemandPeak> peak;
        bool limitRaised = false;
        Span day, month;  // the present day and month
        int dayDate = 0;
        Amount today[kCounters], thisMonth[kCounters];
        double todayMoney[kCounters] = {}, monthMoney[kCounters] = {};
        // The hour last spread into, and what is known of it.
        Span hour;
        std::int64_t hourDay = 0;
        int hourDate = 0;
        std::string hourBand;
        double hourPrice[kCounters] = {};
    };
    void enterDay(Meter& m, std::int64_t t);
    void learnHour(Meter& m, std::int64_t hourStart);
    void add(Meter& m, unsigned dataId, std::size_t counter, const Step& step, Changes& changes);

    EnergyRules rules_;
    std::map<unsigned, std::unique_ptr<Meter>> meters_;  // fixed before rounds begin
};

}  // namespace vedhost::energy
