// Tariffs: what energy costs, as a contract states it. A tariff holds from
// its valid-from date until the next one's, so a new contract can be entered
// ahead of time. It prices each local hour of the week by one named band
// (time-of-use: "peak" on weekdays from 07:00 to 22:00, say): a price per kWh
// drawn (import) and one per kWh sent to the grid (export), and it charges a
// standing amount per local day. Band times are whole hours; a band whose
// end is before its start ("22:00" to "07:00") covers the listed days' hours
// from its start to midnight and from midnight to its end. Every hour of the
// week must be in exactly one band.
//
// In the document:
//   "energy": {"currency": "EUR", "tariffs": [
//     {"valid_from": "2024-01-01", "standing_charge_per_day": 0.4,
//      "bands": [{"name": "peak", "days": ["mon", "tue", "wed", "thu", "fri"],
//                 "from": "07:00", "to": "22:00",
//                 "import_per_kwh": 0.32, "export_per_kwh": 0.08}, ...]}]}
// "days" left out is every day.
#pragma once

#include <json/value.h>

#include <string>
#include <vector>

namespace vedhost::energy {

struct Band {
    std::string name;
    unsigned days = 0x7f;                     // bit 0 Monday .. bit 6 Sunday
    int from = 0, to = 24;                    // local hours [from, to), or wrapping past midnight
    double importPrice = 0, exportPrice = 0;  // per kWh, in the currency
};

struct Tariff {
    int validFrom = 0;  // 20240101
    double standingPerDay = 0;
    std::vector<Band> bands;
    // The band of each hour of the week: [weekday from Monday][hour].
    int bandAt[7][24] = {};
};

struct TariffPlan {
    std::string currency;
    std::vector<Tariff> tariffs;  // valid-from dates rising

    bool empty() const { return tariffs.empty(); }
    // The tariff that holds on a local date (20240307); nullptr before the first.
    const Tariff* at(int date) const;
    // The band of a local hour (date, weekday from Monday, hour); nullptr
    // without a tariff that day.
    const Band* bandOf(int date, int weekday, int hour) const;
    // The band of a named hour on a date, by its name (for rows kept per
    // band); nullptr when that day's tariff has no such band.
    const Band* bandNamed(int date, const std::string& name) const;
};

// Reads a "tariffs" list: each tariff's date, standing charge and bands,
// checked so that every hour of the week is in one band and no hour in two.
// A refusal is one line naming the member: `member` is the list's own name
// ("energy.tariffs"), so a band is named "energy.tariffs[0].bands[2]".
bool parseTariffs(const Json::Value& list, const std::string& member, std::vector<Tariff>& out,
                  std::string& error);

// The tariffs as the document spells them, for check-config.
Json::Value tariffsJson(const std::vector<Tariff>& tariffs);

}  // namespace vedhost::energy
