#include "energy/periods.h"

#include <ctime>

namespace vedhost::energy {
namespace {

constexpr const char* kPeriodNames[] = {"hour", "day", "week", "month", "year", "billing"};

}  // namespace

const char* periodName(Period period) { return kPeriodNames[static_cast<int>(period)]; }

bool parsePeriod(const std::string& text, Period& period) {
    for (int i = 0; i < 6; ++i)
        if (text == kPeriodNames[i]) {
            period = static_cast<Period>(i);
            return true;
        }
    return false;
}

LocalDate localDate(std::int64_t t) {
    const std::time_t seconds = static_cast<std::time_t>(t);
    std::tm tm{};
    localtime_r(&seconds, &tm);
    LocalDate d;
    d.year = tm.tm_year + 1900;
    d.month = tm.tm_mon + 1;
    d.day = tm.tm_mday;
    d.weekday = (tm.tm_wday + 6) % 7;
    d.hour = tm.tm_hour;
    d.minute = tm.tm_min;
    d.second = tm.tm_sec;
    return d;
}

std::string localIso(std::int64_t t) {
    const std::time_t seconds = static_cast<std::time_t>(t);
    std::tm tm{};
    localtime_r(&seconds, &tm);
    char text[40];
    std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &tm);
    std::string s(text, n);
    if (s.size() >= 5 && (s[s.size() - 5] == '+' || s[s.size() - 5] == '-'))
        s.insert(s.size() - 2, ":");  // +0200 as +02:00
    return s;
}

std::int64_t localMidnight(int year, int month, int day) {
    // mktime brings day 0, day 32 and month 13 to the dates they stand for.
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_isdst = -1;
    return static_cast<std::int64_t>(std::mktime(&tm));
}

Span hourAt(std::int64_t t) {
    const LocalDate d = localDate(t);
    const std::int64_t start = t - (d.minute * 60 + d.second);
    return {start, start + 3600};
}

Span periodAt(Period period, std::int64_t t, int billingDay) {
    if (period == Period::Hour) return hourAt(t);
    const LocalDate d = localDate(t);
    switch (period) {
        case Period::Day:
            return {localMidnight(d.year, d.month, d.day),
                    localMidnight(d.year, d.month, d.day + 1)};
        case Period::Week:
            return {localMidnight(d.year, d.month, d.day - d.weekday),
                    localMidnight(d.year, d.month, d.day - d.weekday + 7)};
        case Period::Month:
            return {localMidnight(d.year, d.month, 1), localMidnight(d.year, d.month + 1, 1)};
        case Period::Year:
            return {localMidnight(d.year, 1, 1), localMidnight(d.year + 1, 1, 1)};
        case Period::Billing: {
            const int month = d.day >= billingDay ? d.month : d.month - 1;
            return {localMidnight(d.year, month, billingDay),
                    localMidnight(d.year, month + 1, billingDay)};
        }
        case Period::Hour:
            break;
    }
    return hourAt(t);
}

}  // namespace vedhost::energy
