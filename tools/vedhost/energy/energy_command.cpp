#include "energy/energy_command.h"

#include "common/local_time.h"
#include "energy/energy_store.h"
#include "energy/usage.h"

namespace vedhost::energy {
namespace {

constexpr int kExitConfig = 2;
constexpr std::int64_t kLatest = 253402300799;  // the end of year 9999

int refuse(std::ostream& err, const std::string& message) {
    err << "vedhost: " << message << std::endl;
    return kExitConfig;
}

std::int64_t unixOf(const std::string& local, std::int64_t otherwise) {
    const auto ms = local.empty() ? std::nullopt : localTextToUnixMs(local.c_str());
    return ms ? *ms / 1000 : otherwise;
}

}  // namespace

int runEnergyCommand(const EnergyListing& l, std::ostream& out, std::ostream& err) {
    UsageQuery q;
    const bool audit = l.what == "audit";
    if (!audit && !parsePeriod(l.what, q.period))
        return refuse(err,
                      "--energy: expected hour, day, week, month, year, billing or audit, got \"" +
                          l.what + "\"");
    const auto counter = counterIndex(l.counter.empty() ? "energy_fwd_active" : l.counter);
    if (!counter)
        return refuse(err,
                      "--counter: expected energy_fwd_active, energy_rev_active,"
                      " energy_fwd_reactive or energy_rev_reactive, got \"" +
                          l.counter + "\"");
    q.counter = *counter;
    std::string error;
    EnergyStore store;
    if (!store.open(l.path, true, error)) return refuse(err, error);
    if (!store.keepsEnergy())
        return refuse(err,
                      "history: " + l.path + " keeps no energy (the host ran without --energy)");
    std::size_t written = 0;
    if (audit) {
        const auto rows = store.audit(l.dataId);
        writeAuditCsv(rows, out);
        written = rows.size();
    } else {
        TariffPlan plan;
        if (l.options) {
            plan.currency = l.options->currency;
            plan.tariffs = l.options->tariffs;
            q.billingDay = l.options->billingDay;
        }
        q.from = unixOf(l.since, 0);
        q.to = unixOf(l.until, kLatest);
        std::vector<unsigned> meters = store.meters();
        if (l.dataId) meters = {*l.dataId};
        bool header = true;
        for (unsigned id : meters) {
            q.dataId = id;
            const auto periods =
                q.to > q.from ? usageByPeriod(store, q, plan) : std::vector<PeriodUse>();
            if (l.json)
                writeUsageJsonLines(q, periods, plan, out);
            else
                writeUsageCsv(q, periods, plan, header, out);
            header = false;
            written += periods.size();
        }
    }
    out << std::flush;
    err << "vedhost: " << written << (audit ? " audit rows" : " periods") << std::endl;
    return 0;
}

}  // namespace vedhost::energy
