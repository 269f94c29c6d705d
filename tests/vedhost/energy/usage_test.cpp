// Consumption per period with its cost, from the store: a weekday and a
// Saturday at 2 kW under a time-of-use tariff, priced by hand band by band;
// the same priced again from the day rows once the hours are gone, and from
// the hours when the tariff came after the rounds; the CSV and JSON lines
// the export writes.
#include "energy/usage.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

#include "common/json_file.h"
#include "local_zone.h"
#include "weekday_plan.h"

namespace vedhost::energy {
namespace {

namespace fs = std::filesystem;
using test::kDay;
using test::LocalZone;
using test::utc;
using test::weekdayPlan;

class EnergyUsageTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char name[] = "/tmp/vedhost-usage-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir_ = name;
        path_ = (dir_ / "history.db").string();
    }
    void TearDown() override { fs::remove_all(dir_); }

    // Friday 1 and Saturday 2 March 2024 in Berlin at 2 kW, a count every
    // three minutes, the books priced by `recorded`, into `store` opened
    // afresh at path_.
    void recordWeekend(EnergyStore& store, const TariffPlan& recorded) {
        std::string error;
        ASSERT_TRUE(store.open(path_, false, error)) << error;
        EnergyRules rules;
        rules.plan = recorded;
        rules.ledger.gapMs = 600000;  // read every three minutes: no gaps
        Books books(rules);
        books.addMeter(3);
        std::uint16_t raw = 100;
        for (std::int64_t t = utc("2024-02-29T23:00:00"); t <= utc("2024-03-02T23:00:00");
             t += 180) {
            Reading r;
            r.raw[kImportActive] = raw++;
            r.power[kImportActive] = r.activePowerW = 2000;
            Changes c;
            books.record(3, t * 1000, r, c);
            store.queue(std::move(c));
        }
        store.flush();
    }

    LocalZone berlin_{"Europe/Berlin"};
    fs::path dir_;
    std::string path_;
};

UsageQuery query(Period period, const char* from = "2024-02-20T00:00:00",
                 const char* to = "2024-03-10T00:00:00") {
    UsageQuery q;
    q.dataId = 3;
    q.counter = kImportActive;
    q.period = period;
    q.from = utc(from);
    q.to = utc(to);
    return q;
}

// Friday: night 00-07 and 22-24, 9 hours, 18 kWh x 0.18 = 3.24; peak 07-22,
// 30 kWh x 0.32 = 9.6; standing 0.4: 13.24. Saturday: 48 kWh x 0.2 = 9.6 +
// 0.4 = 10. The ISO week from Monday 26 February has six days of standing
// charge up to the Saturday: 3.24 + 9.6 + 9.6 + 2.4 = 24.84.
void expectPricedWeekend(EnergyStore& store, const TariffPlan& plan) {
    const auto days = usageByPeriod(store, query(Period::Day), plan);
    ASSERT_EQ(days.size(), 2u);
    EXPECT_EQ(days[0].span.start, utc("2024-02-29T23:00:00"));
    EXPECT_EQ(days[0].span.end, utc("2024-03-01T23:00:00"));
    EXPECT_NEAR(days[0].amount.units, 48.0, 1e-9);
    ASSERT_TRUE(days[0].money);
    EXPECT_NEAR(*days[0].money, 13.24, 1e-9);
    EXPECT_NEAR(days[0].standing, 0.4, 1e-12);
    ASSERT_EQ(days[0].bands.size(), 2u);
    EXPECT_EQ(days[0].bands[0].band, "night");
    EXPECT_NEAR(days[0].bands[0].units, 18.0, 1e-9);
    EXPECT_NEAR(*days[0].bands[0].money, 3.24, 1e-9);
    EXPECT_EQ(days[0].bands[1].band, "peak");
    EXPECT_NEAR(*days[0].bands[1].money, 9.6, 1e-9);
    EXPECT_NEAR(*days[1].money, 10.0, 1e-9);

    const auto weeks = usageByPeriod(store, query(Period::Week), plan);
    ASSERT_EQ(weeks.size(), 1u);
    EXPECT_EQ(weeks[0].span.start, utc("2024-02-25T23:00:00"));
    EXPECT_NEAR(weeks[0].amount.units, 96.0, 1e-9);
    EXPECT_NEAR(weeks[0].standing, 2.4, 1e-9);
    EXPECT_NEAR(*weeks[0].money, 24.84, 1e-9);

    const auto months = usageByPeriod(store, query(Period::Month), plan);
    ASSERT_EQ(months.size(), 1u);
    EXPECT_NEAR(*months[0].money, 23.24, 1e-9);
}

TEST_F(EnergyUsageTest, ADayAWeekAndAMonthPricedBandByBand) {
    const TariffPlan plan = weekdayPlan();
    EnergyStore store;
    ASSERT_NO_FATAL_FAILURE(recordWeekend(store, plan));
    expectPricedWeekend(store, plan);
    // An hour of Friday's peak: 2 kWh, 0.64.
    const auto hours = usageByPeriod(
        store, query(Period::Hour, "2024-03-01T06:00:00", "2024-03-01T07:00:00"), plan);
    ASSERT_EQ(hours.size(), 1u);
    EXPECT_NEAR(hours[0].amount.units, 2.0, 1e-9);
    EXPECT_NEAR(*hours[0].money, 0.64, 1e-9);
    EXPECT_EQ(hours[0].bands[0].band, "peak");
    // Billing from the 2nd: Friday closes one period, Saturday opens the next.
    UsageQuery billing = query(Period::Billing);
    billing.billingDay = 2;
    const auto bills = usageByPeriod(store, billing, plan);
    ASSERT_EQ(bills.size(), 2u);
    EXPECT_EQ(bills[1].span.start, utc("2024-03-01T23:00:00"));
    EXPECT_NEAR(bills[0].amount.units, 48.0, 1e-9);
}

TEST_F(EnergyUsageTest, PricedFromTheDayRowsOnceTheHoursAreGone) {
    const TariffPlan plan = weekdayPlan();
    {
        EnergyStore store;
        ASSERT_NO_FATAL_FAILURE(recordWeekend(store, plan));
    }
    sqlite3* db = nullptr;
    sqlite3_open(path_.c_str(), &db);
    ASSERT_EQ(sqlite3_exec(db, "DELETE FROM energy_hours", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    EnergyStore store;
    std::string error;
    ASSERT_TRUE(store.open(path_, true, error)) << error;
    expectPricedWeekend(store, plan);
}

TEST_F(EnergyUsageTest, ATariffEnteredAfterTheRoundsPricesTheHoursStillKept) {
    EnergyStore store;
    ASSERT_NO_FATAL_FAILURE(recordWeekend(store, TariffPlan()));
    expectPricedWeekend(store, weekdayPlan());
    // Without a tariff: the energy alone.
    const auto days = usageByPeriod(store, query(Period::Day), TariffPlan());
    ASSERT_EQ(days.size(), 2u);
    EXPECT_FALSE(days[0].money);
    EXPECT_TRUE(days[0].bands.empty());
}

TEST_F(EnergyUsageTest, TheExportsLines) {
    const TariffPlan plan = weekdayPlan();
    EnergyStore store;
    ASSERT_NO_FATAL_FAILURE(recordWeekend(store, plan));
    const UsageQuery q = query(Period::Day);
    const auto days = usageByPeriod(store, q, plan);
    std::ostringstream csv;
    writeUsageCsv(q, days, plan, true, csv);
    EXPECT_EQ(csv.str(),
              "data_id,counter,period,start,end,kwh,estimated_kwh,cost,standing,night_kwh,"
              "night_cost,peak_kwh,peak_cost,weekend_kwh,weekend_cost\n"
              "3,energy_fwd_active,day,2024-03-01T00:00:00+01:00,2024-03-02T00:00:00+01:00,"
              "48,0,13.24,0.4,18,3.24,30,9.6,,\n"
              "3,energy_fwd_active,day,2024-03-02T00:00:00+01:00,2024-03-03T00:00:00+01:00,"
              "48,0,10,0.4,,,,,48,9.6\n");
    std::string error;
    std::ostringstream lines;
    writeUsageJsonLines(q, days, plan, lines);
    Json::Value first;
    ASSERT_TRUE(parseJson(lines.str().substr(0, lines.str().find('\n')), first, error)) << error;
    EXPECT_EQ(first["start_time"], "2024-03-01T00:00:00+01:00");
    EXPECT_EQ(first["counter"], "energy_fwd_active");
    EXPECT_EQ(first["currency"], "EUR");
    EXPECT_EQ(first["kwh"].asDouble(), 48);
    EXPECT_EQ(first["estimated"], false);
    EXPECT_EQ(first["cost"].asDouble(), 13.24);
    EXPECT_EQ(first["bands"][1]["band"], "peak");
    Json::Value api;
    ASSERT_TRUE(parseJson(usageJson(q, days, plan), api, error)) << error;
    EXPECT_EQ(api["periods"][0]["start"].asInt64(), utc("2024-02-29T23:00:00"));
    EXPECT_EQ(api["periods"][0]["start_time"], "2024-03-01T00:00:00+01:00");
    EXPECT_EQ(api["unit"], "kWh");
}

}  // namespace
}  // namespace vedhost::energy
