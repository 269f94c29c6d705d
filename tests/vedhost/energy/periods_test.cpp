// Local periods in Berlin, across the days daylight saving time makes 23 and
// 25 hours long. The boundaries are written by hand as UTC: midnight is
// 23:00Z in winter (CET, +1) and 22:00Z in summer (CEST, +2); the clocks go
// forward on 2024-03-31 at 01:00Z and back on 2024-10-27 at 01:00Z.
#include "energy/periods.h"

#include <gtest/gtest.h>

#include <vector>

#include "local_zone.h"

namespace vedhost::energy {
namespace {

using test::kDay;
using test::kHour;
using test::LocalZone;
using test::utc;

// Times are UTC to the minute unless a second matters.
struct PeriodCase {
    const char* name;
    Period period;
    const char *at, *start, *end;
    int billingDay = 1;
};

const PeriodCase kPeriods[] = {
    {"the 23-hour day", Period::Day, "2024-03-31T12:00", "2024-03-30T23:00", "2024-03-31T22:00"},
    {"its first second", Period::Day, "2024-03-30T23:00", "2024-03-30T23:00", "2024-03-31T22:00"},
    {"the second before it", Period::Day, "2024-03-30T22:59:59", "2024-03-29T23:00",
     "2024-03-30T23:00"},
    {"the 25-hour day", Period::Day, "2024-10-27T12:00", "2024-10-26T22:00", "2024-10-27T23:00"},
    {"the first 02:30 of autumn", Period::Hour, "2024-10-27T00:30", "2024-10-27T00:00",
     "2024-10-27T01:00"},
    {"the second 02:30 of autumn", Period::Hour, "2024-10-27T01:30", "2024-10-27T01:00",
     "2024-10-27T02:00"},
    {"03:00 of spring follows 02:00", Period::Hour, "2024-03-31T01:10", "2024-03-31T01:00",
     "2024-03-31T02:00"},
    {"the ISO week over the spring change", Period::Week, "2024-03-31T12:00", "2024-03-24T23:00",
     "2024-03-31T22:00"},
    {"a week that starts in the year before", Period::Week, "2021-01-01T11:00", "2020-12-27T23:00",
     "2021-01-03T23:00"},
    {"March, an hour short", Period::Month, "2024-03-15T12:00", "2024-02-29T23:00",
     "2024-03-31T22:00"},
    {"October, an hour long", Period::Month, "2024-10-01T00:00", "2024-09-30T22:00",
     "2024-10-31T23:00"},
    {"the leap year", Period::Year, "2024-06-01T00:00", "2023-12-31T23:00", "2024-12-31T23:00"},
    {"billing from the 15th, before it", Period::Billing, "2024-03-10T12:00", "2024-02-14T23:00",
     "2024-03-14T23:00", 15},
    {"billing from the 15th, on it", Period::Billing, "2024-03-14T23:30", "2024-03-14T23:00",
     "2024-04-14T22:00", 15},
    {"billing over the new year", Period::Billing, "2025-01-05T12:00", "2024-12-27T23:00",
     "2025-01-27T23:00", 28},
    {"billing from the 1st is the month", Period::Billing, "2024-10-01T00:00", "2024-09-30T22:00",
     "2024-10-31T23:00", 1},
};

// The (hour start, share) pairs spreadOverHours hands out, in order.
using Hours = std::vector<std::pair<std::int64_t, double>>;
Hours spread(double energy, std::int64_t fromMs, std::int64_t toMs) {
    Hours hours;
    spreadOverHours(energy, fromMs, toMs, [&](std::int64_t start, double share) {
        hours.push_back({start, share});
    });
    return hours;
}

TEST(EnergyPeriods, BerlinBoundariesAsWorkedOutByHand) {
    LocalZone berlin("Europe/Berlin");
    for (const PeriodCase& c : kPeriods) {
        SCOPED_TRACE(c.name);
        const Span span = periodAt(c.period, utc(c.at), c.billingDay);
        EXPECT_EQ(span.start, utc(c.start));
        EXPECT_EQ(span.end, utc(c.end));
    }
}

TEST(EnergyPeriods, DaysOfTwentyThreeAndTwentyFiveHoursHaveThatManyHours) {
    LocalZone berlin("Europe/Berlin");
    const struct {
        const char* day;  // UTC noon of the local day
        int hours;
    } days[] = {{"2024-03-30T12:00:00", 24},
                {"2024-03-31T12:00:00", 23},
                {"2024-10-27T12:00:00", 25},
                {"2024-10-28T12:00:00", 24}};
    for (const auto& d : days) {
        SCOPED_TRACE(d.day);
        const Span day = periodAt(Period::Day, utc(d.day));
        EXPECT_EQ(day.end - day.start, d.hours * kHour);
        // A day's energy of one kWh an hour, spread over it, lands one kWh
        // in each of its local hours, the repeated hour of autumn twice.
        const auto hours = spread(d.hours, day.start * 1000, day.end * 1000);
        ASSERT_EQ(hours.size(), static_cast<std::size_t>(d.hours));
        for (std::size_t i = 0; i < hours.size(); ++i) {
            EXPECT_EQ(hours[i].first, day.start + static_cast<std::int64_t>(i) * kHour);
            EXPECT_DOUBLE_EQ(hours[i].second, 1.0);
        }
    }
}

TEST(EnergyPeriods, EnergyIsSpreadInProportionToTheTimeInEachHour) {
    LocalZone berlin("Europe/Berlin");
    // 1 kWh from 00:30Z to 02:30Z: a quarter, a half, a quarter.
    auto hours = spread(1.0, utc("2024-05-01T00:30:00") * 1000, utc("2024-05-01T02:30:00") * 1000);
    ASSERT_EQ(hours.size(), 3u);
    EXPECT_EQ(hours[0].first, utc("2024-05-01T00:00:00"));
    EXPECT_DOUBLE_EQ(hours[0].second, 0.25);
    EXPECT_DOUBLE_EQ(hours[1].second, 0.5);
    EXPECT_DOUBLE_EQ(hours[2].second, 0.25);
    // No length: all in the hour that holds the moment.
    const std::int64_t lastMs = utc("2024-05-01T00:59:59") * 1000 + 999;
    hours = spread(0.1, lastMs, lastMs);
    ASSERT_EQ(hours.size(), 1u);
    EXPECT_EQ(hours[0].first, utc("2024-05-01T00:00:00"));
}

TEST(EnergyPeriods, NamesReadBack) {
    for (Period p :
         {Period::Hour, Period::Day, Period::Week, Period::Month, Period::Year, Period::Billing}) {
        Period back = Period::Hour;
        ASSERT_TRUE(parsePeriod(periodName(p), back));
        EXPECT_EQ(back, p);
    }
    Period p;
    EXPECT_FALSE(parsePeriod("days", p));
    EXPECT_FALSE(parsePeriod("", p));
}

TEST(EnergyPeriods, TheTwoHoursOfTwoAtNightReadApart) {
    LocalZone berlin("Europe/Berlin");
    EXPECT_EQ(localIso(utc("2024-10-27T00:00:00")), "2024-10-27T02:00:00+02:00");
    EXPECT_EQ(localIso(utc("2024-10-27T01:00:00")), "2024-10-27T02:00:00+01:00");
    EXPECT_EQ(localIso(utc("2024-03-31T01:00:00")), "2024-03-31T03:00:00+02:00");
}

TEST(EnergyPeriods, LocalDatesCarryTheWeekdayFromMonday) {
    LocalZone berlin("Europe/Berlin");
    const LocalDate d = localDate(utc("2024-03-31T22:30:00"));  // Monday 00:30 CEST
    EXPECT_EQ(d.number(), 20240401);
    EXPECT_EQ(d.weekday, 0);
    EXPECT_EQ(d.hour, 0);
    EXPECT_EQ(d.minute, 30);
    EXPECT_EQ(localDate(utc("2024-03-31T12:00:00")).weekday, 6);
}

}  // namespace
}  // namespace vedhost::energy
