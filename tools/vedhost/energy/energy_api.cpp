#include "energy/energy_api.h"

#include <json/writer.h>

#include "common/parse.h"
#include "energy/usage.h"

namespace vedhost::energy {
namespace {

constexpr unsigned kOk = 200, kBadRequest = 400, kNotFound = 404;
constexpr std::int64_t kLatest = 253402300799;  // the end of year 9999
constexpr std::int64_t kDay = 86400;

// How far back `from` goes when it is not given, by period.
constexpr std::int64_t kDefaultSpan[] = {2 * kDay,   31 * kDay,   26 * 7 * kDay,
                                         366 * kDay, 3653 * kDay, 366 * kDay};

unsigned refuse(unsigned status, const std::string& reason, std::string& reply) {
    reply = "{\"error\":" + Json::valueToQuotedString(reason.c_str()) + "}";
    return status;
}

}  // namespace

unsigned energyReply(EnergySink& sink, const std::function<const char*(const char*)>& arg,
                     std::int64_t now, std::string& reply) {
    std::int64_t dataId = 0;
    if (arg("data_id") == nullptr || !parseInteger(arg("data_id"), 0, 0xffffffffLL, dataId))
        return refuse(kBadRequest, "data_id: expected a meter's data id", reply);
    UsageQuery q;
    q.dataId = static_cast<unsigned>(dataId);
    if (const char* counter = arg("counter")) {
        const auto index = counterIndex(counter);
        if (!index)
            return refuse(kBadRequest,
                          "counter: expected energy_fwd_active, energy_rev_active,"
                          " energy_fwd_reactive or energy_rev_reactive",
                          reply);
        q.counter = *index;
    }
    if (const char* period = arg("period"); period != nullptr && !parsePeriod(period, q.period))
        return refuse(kBadRequest, "period: expected hour, day, week, month, year or billing",
                      reply);
    q.to = now;
    if (arg("to") != nullptr && !parseInteger(arg("to"), 0, kLatest, q.to))
        return refuse(kBadRequest, "to: expected unix seconds", reply);
    q.from = std::max<std::int64_t>(0, q.to - kDefaultSpan[static_cast<int>(q.period)]);
    if (arg("from") != nullptr && !parseInteger(arg("from"), 0, kLatest, q.from))
        return refuse(kBadRequest, "from: expected unix seconds", reply);
    if (q.from > q.to) return refuse(kBadRequest, "from is after to", reply);
    if (!sink.has(q.dataId)) return refuse(kNotFound, "no such meter", reply);
    if (sink.store() == nullptr)
        return refuse(kNotFound, "no history is kept (see --history)", reply);
    q.billingDay = sink.rules().billingDay;
    const TariffPlan& plan = sink.rules().plan;
    const std::string span =
        "\"from\":" + std::to_string(q.from) + ",\"to\":" + std::to_string(q.to);
    reply = usageJson(
        q, q.to > q.from ? usageByPeriod(*sink.store(), q, plan) : std::vector<PeriodUse>(), plan,
        span);
    return kOk;
}

}  // namespace vedhost::energy
