// Consumption per period as the outputs give it: each local hour, day, ISO
// week, month, year or billing period of one meter's counter that holds
// any consumption, with how much of it is estimated and, with tariffs, what
// it cost (import) or earned (export) per band and in all, the standing
// charge included.
//
// Hour periods come from the hour rows; the others from the day rows. Costs
// are priced per local hour wherever the hour rows are still kept, by the
// tariffs in effect (so a corrected table prices the past year again), and
// from the day rows' bands beyond. The standing charge is counted per local
// day of a day or longer period, up to the day of the latest data; hour
// periods carry none.
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "energy/energy_store.h"
#include "energy/periods.h"
#include "energy/tariffs.h"

namespace vedhost::energy {

struct UsageQuery {
    unsigned dataId = 0;
    std::size_t counter = kImportActive;
    Period period = Period::Day;
    std::int64_t from = 0, to = 0;  // unix seconds: the periods that overlap [from, to)
    int billingDay = 1;
};

struct BandUse {
    std::string band;
    double units = 0;
    std::optional<double> money;  // nullopt: the band has no price that day
};

struct PeriodUse {
    Span span;
    Amount amount;
    std::vector<BandUse> bands;   // with tariffs, by band name
    std::optional<double> money;  // cost (import active) or credit (export active)
    double standing = 0;          // included in money, import only
};

// The periods of the query that hold consumption, oldest first; a period
// is given whole even where it reaches past `from` or `to`.
std::vector<PeriodUse> usageByPeriod(EnergyStore& store, const UsageQuery& query,
                                     const TariffPlan& plan);

// {"data_id", "counter", "unit", "period", "currency"?, EXTRA, "periods":
//  [{"start", "end" (unix seconds), "start_time" (local, with its offset),
//  "kwh" or "kvarh",
//  "estimated", "estimated_kwh" or "estimated_kvarh", "cost" or "credit"?,
//  "standing"?, "bands"?: [{"band", "kwh", "cost" or "credit"}]}]} as text;
// `extra` is members of the caller's own ("\"from\":0,\"to\":1").
std::string usageJson(const UsageQuery& query, const std::vector<PeriodUse>& periods,
                      const TariffPlan& plan, const std::string& extra = "");

// One line of CSV per period: data_id,counter,period,start,end,UNIT,
// estimated_UNIT,MONEY,standing,BAND_UNIT,BAND_MONEY... (MONEY cost or
// credit; the bands those of every row, by name); `header` first.
void writeUsageCsv(const UsageQuery& query, const std::vector<PeriodUse>& periods,
                   const TariffPlan& plan, bool header, std::ostream& out);

// One JSON object per line per period: the answer's head members
// ("data_id", "counter", ...) and the period's.
void writeUsageJsonLines(const UsageQuery& query, const std::vector<PeriodUse>& periods,
                         const TariffPlan& plan, std::ostream& out);

// The audit rows as CSV: data_id,counter,time,kind,old,new,epoch,total.
void writeAuditCsv(const std::vector<AuditRow>& rows, std::ostream& out);

}  // namespace vedhost::energy
