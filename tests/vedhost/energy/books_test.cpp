// The books fed rounds on a synthetic clock in Berlin: real wraps, a meter
// replaced by one reading 0.3 while power flows, a gap of hours, the days
// daylight saving makes 23 and 25 hours long, a day's cost under a
// time-of-use tariff and a month's maximum demand. Every expected amount is
// counted by hand from the readings (a count is 0.1 kWh).
#include "energy/books.h"

#include <gtest/gtest.h>

#include "common/json_file.h"
#include "local_zone.h"
#include "weekday_plan.h"

namespace vedhost::energy {
namespace {

using test::LocalZone;
using test::utc;
using test::weekdayPlan;

Reading at(std::uint16_t importRaw, double watts) {
    Reading r;
    r.raw[kImportActive] = importRaw;
    r.power[kImportActive] = r.power[kExportActive] = watts;
    r.activePowerW = watts;
    return r;
}

double hoursTotal(const Changes& c, std::size_t counter = kImportActive) {
    double sum = 0;
    for (const auto& [k, a] : c.hours)
        if (k.counter == counter) sum += a.units;
    return sum;
}

TEST(EnergyBooks, ARealWrapGoesIntoTheHourAndTheAudit) {
    LocalZone berlin("Europe/Berlin");
    Books books({});
    books.addMeter(1);
    Changes c;
    // 36 kW is a count every 10 s: from 65530 at 10:00 CEST, 360 counts by
    // 11:00, through 65535 to 354.
    const std::int64_t start = utc("2024-05-02T08:00:00");
    std::uint16_t raw = 65530;
    for (int i = 0; i <= 360; ++i) {
        books.record(1, (start + 10 * i) * 1000, at(raw, 36000), c);
        raw = static_cast<std::uint16_t>(raw + 1);
    }
    ASSERT_EQ(c.hours.size(), 1u);
    EXPECT_EQ(c.hours.begin()->first.start, start);
    EXPECT_NEAR(c.hours.begin()->second.units, 36.0, 1e-9);
    EXPECT_EQ(c.hours.begin()->second.estimated, 0);
    ASSERT_EQ(c.days.size(), 1u);
    EXPECT_EQ(c.days.begin()->first.start, utc("2024-05-01T22:00:00"));
    EXPECT_EQ(c.days.begin()->first.band, "");
    ASSERT_EQ(c.audit.size(), 1u);
    EXPECT_EQ(c.audit[0].kind, StepKind::Wrap);
    EXPECT_EQ(c.audit[0].oldRaw, 65535);
    EXPECT_EQ(c.audit[0].newRaw, 0);
    EXPECT_EQ(c.audit[0].total, 65536);
    EXPECT_EQ(c.audit[0].atMs, (start + 60) * 1000);
    const MeterSummary s = books.summary(1);
    EXPECT_NEAR(s.counters[kImportActive].total, 6589.0, 1e-9);
    EXPECT_EQ(s.counters[kImportActive].raw, 354);
    EXPECT_NEAR(s.counters[kImportActive].today.units, 36.0, 1e-9);
    EXPECT_EQ(c.ledger.at({1, kImportActive}).total, 65530 + 360);
}

TEST(EnergyBooks, AMeterSwappedToPointThreeWithPowerFlowingStartsAnEpoch) {
    LocalZone berlin("Europe/Berlin");
    Books books({});
    books.addMeter(7);
    Changes c;
    const std::int64_t t = utc("2024-05-02T08:00:00");
    books.record(7, t * 1000, at(40000, 36000), c);
    books.record(7, (t + 10) * 1000, at(40001, 36000), c);
    const RoundNotes swap = books.record(7, (t + 20) * 1000, at(3, 36000), c);
    books.record(7, (t + 30) * 1000, at(4, 36000), c);
    // 0.1 before the swap, nothing for it, 0.1 after.
    EXPECT_NEAR(hoursTotal(c), 0.2, 1e-9);
    ASSERT_EQ(swap.lines.size(), 1u);
    EXPECT_EQ(swap.lines[0],
              "data id 7: energy_fwd_active went from 4000.1 kWh to 0.3 kWh at "
              "2024-05-02T10:00:20, which is no wrap (a reset or another meter): epoch 1 begins, "
              "the total runs on from 4000.1 kWh");
    ASSERT_EQ(c.audit.size(), 1u);
    EXPECT_EQ(c.audit[0].kind, StepKind::NewEpoch);
    EXPECT_EQ(c.audit[0].oldRaw, 40001);
    EXPECT_EQ(c.audit[0].newRaw, 3);
    EXPECT_EQ(c.audit[0].epoch, 1u);
    const MeterSummary s = books.summary(7);
    EXPECT_NEAR(s.counters[kImportActive].total, 4000.2, 1e-9);
    EXPECT_EQ(s.counters[kImportActive].epoch, 1u);
}

TEST(EnergyBooks, AGapOfHoursIsSpreadOverItAndMarkedEstimated) {
    LocalZone berlin("Europe/Berlin");
    Books books({});
    books.addMeter(1);
    Changes c;
    // Not read from 11:00 to 14:00 CEST while 36 kW flowed: 1080 counts.
    books.record(1, utc("2024-05-02T09:00:00") * 1000, at(100, 36000), c);
    books.record(1, utc("2024-05-02T12:00:00") * 1000, at(1180, 36000), c);
    ASSERT_EQ(c.hours.size(), 3u);
    std::int64_t hour = utc("2024-05-02T09:00:00");
    for (const auto& [k, a] : c.hours) {
        EXPECT_EQ(k.start, hour);
        EXPECT_NEAR(a.units, 36.0, 1e-9);
        EXPECT_NEAR(a.estimated, 36.0, 1e-9);
        hour += 3600;
    }
    ASSERT_EQ(c.days.size(), 1u);
    EXPECT_NEAR(c.days.begin()->second.estimated, 108.0, 1e-9);
    EXPECT_TRUE(c.audit.empty());
}

TEST(EnergyBooks, TheDaysOfTwentyThreeAndTwentyFiveHoursHoldThatManyHours) {
    LocalZone berlin("Europe/Berlin");
    // 1 kWh an hour: a count every six minutes, read every six minutes from
    // local midnight to midnight.
    const struct {
        const char* midnight;  // UTC
        const char* next;
        double kwh;
    } days[] = {{"2024-03-30T23:00:00", "2024-03-31T22:00:00", 23.0},
                {"2024-10-26T22:00:00", "2024-10-27T23:00:00", 25.0}};
    for (const auto& d : days) {
        SCOPED_TRACE(d.midnight);
        Books books({});
        books.addMeter(1);
        Changes c;
        std::uint16_t raw = 500;
        for (std::int64_t t = utc(d.midnight); t <= utc(d.next); t += 360)
            books.record(1, t * 1000, at(raw++, 1000), c);
        ASSERT_EQ(c.days.size(), 1u);
        EXPECT_EQ(c.days.begin()->first.start, utc(d.midnight));
        EXPECT_NEAR(c.days.begin()->second.units, d.kwh, 1e-9);
        EXPECT_EQ(c.hours.size(), static_cast<std::size_t>(d.kwh));
        for (const auto& [k, a] : c.hours) EXPECT_NEAR(a.units, 1.0, 1e-9) << k.start;
    }
}

TEST(EnergyBooks, ADaysCostUnderATimeOfUseTariff) {
    LocalZone berlin("Europe/Berlin");
    EnergyRules rules;
    rules.plan = weekdayPlan();
    Books books(rules);
    books.addMeter(1);
    Changes c;
    // Friday 1 March, 2 kW: a count every three minutes, read from 00:00 to
    // 23:57. Night 00:00-07:00: 140 counts, 14 kWh; peak 07:00-22:00: 300
    // counts, 30 kWh; night 22:00-23:57: 39 counts, 3.9 kWh. Cost: 17.9 x
    // 0.18 + 30 x 0.32 + 0.40 standing = 3.222 + 9.6 + 0.4 = 13.222.
    std::uint16_t raw = 1000;
    for (std::int64_t t = utc("2024-02-29T23:00:00"); t <= utc("2024-03-01T22:57:00"); t += 180)
        books.record(1, t * 1000, at(raw++, 2000), c);
    const MeterSummary s = books.summary(1);
    EXPECT_NEAR(s.counters[kImportActive].today.units, 47.9, 1e-9);
    ASSERT_TRUE(s.todayCost);
    EXPECT_NEAR(*s.todayCost, 13.222, 1e-9);
    EXPECT_NEAR(*s.monthCost, 13.222, 1e-9);
    EXPECT_NEAR(*s.todayCredit, 0, 1e-12);
    // The day's rows by band: what the store prices later.
    std::map<std::string, double> bands;
    for (const auto& [k, a] : c.days)
        if (k.counter == kImportActive) bands[k.band] += a.units;
    EXPECT_NEAR(bands["night"], 17.9, 1e-9);
    EXPECT_NEAR(bands["peak"], 30.0, 1e-9);
    EXPECT_EQ(bands.size(), 2u);
}

TEST(EnergyBooks, TheMonthsPeakDemandAndTheLimit) {
    LocalZone zone("UTC");
    EnergyRules rules;
    rules.demandLimitKw = 40;
    Books books(rules);
    books.addMeter(1);
    Changes c;
    // 30 kW (5 counts a minute) from 08:00, 60 kW (10) from 08:20 to 08:25,
    // then 30 kW. The quarter 08:15-08:30 holds 5 x 5 + 5 x 10 + 5 x 5 = 100
    // counts, 10 kWh: 40 kW, the month's peak. At 08:20, five minutes in at
    // 60 kW, the projection is (2.5 + 10) kWh / 0.25 h = 50 kW: the limit of
    // 40 is raised; at 08:25 back at 30 kW it is (7.5 + 2.5) / 0.25 = 40,
    // not under 38; at 08:30 a new window at 30 kW projects 30: cleared.
    const std::int64_t base = utc("2024-05-02T08:00:00");
    std::uint16_t raw = 20000;
    std::vector<std::pair<int, LimitChange>> changes;
    for (int m = 0; m <= 40; ++m) {
        const int rate = m >= 20 && m < 25 ? 10 : 5;
        if (m > 0) raw = static_cast<std::uint16_t>(raw + (m - 1 >= 20 && m - 1 < 25 ? 10 : 5));
        const RoundNotes n = books.record(1, (base + 60 * m) * 1000, at(raw, rate * 6000.0), c);
        if (n.limit != LimitChange::None) changes.push_back({m, n.limit});
    }
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes[0], std::make_pair(20, LimitChange::Raised));
    EXPECT_EQ(changes[1], std::make_pair(30, LimitChange::Cleared));
    const MeterSummary s = books.summary(1);
    ASSERT_TRUE(s.peak);
    EXPECT_NEAR(s.peak->kw, 40, 1e-9);
    EXPECT_EQ(s.peak->windowStart, base + 15 * 60);
    EXPECT_EQ(s.peak->windowEnd, base + 30 * 60);
    EXPECT_EQ(s.peak->monthStart, utc("2024-05-01T00:00:00"));
    ASSERT_EQ(c.peaks.size(), 1u);
    EXPECT_NEAR(c.peaks.begin()->second.kw, 40, 1e-9);
}

}  // namespace
}  // namespace vedhost::energy
