// The history store's tiers, cap, upgrade and chart series, run against real
// SQLite files with a synthetic clock: the store takes every time from the
// records it is given.
#include "history/history_store.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstddef>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "config/config.h"
#include "history/history_tiers.h"
#include "tests/support/small_disk.h"
#include "ved96/record.h"

namespace vedhost {
namespace {

namespace fs = std::filesystem;
constexpr std::int64_t kDay = 86400;

// A record with a few known registers; the harmonics hold noise, so the
// record deflates no better than a real meter's.
std::vector<unsigned char> record(unsigned dataId, std::uint16_t voltage, std::uint16_t energy) {
    ved96_Data_t data{};
    std::uint32_t noise = dataId * 65537u + voltage;
    for (auto* block : {data.current_harmonics_low, data.voltage_harmonics_low})
        for (int i = 0; i < 120; ++i) {
            noise = noise * 1103515245u + 12345u;
            block[i] = static_cast<std::uint16_t>(noise >> 16);
        }
    data.data_id = dataId;
    data.phase_voltage_a = voltage;
    data.energy_fwd_active = energy;
    data.di_status = voltage & 1;
    std::vector<unsigned char> out(sizeof data);
    std::memcpy(out.data(), &data, sizeof data);
    return out;
}

class TempDir : public ::testing::Test {
  protected:
    void SetUp() override {
        char name[] = "/tmp/vedhost-history-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir_ = name;
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::uint64_t bytesOnDisk(const std::string& db) {
        std::uint64_t total = 0;
        for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
            std::error_code error;
            const auto n = fs::file_size(db + suffix, error);
            if (!error) total += n;
        }
        return total;
    }
    fs::path dir_;
};

std::string sqlText(const std::string& path, const char* sql) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* stmt = nullptr;
    std::string out;
    if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW && sqlite3_column_text(stmt, 0) != nullptr)
        out = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return out;
}

// ---- Tier table and consolidation ------------------------------------------------

TEST(HistoryTiers, TierListsAcceptedAndRefused) {
    struct Case {
        const char* what;
        std::vector<TierShape> tiers;
        bool ok;
    };
    const Case cases[] = {
        {"the defaults", defaultTiers(), true},
        {"none: full records only", {}, true},
        {"one", {{"5m", 300, kDay}}, true},
        {"named full", {{"full", 60, kDay}}, false},
        {"no name", {{"", 60, kDay}}, false},
        {"same name twice", {{"a", 60, kDay}, {"a", 120, kDay}}, false},
        {"step not a multiple", {{"a", 60, kDay}, {"b", 100, kDay}}, false},
        {"steps shrinking", {{"a", 120, kDay}, {"b", 60, kDay}}, false},
        {"span shorter than a step", {{"a", 60, 59}}, false},
        {"span of exactly one step", {{"a", 60, 60}}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string error;
        EXPECT_EQ(checkTiers(c.tiers, error), c.ok) << error;
        EXPECT_EQ(error.empty(), c.ok);
    }
}

TEST(HistoryTiers, DefaultSignalsAndExtrasByKind) {
    std::vector<ConsolidatedSignal> layout;
    std::string error;
    ASSERT_TRUE(
        consolidatedSignals({"di_status", "current_thd_a", "alarm_a_over_voltage"}, layout, error))
        << error;
    // 36 measurements and 4 energies, then the three named.
    ASSERT_EQ(layout.size(), 43u);
    struct Expect {
        const char* id;
        Consolidation how;
    };
    const Expect expected[] = {
        {"phase_voltage_a", Consolidation::MinAvgMax},
        {"frequency", Consolidation::MinAvgMax},
        {"energy_fwd_active", Consolidation::Last},
        {"energy_rev_reactive", Consolidation::Last},
        {"di_status", Consolidation::Last},
        {"current_thd_a", Consolidation::MinAvgMax},
        {"alarm_a_over_voltage", Consolidation::Last},
    };
    for (const Expect& e : expected) {
        SCOPED_TRACE(e.id);
        const auto it = std::find_if(layout.begin(), layout.end(), [&](const auto& c) {
            return std::string(c.signal->id) == e.id;
        });
        ASSERT_NE(it, layout.end());
        EXPECT_EQ(it->how, e.how);
    }
    EXPECT_EQ(layoutWidth(layout), 37u * 3 + 6);
    // The stored text reads back to the same layout.
    const auto back = parseLayout(layoutText(layout));
    ASSERT_EQ(back.size(), layout.size());
    for (std::size_t i = 0; i < back.size(); ++i) EXPECT_EQ(back[i].signal, layout[i].signal);

    for (const char* bad : {"no_such_signal", "wiring_mode", "update_time"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(consolidatedSignals({bad}, layout, error));
        EXPECT_NE(error.find(bad), std::string::npos) << error;
    }
}

TEST(HistoryTiers, StepOfRecordsThenStepOfRows) {
    std::vector<ConsolidatedSignal> layout;
    std::string error;
    ASSERT_TRUE(consolidatedSignals({}, layout, error));
    // Worked by hand: voltages 2300, 2310, 2350 give 2300 / 2320 / 2350; the
    // energy register 105 (tenths) of the last record is 10.5.
    StepAccumulator minute(layout);
    for (auto [v, e] : {std::pair{2300, 100}, {2310, 101}, {2350, 105}}) {
        const auto r = record(1, static_cast<std::uint16_t>(v), static_cast<std::uint16_t>(e));
        minute.addRecord(r.data());
    }
    const auto m = minute.values();
    ASSERT_EQ(m.size(), layoutWidth(layout));
    EXPECT_EQ(minute.count(), 3);
    EXPECT_FLOAT_EQ(m[0], 2300);
    EXPECT_FLOAT_EQ(m[1], 2320);
    EXPECT_FLOAT_EQ(m[2], 2350);
    const std::size_t energy = 36 * 3;  // the first Last signal
    EXPECT_FLOAT_EQ(m[energy], 10.5f);

    // A coarser step weighs each row by its rounds: (2320*3 + 2400*1) / 4.
    std::vector<float> other(m.size(), std::nanf(""));
    other[0] = 2390;
    other[1] = 2400;
    other[2] = 2410;
    other[energy] = 11.0f;
    StepAccumulator quarter(layout);
    quarter.addRow(layout, m.data(), 3);
    quarter.addRow(layout, other.data(), 1);
    const auto q = quarter.values();
    EXPECT_EQ(quarter.count(), 4);
    EXPECT_FLOAT_EQ(q[0], 2300);
    EXPECT_FLOAT_EQ(q[1], 2340);
    EXPECT_FLOAT_EQ(q[2], 2410);
    EXPECT_FLOAT_EQ(q[energy], 11.0f);
    // A signal no input held stays NaN (phase_voltage_b only in the first).
    EXPECT_FLOAT_EQ(q[3], 0);
}

// ---- The history's settings in the document and on the command line ------------

TEST_F(TempDir, HistorySettingsReadAndRefused) {
    struct Case {
        const char* history;  // the document's "history" member
        std::vector<std::string> extra;
        const char* refusal;  // nullptr: accepted
    };
    const Case cases[] = {
        {R"({"path": "h.db", "max_mb": 64, "commit_seconds": 2.5,
             "tiers": [{"name": "5m", "step": "5m", "span": "2d"},
                       {"name": "hour", "step": 3600, "span": "400d"}],
             "signals": ["current_thd_a", "di_status"]})",
         {},
         nullptr},
        {R"({"path": "h.db"})",
         {"--history-max-mb", "8", "--history-commit-seconds", "0.5"},
         nullptr},
        {R"({"path": "h.db", "max_mb": 3})", {}, "max_mb"},
        {R"({"path": "h.db", "commit_seconds": 0})", {}, "commit_seconds"},
        {R"({"tiers": [{"name": "a", "step": "7m", "span": "1d"},
                       {"name": "b", "step": "10m", "span": "1d"}]})",
         {},
         "multiple"},
        {R"({"tiers": [{"name": "a", "step": "1w", "span": "1d"}]})", {}, "step and span"},
        {R"({"tiers": {"name": "a"}})", {}, "a list"},
        {R"({"signals": ["wiring_mode"]})", {}, "only numbers and bits"},
        {R"({"signals": ["no_such"]})", {}, "no such signal"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.history);
        const std::string doc = (dir_ / "c.json").string();
        std::ofstream(doc) << R"({"lines": [{"tcp": "127.0.0.1:1502", "meters": [{"slave": 1}]}],)"
                           << R"( "history": )" << c.history << "}";
        std::vector<std::string> args = {"--config", doc};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        HostConfig config;
        std::string error;
        const bool ok = parseCommandLine(args, "ved96.so", config, error);
        if (c.refusal != nullptr) {
            EXPECT_FALSE(ok);
            EXPECT_NE(error.find(c.refusal), std::string::npos) << error;
            continue;
        }
        ASSERT_TRUE(ok) << error;
        if (c.extra.empty()) {
            EXPECT_EQ(config.history.maxMb, 64);
            EXPECT_DOUBLE_EQ(config.history.commitSeconds, 2.5);
            ASSERT_EQ(config.history.tiers.size(), 2u);
            EXPECT_EQ(config.history.tiers[0].step, 300);
            EXPECT_EQ(config.history.tiers[1].span, 400 * kDay);
            EXPECT_EQ(config.history.signals.size(), 2u);
        } else {
            EXPECT_EQ(config.history.maxMb, 8);
            EXPECT_DOUBLE_EQ(config.history.commitSeconds, 0.5);
            EXPECT_EQ(config.history.tiers.size(), 3u);
        }
    }
}

// ---- Ten years of three meters ---------------------------------------------------

// Three meters, ten years: a day apart for nine years, a quarter-hour apart
// for the last year, a minute apart for the last week and a second apart for
// the last hour. Every tier ends up as full as a meter polled each second
// would make it, and the full records outgrow the cap many times.
TEST_F(TempDir, TenYearsOfThreeMetersStayUnderTheCapWithEveryTierSpan) {
    const std::string db = dir_ / "history.db";
    StoreOptions options;                 // the defaults: 128 MiB, 1m/15m/1d
    const std::int64_t end = 1956528000;  // 2032-01-01T00:00:00Z
    const std::int64_t begin = end - 3653 * kDay;
    std::uint64_t largest = 0;
    std::size_t saved = 0;
    {
        HistoryStore store;
        std::string error;
        ASSERT_TRUE(store.open(db, false, error, options)) << error;
        std::int64_t t = begin;
        while (t < end) {
            const std::int64_t left = end - t;
            const std::int64_t step = left > 366 * kDay ? kDay
                                      : left > 7 * kDay ? 900
                                      : left > 3600     ? 60
                                                        : 1;
            for (unsigned meter = 1; meter <= 3; ++meter) {
                const auto r = record(meter, static_cast<std::uint16_t>(2300 + t % 97),
                                      static_cast<std::uint16_t>(t / 3600));
                ASSERT_TRUE(store.save(meter, t * 1000 + meter, "t", r.data(), r.size(), error));
            }
            saved += 3;
            t += step;
            if (saved % 1500 == 0 || t >= end) {
                store.flush();
                largest = std::max(largest, bytesOnDisk(db));
                ASSERT_LE(largest, options.maxBytes) << "after " << saved << " records";
            }
        }
        EXPECT_EQ(store.roundsNotStored(), 0);

        const StoreInfo info = store.info();
        ASSERT_EQ(info.tiers.size(), 4u);
        // Each tier reaches back over its span (to within one of its steps)
        // and no further than the hour between two trims by age.
        struct Span {
            const char* name;
            std::int64_t atLeast, atMost;
        };
        const Span spans[] = {
            {"full", 3600, 3653 * kDay},
            {"1m", 7 * kDay - 60, 7 * kDay + 3600},
            {"15m", 365 * kDay, 366 * kDay + 3600},
            {"1d", 3650 * kDay, 3653 * kDay},
        };
        for (std::size_t i = 0; i < 4; ++i) {
            SCOPED_TRACE(spans[i].name);
            const TierExtent& e = info.tiers[i];
            EXPECT_EQ(e.name, spans[i].name);
            ASSERT_GT(e.rows, 0);
            const std::int64_t reach = end - e.oldest;
            EXPECT_GE(reach, spans[i].atLeast);
            EXPECT_LE(reach, spans[i].atMost);
        }
        std::printf("ten years: %zu records saved, largest files %llu of %llu bytes\n", saved,
                    static_cast<unsigned long long>(largest),
                    static_cast<unsigned long long>(options.maxBytes));
        // The newest record of each meter is still there for the cache.
        for (unsigned meter = 1; meter <= 3; ++meter)
            EXPECT_EQ(store.newest(meter)->unixMs / 1000, end - 1);
    }
    EXPECT_EQ(sqlText(db, "PRAGMA integrity_check"), "ok");
}

TEST_F(TempDir, ASmallCapGivesUpFullRecordsBeforeTiers) {
    const std::string db = dir_ / "history.db";
    StoreOptions options;
    options.maxBytes = 1u << 20;
    options.fullFloorSeconds = 600;  // the newest ten minutes hold out longest
    const std::int64_t start = 1956528000;
    HistoryStore store;
    std::string error;
    ASSERT_TRUE(store.open(db, false, error, options)) << error;
    // Three hours of one meter each 5 s: far more full records than fit.
    for (std::int64_t t = start; t < start + 3 * 3600; t += 5) {
        const auto r = record(1, 2300, 1);
        ASSERT_TRUE(store.save(1, t * 1000, "t", r.data(), r.size(), error));
        if ((t - start) % 3000 == 0) {
            store.flush();
            ASSERT_LE(bytesOnDisk(db), options.maxBytes);
        }
    }
    store.flush();
    EXPECT_LE(bytesOnDisk(db), options.maxBytes);
    const StoreInfo info = store.info();
    // The minute tier still holds all three hours (the last minute is not
    // over yet); the full records went.
    EXPECT_EQ(info.tiers[1].rows, 3 * 60 - 1);
    EXPECT_LT(info.tiers[0].rows, 3 * 720);
    EXPECT_GT(info.tiers[0].rows, 0);
}

// ---- Upgrade from the first release -----------------------------------------------

TEST_F(TempDir, FirstReleaseDatabaseIsUpgradedWithEveryRecordKept) {
    const std::string db = dir_ / "history.db";
    // The first release's schema and rows, written as it wrote them.
    {
        sqlite3* raw = nullptr;
        ASSERT_EQ(sqlite3_open(db.c_str(), &raw), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(raw,
                               "CREATE TABLE IF NOT EXISTS history ("
                               " id INTEGER PRIMARY KEY AUTOINCREMENT,"
                               " data_id INTEGER NOT NULL,"
                               " time TEXT NOT NULL,"
                               " record BLOB NOT NULL);"
                               "CREATE INDEX IF NOT EXISTS history_by_meter ON history"
                               " (data_id, id);",
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_stmt* put = nullptr;
        sqlite3_prepare_v2(raw, "INSERT INTO history (data_id, time, record) VALUES (?, ?, ?)", -1,
                           &put, nullptr);
        sqlite3_exec(raw, "BEGIN", nullptr, nullptr, nullptr);
        for (int i = 0; i < 600; ++i) {
            char text[40];
            std::snprintf(text, sizeof text, "2024-03-07T09:%02d:%02d.%03d", i / 60, i % 60, i);
            const auto r = record(1 + i % 2, static_cast<std::uint16_t>(2300 + i), 7);
            sqlite3_bind_int(put, 1, 1 + i % 2);
            sqlite3_bind_text(put, 2, text, -1, SQLITE_TRANSIENT);
            sqlite3_bind_blob(put, 3, r.data(), static_cast<int>(r.size()), SQLITE_TRANSIENT);
            ASSERT_EQ(sqlite3_step(put), SQLITE_DONE);
            sqlite3_reset(put);
        }
        sqlite3_exec(raw, "COMMIT", nullptr, nullptr, nullptr);
        sqlite3_finalize(put);
        sqlite3_close(raw);
    }
    // Read as it is by `vedhost history` before any upgrade.
    {
        HistoryStore reader;
        std::string error;
        ASSERT_TRUE(reader.open(db, true, error)) << error;
        EXPECT_EQ(reader.list(std::nullopt).size(), 600u);
    }
    std::tm local{};
    local.tm_year = 124;
    local.tm_mon = 2;
    local.tm_mday = 7;
    local.tm_hour = 9;
    local.tm_isdst = -1;
    const std::int64_t nine = std::mktime(&local);
    {
        HistoryStore store;
        std::string error;
        ASSERT_TRUE(store.open(db, false, error)) << error;
        const auto all = store.list(std::nullopt);
        ASSERT_EQ(all.size(), 600u);
        for (std::size_t i = 0; i < all.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(all[i].id, static_cast<std::int64_t>(i + 1));
            EXPECT_EQ(all[i].unixMs,
                      (nine + static_cast<std::int64_t>(i)) * 1000 + static_cast<std::int64_t>(i));
            EXPECT_EQ(all[i].record, record(1 + i % 2, static_cast<std::uint16_t>(2300 + i), 7));
        }
        EXPECT_EQ(store.newest(2)->id, 600);
        // The records of its ten minutes become minute rows once a newer
        // round closes the last of them.
        const auto r = record(1, 2300, 7);
        ASSERT_TRUE(store.save(1, (nine + 3600) * 1000, "later", r.data(), r.size(), error));
        store.flush();
        EXPECT_EQ(store.consolidated("1m", 1u).size(), 10u);
        EXPECT_EQ(store.consolidated("1m", 2u).size(), 10u);
    }
    EXPECT_EQ(sqlText(db, "PRAGMA integrity_check"), "ok");
    EXPECT_EQ(sqlText(db, "PRAGMA user_version"), "3");
    EXPECT_EQ(sqlText(db, "SELECT count(*) FROM history"), "601");
}

// ---- Chart series ----------------------------------------------------------------

TEST_F(TempDir, SeriesFromFullRecordsAndFromTiers) {
    const std::string db = dir_ / "history.db";
    const std::int64_t start = 1956528000;
    HistoryStore store;
    std::string error;
    ASSERT_TRUE(store.open(db, false, error)) << error;
    // Ten minutes a second apart; the voltage is the second's number.
    for (std::int64_t i = 0; i < 600; ++i) {
        const auto r = record(1, static_cast<std::uint16_t>(i), 5);
        ASSERT_TRUE(store.save(1, (start + i) * 1000, "t", r.data(), r.size(), error));
    }
    store.flush();

    struct Case {
        const char* what;
        std::int64_t from, to;
        std::size_t maxPoints;
        std::size_t points;
        SeriesPoint first;
    };
    const Case cases[] = {
        // Full records: 60 s per point, 0..59 in the first.
        {"ten points", start, start + 600, 10, 10, {start, 0, 29.5, 59}},
        {"one point", start, start + 600, 1, 1, {start, 0, 299.5, 599}},
        {"every record", start + 10, start + 13, 100, 3, {start + 10, 10, 10, 10}},
        {"nothing there", start + 7200, start + 9000, 10, 0, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto points = store.series(1, "phase_voltage_a", c.from, c.to, c.maxPoints);
        ASSERT_EQ(points.size(), c.points);
        if (points.empty()) continue;
        EXPECT_EQ(points[0].time, c.first.time);
        EXPECT_DOUBLE_EQ(points[0].min, c.first.min);
        EXPECT_DOUBLE_EQ(points[0].avg, c.first.avg);
        EXPECT_DOUBLE_EQ(points[0].max, c.first.max);
    }
    EXPECT_TRUE(store.series(1, "no_such_signal", start, start + 600, 10).empty());
    EXPECT_TRUE(store.series(2, "phase_voltage_a", start, start + 600, 10).empty());
    EXPECT_TRUE(store.series(1, "wiring_mode", start, start + 600, 10).empty());

    // An hour later the minutes are made; a span reaching before the full
    // records is read from the minute tier, energy as its last value.
    const auto r = record(1, 1000, 9);
    ASSERT_TRUE(store.save(1, (start + 3600) * 1000, "t", r.data(), r.size(), error));
    store.flush();
    const auto minutes = store.series(1, "phase_voltage_a", start - 600, start + 600, 20);
    ASSERT_EQ(minutes.size(), 10u);
    EXPECT_EQ(minutes[1].time, start + 60);
    EXPECT_DOUBLE_EQ(minutes[1].min, 60);
    EXPECT_DOUBLE_EQ(minutes[1].avg, 89.5);
    EXPECT_DOUBLE_EQ(minutes[1].max, 119);
    const auto energy = store.series(1, "energy_fwd_active", start, start + 3600, 1);
    ASSERT_EQ(energy.size(), 1u);
    EXPECT_FLOAT_EQ(static_cast<float>(energy[0].max), 0.5f);
}

// ---- A storage that refuses the file at open ------------------------------------

// A path that can never work for writing stays a refusal of the store: the
// host exits with a configuration error rather than run without a history.
TEST_F(TempDir, APathThatCanNeverWorkIsRefusedForWriting) {
    std::ofstream(dir_ / "text.db") << "not a history, and longer than a page header\n";
    fs::create_directories(dir_ / "folder.db");
    const struct {
        const char* name;
        std::string path;
        const char* says;
    } rows[] = {
        {"a folder not there", (dir_ / "none/history.db").string(), "unable to open"},
        {"a folder", (dir_ / "folder.db").string(), "unable to open"},
        {"not a database", (dir_ / "text.db").string(), "not a database"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        HistoryStore store;
        std::string error;
        EXPECT_FALSE(store.open(row.path, false, error));
        EXPECT_NE(error.find(row.says), std::string::npos) << error;
    }
}

// A disk full when the store opens, for a history made before and a new one:
// the store opens stopped, says the disk is full, counts rounds as not
// stored, and stores by itself once there is room, the old records kept.
TEST(HistoryAtStart, AFullDiskOpensTheStoreStoppedAndItStoresOnceThereIsRoom) {
    for (const bool madeBefore : {true, false}) {
        SCOPED_TRACE(madeBefore ? "a history made before" : "a new history");
        ::test::SmallDisk disk;
        if (!disk.mounted()) GTEST_SKIP() << "mounting a tmpfs needs root";
        const std::string path = disk.path("history.db");
        std::string error;
        const auto rec = record(1, 2300, 100);
        if (madeBefore) {
            HistoryStore before;
            ASSERT_TRUE(before.open(path, false, error)) << error;
            ASSERT_TRUE(before.save(1, 1700000000000, "old", rec.data(), rec.size(), error));
            before.flush();
        }
        ASSERT_TRUE(disk.fill());

        HistoryStore store;
        ASSERT_TRUE(store.open(path, false, error)) << error;
        StoreHealth h = store.health();
        EXPECT_FALSE(h.storing);
        EXPECT_EQ(h.stop, StoreHealth::Stop::Full) << h.error;
        EXPECT_NE(h.error.find(path), std::string::npos) << h.error;
        ASSERT_TRUE(store.save(1, 1700000060000, "full", rec.data(), rec.size(), error)) << error;
        store.flush();
        EXPECT_EQ(store.health().notStored, 1u);
        EXPECT_FALSE(store.newest(1).has_value());

        disk.room();
        std::int64_t at = 1700000120000;
        for (int tries = 0; tries < 400 && !store.health().storing; ++tries) {
            ASSERT_TRUE(store.save(1, at += 1000, "room", rec.data(), rec.size(), error));
            store.flush();
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        h = store.health();
        ASSERT_TRUE(h.storing) << h.error;
        EXPECT_EQ(h.stop, StoreHealth::Stop::None);
        const auto rows = store.list(1);
        ASSERT_FALSE(rows.empty());
        EXPECT_EQ(rows.front().time == "old", madeBefore);
        EXPECT_EQ(rows.back().unixMs, at);
    }
}

}  // namespace
}  // namespace vedhost
