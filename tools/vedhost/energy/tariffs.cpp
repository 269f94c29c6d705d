#include "energy/tariffs.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "common/json_text.h"

namespace vedhost::energy {
namespace {

constexpr const char* kDayNames[7] = {"mon", "tue", "wed", "thu", "fri", "sat", "sun"};

// The members a band and a tariff may hold, for the refusal of any other.
constexpr const char* kBandMembers[] = {"name", "days",           "from",
                                        "to",   "import_per_kwh", "export_per_kwh"};
constexpr const char* kTariffMembers[] = {"valid_from", "standing_charge_per_day", "bands"};

template <std::size_t N>
bool onlyKnown(const Json::Value& object, const char* const (&known)[N], const std::string& where,
               std::string& error) {
    for (const std::string& name : object.getMemberNames()) {
        if (std::find_if(std::begin(known), std::end(known),
                         [&](const char* k) { return name == k; }) != std::end(known))
            continue;
        std::string list;
        for (const char* k : known) list += (list.empty() ? "" : ", ") + std::string(k);
        error = where + "." + name + ": unknown member; " + where + " has " + list;
        return false;
    }
    return true;
}

// "07:00" or "24:00": a whole hour 0..24.
bool wholeHour(const Json::Value& v, int& hour) {
    if (!v.isString()) return false;
    unsigned h = 0, m = 0;
    char tail = 0;
    const std::string text = v.asString();
    if (text.size() != 5 || std::sscanf(text.c_str(), "%2u:%2u%c", &h, &m, &tail) != 2)
        return false;
    if (m != 0 || h > 24) return false;
    hour = static_cast<int>(h);
    return true;
}

bool price(const Json::Value& v, double& out) {
    if (!v.isNumeric() || !std::isfinite(v.asDouble())) return false;
    out = v.asDouble();
    return true;
}

// "2024-01-01" as 20240101, a real calendar date.
bool dateNumber(const Json::Value& v, int& out) {
    if (!v.isString()) return false;
    unsigned y = 0, m = 0, d = 0;
    char tail = 0;
    const std::string text = v.asString();
    if (text.size() != 10 || std::sscanf(text.c_str(), "%4u-%2u-%2u%c", &y, &m, &d, &tail) != 3)
        return false;
    static const int kMonthDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (y < 1970 || m < 1 || m > 12 || d < 1 || static_cast<int>(d) > kMonthDays[m - 1])
        return false;
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    if (m == 2 && d == 29 && !leap) return false;
    out = static_cast<int>(y * 10000 + m * 100 + d);
    return true;
}

std::string dateText(int date) {
    char text[16];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", date / 10000, date / 100 % 100, date % 100);
    return text;
}

std::string hourText(int hour) {
    char text[8];
    std::snprintf(text, sizeof text, "%02d:00", hour);
    return text;
}

bool parseBand(const Json::Value& b, const std::string& where, Band& band, std::string& error) {
    if (!b.isObject()) {
        error = where + ": expected an object with \"name\", \"from\", \"to\" and prices";
        return false;
    }
    if (!onlyKnown(b, kBandMembers, where, error)) return false;
    if (!b["name"].isString() || b["name"].asString().empty()) {
        error = where + ".name: expected a name such as \"peak\"";
        return false;
    }
    band.name = b["name"].asString();
    if (b.isMember("days")) {
        band.days = 0;
        const Json::Value& days = b["days"];
        bool ok = days.isArray() && !days.empty();
        for (const Json::Value& d : days) {
            const auto it =
                std::find_if(std::begin(kDayNames), std::end(kDayNames),
                             [&](const char* n) { return d.isString() && d.asString() == n; });
            ok = ok && it != std::end(kDayNames);
            if (ok) band.days |= 1u << (it - std::begin(kDayNames));
        }
        if (!ok) {
            error = where + ".days: expected a list of mon, tue, wed, thu, fri, sat, sun";
            return false;
        }
    }
    for (auto [name, at] : {std::pair{"from", &band.from}, std::pair{"to", &band.to}})
        if (!wholeHour(b[name], *at)) {
            error = where + "." + name + ": expected a whole hour \"00:00\"..\"24:00\", got " +
                    (b.isMember(name) ? compactJson(b[name]) : std::string("nothing"));
            return false;
        }
    if (band.from == band.to || band.from == 24) {
        error = where + ": from " + hourText(band.from) + " to " + hourText(band.to) +
                " covers no hour";
        return false;
    }
    for (auto [name, at] : {std::pair{"import_per_kwh", &band.importPrice},
                            std::pair{"export_per_kwh", &band.exportPrice}})
        if (b.isMember(name) && !price(b[name], *at)) {
            error = where + "." + name + ": expected a price per kWh";
            return false;
        }
    return true;
}

// Every hour of the week in exactly one band; the refusal names the band that
// overlaps another, or the first run of hours no band covers.
bool coverWeek(Tariff& t, const std::string& where, std::string& error) {
    for (auto& day : t.bandAt) std::fill(std::begin(day), std::end(day), -1);
    for (std::size_t i = 0; i < t.bands.size(); ++i) {
        const Band& b = t.bands[i];
        for (int day = 0; day < 7; ++day) {
            if ((b.days & (1u << day)) == 0) continue;
            for (int h = 0; h < 24; ++h) {
                const bool in = b.from < b.to ? h >= b.from && h < b.to : h >= b.from || h < b.to;
                if (!in) continue;
                const int other = t.bandAt[day][h];
                if (other >= 0) {
                    int end = h + 1;
                    while (end < 24 && t.bandAt[day][end] == other &&
                           (b.from < b.to ? end < b.to : end >= b.from || end < b.to))
                        ++end;
                    error = where + ".bands[" + std::to_string(i) + "] (\"" + b.name +
                            "\"): overlaps \"" + t.bands[static_cast<std::size_t>(other)].name +
                            "\" on " + kDayNames[day] + " " + hourText(h) + "-" + hourText(end);
                    return false;
                }
                t.bandAt[day][h] = static_cast<int>(i);
            }
        }
    }
    for (int day = 0; day < 7; ++day)
        for (int h = 0; h < 24; ++h) {
            if (t.bandAt[day][h] >= 0) continue;
            int end = h + 1;
            while (end < 24 && t.bandAt[day][end] < 0) ++end;
            error = where + ".bands: " + kDayNames[day] + " " + hourText(h) + "-" + hourText(end) +
                    " is in no band";
            return false;
        }
    return true;
}

}  // namespace

const Tariff* TariffPlan::at(int date) const {
    const Tariff* found = nullptr;
    for (const Tariff& t : tariffs)
        if (t.validFrom <= date) found = &t;
    return found;
}

const Band* TariffPlan::bandOf(int date, int weekday, int hour) const {
    const Tariff* t = at(date);
    if (t == nullptr || weekday < 0 || weekday > 6 || hour < 0 || hour > 23) return nullptr;
    return &t->bands[static_cast<std::size_t>(t->bandAt[weekday][hour])];
}

const Band* TariffPlan::bandNamed(int date, const std::string& name) const {
    const Tariff* t = at(date);
    if (t == nullptr) return nullptr;
    for (const Band& b : t->bands)
        if (b.name == name) return &b;
    return nullptr;
}

bool parseTariffs(const Json::Value& list, const std::string& member, std::vector<Tariff>& out,
                  std::string& error) {
    if (!list.isArray()) {
        error = member +
                ": expected a list of {\"valid_from\", \"standing_charge_per_day\","
                " \"bands\"}";
        return false;
    }
    std::vector<Tariff> tariffs;
    for (Json::ArrayIndex i = 0; i < list.size(); ++i) {
        const std::string where = member + "[" + std::to_string(i) + "]";
        const Json::Value& t = list[i];
        if (!t.isObject()) {
            error = where + ": expected an object with \"valid_from\" and \"bands\"";
            return false;
        }
        if (!onlyKnown(t, kTariffMembers, where, error)) return false;
        Tariff tariff;
        if (!dateNumber(t["valid_from"], tariff.validFrom)) {
            error = where + ".valid_from: expected a date such as \"2024-01-01\"";
            return false;
        }
        for (const Tariff& earlier : tariffs)
            if (earlier.validFrom == tariff.validFrom) {
                error = where + ".valid_from: another tariff is valid from " +
                        dateText(tariff.validFrom) + " as well";
                return false;
            }
        if (t.isMember("standing_charge_per_day") &&
            !price(t["standing_charge_per_day"], tariff.standingPerDay)) {
            error = where + ".standing_charge_per_day: expected an amount per day";
            return false;
        }
        const Json::Value& bands = t["bands"];
        if (!bands.isArray() || bands.empty()) {
            error = where + ".bands: expected a list of bands";
            return false;
        }
        for (Json::ArrayIndex b = 0; b < bands.size(); ++b) {
            Band band;
            const std::string bandWhere = where + ".bands[" + std::to_string(b) + "]";
            if (!parseBand(bands[b], bandWhere, band, error)) return false;
            for (const Band& other : tariff.bands)
                if (other.name == band.name) {
                    error = bandWhere + ".name: \"" + band.name + "\" is named twice";
                    return false;
                }
            tariff.bands.push_back(band);
        }
        if (!coverWeek(tariff, where, error)) return false;
        tariffs.push_back(std::move(tariff));
    }
    std::stable_sort(tariffs.begin(), tariffs.end(),
                     [](const Tariff& a, const Tariff& b) { return a.validFrom < b.validFrom; });
    out = std::move(tariffs);
    return true;
}

Json::Value tariffsJson(const std::vector<Tariff>& tariffs) {
    Json::Value out(Json::arrayValue);
    for (const Tariff& t : tariffs) {
        Json::Value tariff(Json::objectValue);
        tariff["valid_from"] = dateText(t.validFrom);
        tariff["standing_charge_per_day"] = t.standingPerDay;
        Json::Value bands(Json::arrayValue);
        for (const Band& b : t.bands) {
            Json::Value band(Json::objectValue);
            band["name"] = b.name;
            if (b.days != 0x7f)
                for (int d = 0; d < 7; ++d)
                    if (b.days & (1u << d)) band["days"].append(kDayNames[d]);
            band["from"] = hourText(b.from);
            band["to"] = hourText(b.to);
            band["import_per_kwh"] = b.importPrice;
            band["export_per_kwh"] = b.exportPrice;
            bands.append(band);
        }
        tariff["bands"] = bands;
        out.append(tariff);
    }
    return out;
}

}  // namespace vedhost::energy
