// The energy tables on real SQLite files: what a commit keeps and a restart
// reads back, reads that include what is not committed yet, a restart
// mid-day whose stopped half hour is counted as estimated, retention of
// hours and days, and the tables' version.
#include "energy/energy_store.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "energy/energy_sink.h"
#include "local_zone.h"
#include "tests/support/small_disk.h"

namespace vedhost::energy {
namespace {

namespace fs = std::filesystem;
using test::kDay;
using test::kHour;
using test::LocalZone;
using test::utc;

class EnergyStoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char name[] = "/tmp/vedhost-energy-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir_ = name;
        path_ = (dir_ / "history.db").string();
    }
    void TearDown() override { fs::remove_all(dir_); }
    fs::path dir_;
    std::string path_;
};

Reading at(std::uint16_t importRaw, double watts) {
    Reading r;
    r.raw[kImportActive] = importRaw;
    r.power[kImportActive] = watts;
    r.activePowerW = watts;
    return r;
}

double sum(const std::vector<UsageRow>& rows, bool estimated = false) {
    double s = 0;
    for (const UsageRow& r : rows) s += estimated ? r.amount.estimated : r.amount.units;
    return s;
}

// A host's life with the books and the store: rounds every `step` seconds
// from `from` to `to` (UTC) at 36 kW, a count every 10 s, the register
// starting where the store left it.
struct Host {
    Host(const std::string& path, std::string& error, double commitSeconds = 3600)
        : books(EnergyRules{}) {
        EnergyStoreOptions o;
        o.commitSeconds = commitSeconds;
        ok = store.open(path, false, error, o);
        books.addMeter(1);
        books.restore(1, store.ledger(1), {}, std::nullopt, 0);
    }
    void run(std::int64_t from, std::int64_t to, std::int64_t step, std::uint16_t& raw) {
        for (std::int64_t t = from; t <= to; t += step) {
            Changes c;
            books.record(1, t * 1000, at(raw, 36000), c);
            store.queue(std::move(c));
            raw = static_cast<std::uint16_t>(raw + step / 10);
        }
    }
    EnergyStore store;
    Books books;
    bool ok = false;
};

TEST_F(EnergyStoreTest, ARestartMidDayCountsTheStoppedHalfHourAsEstimated) {
    LocalZone berlin("Europe/Berlin");
    std::string error;
    std::uint16_t raw = 65000;
    {
        // 08:00 to 12:00 CEST, then the host stops.
        Host host(path_, error);
        ASSERT_TRUE(host.ok) << error;
        host.run(utc("2024-05-02T06:00:00"), utc("2024-05-02T10:00:00"), 10, raw);
    }
    // 36 kW went on while it was stopped: the register moved 180 counts.
    raw = static_cast<std::uint16_t>(raw - 1 + 180);
    {
        Host host(path_, error);
        ASSERT_TRUE(host.ok) << error;
        const auto states = host.store.ledger(1);
        ASSERT_EQ(states.size(), kCounters);
        EXPECT_EQ(states[kImportActive].second.raw, static_cast<std::uint16_t>(65000 + 1440));
        host.run(utc("2024-05-02T10:30:00"), utc("2024-05-02T12:00:00"), 10, raw);
        host.store.flush();
        const std::int64_t day = utc("2024-05-01T22:00:00");
        // 08:00 to 14:00 CEST is six hours at 36 kW: 216 kWh, half an hour
        // of it (18 kWh) over the stop; the register wrapped once on the way.
        const auto hours = host.store.hours(1, kImportActive, day, day + kDay);
        EXPECT_NEAR(sum(hours), 216.0, 1e-6);
        EXPECT_NEAR(sum(hours, true), 18.0, 1e-6);
        const auto days = host.store.days(1, kImportActive, day, day + kDay);
        ASSERT_EQ(days.size(), 1u);
        EXPECT_NEAR(days[0].amount.units, 216.0, 1e-6);
        EXPECT_NEAR(days[0].amount.estimated, 18.0, 1e-6);
        const auto audit = host.store.audit(1);
        ASSERT_EQ(audit.size(), 1u);
        EXPECT_EQ(audit[0].kind, StepKind::Wrap);
        EXPECT_NEAR(host.books.summary(1).counters[kImportActive].total, 6500.0 + 216.0, 1e-6);
    }
}

TEST_F(EnergyStoreTest, ReadsIncludeWhatIsNotCommittedYet) {
    LocalZone zone("UTC");
    std::string error;
    Host host(path_, error, 3600);  // nothing commits by itself during the test
    ASSERT_TRUE(host.ok) << error;
    std::uint16_t raw = 100;
    host.run(utc("2024-05-02T06:00:00"), utc("2024-05-02T07:00:00"), 10, raw);
    const std::int64_t day = utc("2024-05-02T00:00:00");
    EXPECT_NEAR(sum(host.store.hours(1, kImportActive, day, day + kDay)), 36.0, 1e-9);
    host.store.flush();
    EXPECT_NEAR(sum(host.store.hours(1, kImportActive, day, day + kDay)), 36.0, 1e-9);
    host.run(utc("2024-05-02T07:00:10"), utc("2024-05-02T08:00:00"), 10, raw);
    // Committed and waiting rows of the same hours add up.
    EXPECT_NEAR(sum(host.store.hours(1, kImportActive, day, day + kDay)), 72.0, 1e-9);
    EXPECT_NEAR(sum(host.store.days(1, kImportActive, day, day + kDay)), 72.0, 1e-9);
    EXPECT_EQ(host.store.meters(), std::vector<unsigned>{1});
}

TEST_F(EnergyStoreTest, HoursAndDaysAreKeptForTheirSpans) {
    LocalZone zone("UTC");
    std::string error;
    EnergyStoreOptions o;
    o.hourSpan = 10 * kDay;
    o.daySpan = 30 * kDay;
    const std::int64_t first = utc("2024-01-01T00:00:00");
    {
        EnergyStore store;
        ASSERT_TRUE(store.open(path_, false, error, o)) << error;
        // A day's row and an hour's each day for sixty days.
        for (int d = 0; d < 60; ++d) {
            Changes c;
            const std::int64_t t = first + d * kDay;
            c.hours[{1, kImportActive, t, ""}] = {1.0, 0};
            c.days[{1, kImportActive, t, ""}] = {24.0, 0};
            CounterState s;
            s.known = true;
            s.atMs = (t + 3600) * 1000;
            c.ledger[{1, kImportActive}] = s;
            store.queue(std::move(c));
            store.flush();
        }
    }
    EnergyStore store;
    ASSERT_TRUE(store.open(path_, true, error)) << error;
    const auto hours = store.hours(1, kImportActive, first, first + 60 * kDay);
    const auto days = store.days(1, kImportActive, first, first + 60 * kDay);
    // The newest data is of day 59, 01:00: hours from day 49 01:00 on, days
    // from day 29 01:00 on.
    ASSERT_FALSE(hours.empty());
    EXPECT_EQ(hours.front().start, first + 50 * kDay);
    EXPECT_EQ(hours.size(), 10u);
    EXPECT_EQ(days.front().start, first + 30 * kDay);
    EXPECT_EQ(days.size(), 30u);
}

TEST_F(EnergyStoreTest, TenYearsOfDaysAndAYearOfHoursAreKeptByDefault) {
    LocalZone zone("UTC");
    std::string error;
    const std::int64_t first = utc("2014-01-01T00:00:00");
    const std::int64_t days = 11 * 366;
    {
        EnergyStore store;
        ASSERT_TRUE(store.open(path_, false, error)) << error;
        Changes c;
        for (std::int64_t d = 0; d < days; ++d) {
            c.days[{1, kImportActive, first + d * kDay, ""}] = {24.0, 0};
            for (int h = 0; h < 24 && d >= days - 2 * 366; ++h)
                c.hours[{1, kImportActive, first + d * kDay + h * kHour, ""}] = {1.0, 0};
        }
        CounterState s;
        s.known = true;
        s.atMs = (first + days * kDay) * 1000;
        c.ledger[{1, kImportActive}] = s;
        store.queue(std::move(c));
        store.flush();
    }
    EnergyStore store;
    ASSERT_TRUE(store.open(path_, true, error)) << error;
    const std::int64_t end = first + days * kDay;
    const auto dayRows = store.days(1, kImportActive, first, end);
    const auto hourRows = store.hours(1, kImportActive, first, end);
    ASSERT_FALSE(dayRows.empty());
    ASSERT_FALSE(hourRows.empty());
    // 3660 days and 400 days of hours back from the newest data.
    EXPECT_EQ(dayRows.front().start, end - 3660 * kDay);
    EXPECT_EQ(hourRows.front().start, end - 400 * kDay);
    EXPECT_GE(end - dayRows.front().start, 3653 * kDay) << "ten years of days";
    EXPECT_GE(end - hourRows.front().start, 366 * kDay) << "a year of hours";
}

TEST_F(EnergyStoreTest, TheTablesCarryTheirVersion) {
    std::string error;
    {
        EnergyStore store;
        ASSERT_TRUE(store.open(path_, false, error)) << error;
        EXPECT_TRUE(store.keepsEnergy());
    }
    {
        // Opened again: nothing to upgrade, nothing lost.
        EnergyStore store;
        ASSERT_TRUE(store.open(path_, false, error)) << error;
    }
    // A file without the tables reads as keeping no energy.
    const std::string other = (dir_ / "other.db").string();
    sqlite3* db = nullptr;
    sqlite3_open(other.c_str(), &db);
    sqlite3_exec(db, "CREATE TABLE history (id INTEGER PRIMARY KEY)", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    {
        EnergyStore store;
        ASSERT_TRUE(store.open(other, true, error)) << error;
        EXPECT_FALSE(store.keepsEnergy());
        EXPECT_TRUE(store.hours(1, 0, 0, 1LL << 40).empty());
    }
    // Tables of a newer release are not written to.
    sqlite3_open(path_.c_str(), &db);
    sqlite3_exec(db, "UPDATE energy_meta SET value = 99 WHERE key = 'version'", nullptr, nullptr,
                 nullptr);
    sqlite3_close(db);
    EnergyStore store;
    EXPECT_FALSE(store.open(path_, false, error));
    EXPECT_EQ(error, "energy tables of " + path_ + ": made by a newer release (version 99)");
}

// A disk full when the host starts: the store opens, not ready; the books
// take no round until it is, then go on from the stored ledger (the register
// wrapped before; books that started without it would count from the
// register again and write that over the stored total).
TEST(EnergyAtStart, AFullDiskHasTheBooksWaitForTheirLedgerAndGoOnFromIt) {
    ::test::SmallDisk disk;
    if (!disk.mounted()) GTEST_SKIP() << "mounting a tmpfs needs root";
    const std::string path = disk.path("history.db");
    std::string error;
    std::uint16_t raw = 65000;
    const std::int64_t from = utc("2024-05-02T06:00:00");
    {
        // Four hours a count a round from 65000: the stored total is 66440
        // counts, the register at 904.
        Host host(path, error);
        ASSERT_TRUE(host.ok) << error;
        host.run(from, from + 4 * kHour, 10, raw);
    }
    ASSERT_TRUE(disk.fill());

    EnergyStoreOptions o;
    o.commitSeconds = 3600;
    EnergyStore store;
    ASSERT_TRUE(store.open(path, false, error, o)) << error;
    EXPECT_FALSE(store.ready());
    EnergySink sink(EnergyRules{}, &store);
    const std::int64_t later = from + 5 * kHour;
    sink.addMeter(1, later * 1000);
    sink.round(1, later * 1000, at(raw, 36000));
    EXPECT_FALSE(sink.summary(1).known) << "a round taken into books without their ledger";

    disk.room();
    for (int tries = 0; tries < 200 && !store.ready(); ++tries)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(store.ready());
    // 361 counts on from the stored reading, over a gap.
    raw = static_cast<std::uint16_t>(raw + 360);
    sink.round(1, (later + kHour) * 1000, at(raw, 36000));
    const MeterSummary summary = sink.summary(1);
    ASSERT_TRUE(summary.known);
    EXPECT_NEAR(summary.counters[kImportActive].total, 6680.1, 1e-6);
    store.flush();
    const auto states = store.ledger(1);
    ASSERT_EQ(states.size(), kCounters);
    EXPECT_EQ(states[kImportActive].second.total, 66801);
}

}  // namespace
}  // namespace vedhost::energy
