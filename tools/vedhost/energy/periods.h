// Periods of local time, as consumption is billed and read: the hour, the
// day, the ISO week (from Monday), the month, the year and the billing period
// that starts on a given day of the month. Each is a span of unix seconds
// [start, end) between local boundaries in the controller's time zone (TZ),
// so a day is 23 or 25 hours long where daylight saving time begins or ends,
// and an hour is always an hour (the repeated hour of autumn is two hours).
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>

namespace vedhost::energy {

enum class Period { Hour, Day, Week, Month, Year, Billing };

// "hour", "day", "week", "month", "year", "billing".
const char* periodName(Period period);
bool parsePeriod(const std::string& text, Period& period);

struct Span {
    std::int64_t start = 0, end = 0;  // unix seconds, [start, end)
};

// The local date and time of a unix time.
struct LocalDate {
    int year = 1970, month = 1, day = 1;  // month 1..12, day 1..31
    int weekday = 0;                      // 0 Monday .. 6 Sunday
    int hour = 0, minute = 0, second = 0;
    // 20240307: a date as one number, ordered as dates are.
    int number() const { return year * 10000 + month * 100 + day; }
};
LocalDate localDate(std::int64_t t);

// "2024-10-27T02:00:00+02:00": local time with its offset, so that the two
// 02:00 of an autumn night read apart.
std::string localIso(std::int64_t t);

// The first unix second of a local date's midnight (or of the first hour
// after it, where midnight does not exist).
std::int64_t localMidnight(int year, int month, int day);

// Billing periods start on this day of the month: 1..28, so every month has it.
constexpr int kLatestBillingDay = 28;

// The period holding `t`.
Span periodAt(Period period, std::int64_t t, int billingDay = 1);
// The local hour holding `t`: its start is `t` less its minutes and seconds.
Span hourAt(std::int64_t t);

// Unix seconds of a unix millisecond time, rounded down.
constexpr std::int64_t secondsOf(std::int64_t ms) { return ms / 1000 - (ms % 1000 < 0 ? 1 : 0); }

// Hands `amount`, accrued evenly over [fromMs, toMs], to the local hours it
// covers: add(hourStart, share) once per hour, in order. A span of no length
// gives everything to the hour holding it.
template <typename Add>
void spreadOverHours(double amount, std::int64_t fromMs, std::int64_t toMs, Add&& add) {
    if (toMs <= fromMs) {
        add(hourAt(secondsOf(toMs)).start, amount);
        return;
    }
    const double length = static_cast<double>(toMs - fromMs);
    std::int64_t at = fromMs;
    while (at < toMs) {
        const Span hour = hourAt(secondsOf(at));
        const std::int64_t end = std::min<std::int64_t>(toMs, hour.end * 1000);
        add(hour.start, amount * static_cast<double>(end - at) / length);
        at = end;
    }
}

}  // namespace vedhost::energy
