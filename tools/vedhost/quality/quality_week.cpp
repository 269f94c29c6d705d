#include "quality/quality_week.h"

#include <cstdio>
#include <ctime>

namespace vedhost::quality {
namespace {

// Days since 1970-01-01 of a civil date, and back (proleptic Gregorian).
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

struct Civil {
    std::int64_t year;
    unsigned month, day;
};

Civil civilFromDays(std::int64_t z) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    return {static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2), m, d};
}

// 1970-01-01 was a Thursday: day 0 is weekday 3 counting Monday as 0.
int weekday(std::int64_t days) {
    const std::int64_t w = (days + 3) % 7;
    return static_cast<int>(w < 0 ? w + 7 : w);
}

std::int64_t localDay(std::int64_t unixSeconds);

// Local midnight at the start of a civil day. Where the clocks jump over
// midnight, the day starts at the first moment it has.
std::int64_t localMidnight(std::int64_t days) {
    const Civil c = civilFromDays(days);
    std::tm tm{};
    tm.tm_year = static_cast<int>(c.year - 1900);
    tm.tm_mon = static_cast<int>(c.month) - 1;
    tm.tm_mday = static_cast<int>(c.day);
    tm.tm_isdst = -1;
    const std::int64_t t = static_cast<std::int64_t>(std::mktime(&tm));
    if (localDay(t) == days && localDay(t - 1) < days) return t;
    // 00:00 is not a time of that day (the clocks skip it): the first second
    // that is, searched within a day either side.
    std::int64_t lo = t - 86400, hi = t + 86400;  // localDay(lo) < days <= localDay(hi)
    while (hi - lo > 1) {
        const std::int64_t mid = lo + (hi - lo) / 2;
        (localDay(mid) < days ? lo : hi) = mid;
    }
    return hi;
}

// The week whose Monday is this civil day.
Week weekFromMonday(std::int64_t monday) {
    Week w;
    w.start = localMidnight(monday);
    w.end = localMidnight(monday + 7);
    // ISO 8601: the week belongs to the year of its Thursday.
    const Civil thursday = civilFromDays(monday + 3);
    w.isoYear = static_cast<int>(thursday.year);
    const std::int64_t dayOfYear = monday + 3 - daysFromCivil(thursday.year, 1, 1);
    w.isoWeek = static_cast<int>(dayOfYear / 7 + 1);
    return w;
}

// The civil day (days since 1970) a unix time falls on, in local time.
std::int64_t localDay(std::int64_t unixSeconds) {
    const std::time_t t = static_cast<std::time_t>(unixSeconds);
    std::tm local{};
    localtime_r(&t, &local);
    return daysFromCivil(local.tm_year + 1900, static_cast<unsigned>(local.tm_mon + 1),
                         static_cast<unsigned>(local.tm_mday));
}

std::int64_t mondayOf(std::int64_t days) { return days - weekday(days); }

}  // namespace

std::string Week::label() const {
    char text[24];
    std::snprintf(text, sizeof text, "%04d-W%02d", isoYear, isoWeek);
    return text;
}

Week weekOf(std::int64_t unixSeconds) { return weekFromMonday(mondayOf(localDay(unixSeconds))); }

Week nextWeek(const Week& week) { return weekFromMonday(mondayOf(localDay(week.start)) + 7); }

Week previousWeek(const Week& week) { return weekFromMonday(mondayOf(localDay(week.start)) - 7); }

bool parseWeek(const std::string& text, Week& week) {
    int year = 0, number = 0;
    char tail = 0;
    if (text.size() != 8 || text[4] != '-' || text[5] != 'W' ||
        std::sscanf(text.c_str(), "%4d-W%2d%c", &year, &number, &tail) != 2 || number < 1)
        return false;
    for (std::size_t i : {0u, 1u, 2u, 3u, 6u, 7u})
        if (text[i] < '0' || text[i] > '9') return false;
    // Week 1 is the week with 4 January in it.
    const std::int64_t jan4 = daysFromCivil(year, 1, 4);
    const Week found = weekFromMonday(mondayOf(jan4) + 7 * static_cast<std::int64_t>(number - 1));
    // Week 53 of a year with 52 is the next year's first.
    if (found.isoYear != year || found.isoWeek != number) return false;
    week = found;
    return true;
}

}  // namespace vedhost::quality
