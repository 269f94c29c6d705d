// The supply quality's tables in a real history database, and the recorder
// that fills them, on a synthetic clock: every time comes from the rounds.
#include "quality/quality_store.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "history/history_sql.h"
#include "history/history_store.h"
#include "quality/quality_command.h"
#include "quality/quality_recorder.h"
#include "quality/quality_report.h"
#include "quality_support.h"
#include "tests/support/small_disk.h"

namespace vedhost::quality {
namespace {

namespace fs = std::filesystem;
using test::LocalZone;
using test::RecordImage;

class QualityFile : public ::testing::Test {
  protected:
    void SetUp() override {
        char name[] = "/tmp/vedhost-quality-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir_ = name;
        db_ = (dir_ / "history.db").string();
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::uint64_t bytesOnDisk() const {
        std::uint64_t total = 0;
        for (const char* suffix : {"", "-wal", "-shm"}) {
            std::error_code error;
            const auto n = fs::file_size(db_ + suffix, error);
            if (!error) total += n;
        }
        return total;
    }
    // Another writer of the file (the history), held to the same cap, takes every page of it:
    // one blob of `blobBytes` a commit (a transaction that fills the cap is rolled back),
    // without waiting for the disk. `other` is left open.
    void fillTheCap(sqlite3*& other, std::uint64_t cap, int blobBytes, int mostRows) {
        ASSERT_EQ(sqlite3_open(db_.c_str(), &other), SQLITE_OK);
        sqlite3_busy_timeout(other, 5000);
        const std::string capPages =
            "PRAGMA max_page_count=" + std::to_string(history_sql::databaseBudgetBytes(cap) / 4096);
        for (const std::string& sql : {capPages, std::string("CREATE TABLE filler (b BLOB)"),
                                       std::string("PRAGMA synchronous=OFF")})
            ASSERT_EQ(sqlite3_exec(other, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
                << sql;
        const std::string insert =
            "INSERT INTO filler VALUES (zeroblob(" + std::to_string(blobBytes) + "))";
        int rows = 0;
        while (sqlite3_exec(other, insert.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK)
            ASSERT_LT(++rows, mostRows);
    }
    LocalZone zone_{test::kCentralEurope};
    fs::path dir_;
    std::string db_;
};

Interval steadyInterval(std::int64_t start, std::int64_t rounds, float voltage) {
    Interval i;
    i.start = start;
    i.rounds = rounds;
    for (int p = 0; p < kPhases; ++p) i.values[Interval::kPhaseVoltage + p] = voltage;
    i.values[Interval::kFrequency] = 50;
    return i;
}

// A record of the meter's raw registers: tenths of a volt, hundredths of a
// hertz and of a per cent.
std::vector<unsigned char> meterRecord(std::uint16_t tenthsL1) {
    RecordImage r;
    r.set("phase_voltage_a", tenthsL1).set("phase_voltage_b", 2300).set("phase_voltage_c", 2300);
    r.set("line_voltage_ab", 4000).set("line_voltage_bc", 4000).set("line_voltage_ca", 4000);
    r.set("frequency", 5000).set("voltage_thd_a", 200).set("voltage_thd_b", 200);
    r.set("voltage_thd_c", 200);
    return r.bytes;
}

TEST_F(QualityFile, IntervalsStoredAndAPartBeforeARestartJoined) {
    QualityStore store;
    std::string error;
    ASSERT_TRUE(store.open(db_, false, 128u << 20, error)) << error;
    bool full = false;
    Interval first = steadyInterval(6000, 2, 230);
    first.values[Interval::kFrequency + 1] = 49.9f;
    Interval second = steadyInterval(6000, 1, 240);
    second.values[Interval::kThd] = 3;  // only the second part had a THD
    second.values[Interval::kFrequency + 1] = 50.2f;
    ASSERT_TRUE(store.putIntervals({{1, first}, {2, steadyInterval(6000, 5, 231)}}, full, error))
        << error;
    ASSERT_TRUE(store.putIntervals({{1, second}}, full, error)) << error;
    ASSERT_TRUE(store.putIntervals({{1, steadyInterval(6600, 1, 229)}}, full, error)) << error;

    const auto one = store.intervals(1, 0, 7200);
    ASSERT_EQ(one.size(), 2u);
    EXPECT_EQ(one[0].rounds, 3);
    // sqrt((2 * 230^2 + 240^2) / 3) = 233.3809; the frequency plainly
    // weighed: (2 * 49.9 + 50.2) / 3 = 50.
    EXPECT_FLOAT_EQ(one[0].phaseVoltage(0), 233.38095f);
    EXPECT_FLOAT_EQ(one[0].frequency(1), 50.0f);
    EXPECT_FLOAT_EQ(one[0].thd(0), 3);
    EXPECT_TRUE(std::isnan(one[0].thd(1)));
    EXPECT_EQ(one[1].start, 6600);

    const auto all = store.intervals(std::nullopt, std::nullopt, std::nullopt);
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0].first, 1u);
    EXPECT_EQ(all[1].first, 2u);
    EXPECT_EQ(all[1].second.phaseVoltage(2), 231);
    EXPECT_EQ(store.intervals(2, 6001, 7200).size(), 0u);
    EXPECT_EQ(store.firstInterval(1, 6001), 6600);
    EXPECT_EQ(store.lastInterval(2), 6000);
    EXPECT_EQ(store.meters(), (std::vector<unsigned>{1, 2}));
}

TEST_F(QualityFile, TheHistoryCommandListsTheTenMinuteValuesAsked) {
    {
        QualityStore store;
        std::string error;
        ASSERT_TRUE(store.open(db_, false, 128u << 20, error)) << error;
        std::vector<std::pair<unsigned, Interval>> rows;
        for (unsigned meter : {1u, 2u})
            for (std::int64_t t = test::kWeek49Of2026; t < test::kWeek49Of2026 + 3600; t += 600)
                rows.push_back({meter, steadyInterval(t, 60, meter == 1 ? 230 : 231)});
        bool full = false;
        ASSERT_TRUE(store.putIntervals(rows, full, error)) << error;
    }
    const struct {
        std::optional<unsigned> dataId;
        const char *since, *until;
        std::size_t rows;
        const char* first;  // the first row's start
    } cases[] = {
        {std::nullopt, "", "", 12, "2026-11-30T00:00:00,1,60,230,"},
        {2u, "", "", 6, "2026-11-30T00:00:00,2,60,231,"},
        // [since, until), in local time.
        {1u, "2026-11-30T00:10:00", "2026-11-30T00:30:00", 2, "2026-11-30T00:10:00,1,"},
        {1u, "2026-12-01T00:00:00", "", 0, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.since);
        HistoryQuery query;
        query.path = db_;
        query.quality = true;
        query.dataId = c.dataId;
        query.since = c.since;
        query.until = c.until;
        std::ostringstream out, err;
        EXPECT_EQ(runQualityCommand(query, out, err), 0);
        EXPECT_EQ(err.str(), "vedhost: " + std::string(kPolledNote) +
                                 "\nvedhost: " + std::to_string(c.rows) + " ten-minute values\n");
        std::istringstream lines(out.str());
        std::string header, first;
        std::getline(lines, header);
        EXPECT_EQ(header.rfind("time,data_id,rounds,", 0), 0u);
        std::getline(lines, first);
        if (c.first != nullptr) {
            EXPECT_EQ(first.rfind(c.first, 0), 0u) << first;
        }
        const std::string text = out.str();
        EXPECT_EQ(static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')), c.rows + 1);
    }
    HistoryQuery none;
    none.path = (dir_ / "none.db").string();
    std::ostringstream out, err;
    EXPECT_EQ(runQualityCommand(none, out, err), 2);
    EXPECT_EQ(err.str().rfind("vedhost: cannot open history ", 0), 0u) << err.str();
}

TEST_F(QualityFile, AHistoryWithoutTheTablesReadsAsHoldingNothing) {
    {
        HistoryStore history;
        std::string error;
        ASSERT_TRUE(history.open(db_, false, error)) << error;
        const auto r = meterRecord(2300);
        ASSERT_TRUE(history.save(1, 1795993200000, "t", r.data(), r.size(), error));
    }
    QualityStore store;
    std::string error;
    ASSERT_TRUE(store.open(db_, true, 128u << 20, error)) << error;
    EXPECT_TRUE(store.intervals(std::nullopt, std::nullopt, std::nullopt).empty());
    EXPECT_TRUE(store.weeks(1).empty());
    EXPECT_FALSE(store.week(1, test::kWeek49Of2026));
    // Read-only, nothing is made in the file.
    bool full = false;
    EXPECT_FALSE(store.putIntervals({{1, steadyInterval(0, 1, 230)}}, full, error));
    QualityStore missing;
    EXPECT_FALSE(missing.open((dir_ / "none.db").string(), true, 128u << 20, error));
}

TEST_F(QualityFile, NoRoomWithinTheCapIsToldAsFullAndRoomMadeIsUsed) {
    const std::uint64_t cap = 4u << 20;
    QualityStore store;
    std::string error;
    ASSERT_TRUE(store.open(db_, false, cap, error)) << error;
    sqlite3* other = nullptr;
    ASSERT_NO_FATAL_FAILURE(fillTheCap(other, cap, 3000, 2000));
    ASSERT_EQ(sqlite3_errcode(other), SQLITE_FULL);
    std::vector<std::pair<unsigned, Interval>> batch;
    for (int k = 0; k < 200; ++k) batch.push_back({1, steadyInterval(600 * k, 1, 230)});
    bool full = false;
    EXPECT_FALSE(store.putIntervals(batch, full, error));
    EXPECT_TRUE(full) << error;
    EXPECT_TRUE(store.intervals(1, 0, 1 << 30).empty());  // nothing of the batch
    // The other writer's retention gives pages back: they are used.
    ASSERT_EQ(
        sqlite3_exec(other, "DELETE FROM filler WHERE rowid <= 300", nullptr, nullptr, nullptr),
        SQLITE_OK);
    sqlite3_close(other);
    EXPECT_TRUE(store.putIntervals(batch, full, error)) << error;
    EXPECT_EQ(store.intervals(1, 0, 1 << 30).size(), 200u);
}

TEST_F(QualityFile, WithNoRoomLeftTheOldestTenMinuteValuesGiveWay) {
    const std::uint64_t cap = 4u << 20;
    QualityStore store;
    std::string error;
    ASSERT_TRUE(store.open(db_, false, cap, error)) << error;
    Week w48, w49;
    ASSERT_TRUE(parseWeek("2026-W48", w48) && parseWeek("2026-W49", w49));
    std::vector<std::pair<unsigned, Interval>> old;
    for (std::int64_t t = w48.start; t < w48.end; t += 600)
        old.push_back({1, steadyInterval(t, 10, 230)});
    bool full = false;
    ASSERT_TRUE(store.putIntervals(old, full, error)) << error;
    // The history, held to the same cap, takes every page left and has no
    // more of its own to give.
    sqlite3* other = nullptr;
    ASSERT_NO_FATAL_FAILURE(fillTheCap(other, cap, 1000, 10000));
    sqlite3_close(other);

    const auto r = meterRecord(2300);
    {
        QualityRecorder recorder(store, Nominal{});
        // Two days of W49, a round a minute.
        for (std::int64_t t = w49.start; t <= w49.start + 2 * 86400; t += 60)
            recorder.round(1, t * 1000, r.data(), r.size());
        recorder.flush();
        // A delete that finds no page to spare either leaves the values
        // queued for the recorder's next try, ten seconds on, which gives
        // way again: stored within a few tries, none lost.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (store.intervals(1, w49.start, w49.end).size() < 288u &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(recorder.intervalsNotStored(), 0);
    }
    EXPECT_EQ(store.intervals(1, w49.start, w49.end).size(), 288u);
    const std::size_t kept = store.intervals(1, w48.start, w48.end).size();
    EXPECT_LT(kept, 1008u);
    EXPECT_EQ((1008 - kept) % 144, 0u);  // a day of one meter at a time, oldest first
    EXPECT_EQ(store.firstInterval(1, 0), w48.start + static_cast<std::int64_t>(1008 - kept) * 600);
}

TEST_F(QualityFile, AWeekOfRoundsIsAssessedWhenTheNextWeekBegins) {
    QualityStore store;
    std::string error;
    ASSERT_TRUE(store.open(db_, false, 128u << 20, error)) << error;
    Week w49;
    ASSERT_TRUE(parseWeek("2026-W49", w49));
    // Meter 1: L1 at 254.0 V for 61 of the week's 1008 ten-minute means
    // (6.05 %) from Tuesday 10:00; meter 2 steady. A round a minute.
    const std::int64_t runStart = w49.start + 86400 + 10 * 3600;
    const auto high = meterRecord(2540), steady = meterRecord(2300);
    {
        QualityRecorder recorder(store, Nominal{});
        for (std::int64_t t = w49.start; t < w49.end; t += 60) {
            const bool up = t >= runStart && t < runStart + 61 * 600;
            recorder.round(1, t * 1000, (up ? high : steady).data(), high.size());
            recorder.round(2, t * 1000 + 500, steady.data(), steady.size());
        }
        recorder.flush();
        // The last ten minutes of the week are still open: not assessed yet.
        EXPECT_EQ(store.intervals(1, w49.start, w49.end).size(), 1007u);
        EXPECT_TRUE(store.weeks(1).empty());
        const Json::Value soFar = recorder.weekReport(1, std::nullopt);
        EXPECT_EQ(soFar["week"].asString(), "2026-W49");
        EXPECT_EQ(soFar["complete"].asBool(), false);
        EXPECT_EQ(soFar["ten_minute_values"].asInt(), 1007);
        EXPECT_EQ(recorder.weeks(1)[0]["result"].asString(), "so far");

        // Monday 00:00:30 of the next week closes the last interval of W49.
        for (const std::int64_t after : {30, 630})
            for (unsigned meter : {1u, 2u})
                recorder.round(meter, (w49.end + after) * 1000, steady.data(), steady.size());
        recorder.flush();

        const auto stored = store.week(1, w49.start);
        ASSERT_TRUE(stored);
        EXPECT_EQ(stored->label, "2026-W49");
        EXPECT_FALSE(stored->pass);
        const Json::Value& doc = stored->document;
        EXPECT_EQ(doc["complete"].asBool(), true);
        EXPECT_EQ(doc["ten_minute_values"].asInt(), 1008);
        EXPECT_EQ(doc["result"].asString(), "fail");
        const Json::Value& v95 = doc["criteria"][0];
        EXPECT_EQ(v95["criterion"].asString(), "voltage_95");
        EXPECT_EQ(v95["held"].asInt(), 1008 - 61);
        EXPECT_EQ(v95["share"].asDouble(), 93.94);
        EXPECT_EQ(v95["result"].asString(), "fail");
        EXPECT_EQ(v95["worst"].asDouble(), 254);
        EXPECT_EQ(v95["excursions"][0]["start"].asString(), "2026-12-01T10:00:00");
        EXPECT_EQ(v95["excursions"][0]["seconds"].asInt(), 61 * 600);
        const auto other = store.week(2, w49.start);
        ASSERT_TRUE(other);
        EXPECT_TRUE(other->pass);

        // The stored week is what is answered for it; without a week, the
        // newest values' week so far.
        EXPECT_EQ(recorder.weekReport(1, w49), doc);
        const Json::Value now = recorder.weekReport(1, std::nullopt);
        EXPECT_EQ(now["week"].asString(), "2026-W50");
        EXPECT_EQ(now["complete"].asBool(), false);
        EXPECT_EQ(now["ten_minute_values"].asInt(), 1);
        const Json::Value list = recorder.weeks(1);
        ASSERT_EQ(list.size(), 2u);
        EXPECT_EQ(list[0]["week"].asString(), "2026-W49");
        EXPECT_EQ(list[0]["result"].asString(), "fail");
        EXPECT_EQ(list[1]["week"].asString(), "2026-W50");
        EXPECT_EQ(list[1]["result"].asString(), "so far");
        Week w48;
        ASSERT_TRUE(parseWeek("2026-W48", w48));
        EXPECT_TRUE(recorder.weekReport(1, w48).isNull());
        EXPECT_TRUE(recorder.weekReport(3, std::nullopt).isNull());

        // What the API answers: the week with the meter's weeks beside it.
        Json::Value answer;
        ASSERT_TRUE(recorder.answer(1, "2026-W49", answer, error)) << error;
        EXPECT_EQ(answer["result"].asString(), "fail");
        EXPECT_EQ(answer["weeks"], list);
        ASSERT_TRUE(recorder.answer(1, "2026-W48", answer, error));
        EXPECT_TRUE(answer.isNull());
        EXPECT_FALSE(recorder.answer(1, "2026-W4", answer, error));
        EXPECT_EQ(error, "week: expected a week as 2026-W49, got \"2026-W4\"");
        ASSERT_TRUE(recorder.answer(3, "", answer, error));  // no values yet
        EXPECT_TRUE(answer["week"].isNull());
        EXPECT_EQ(answer["result"].asString(), "no values");
        EXPECT_EQ(answer["weeks"].size(), 0u);
        EXPECT_EQ(answer["criteria"].size(), 0u);
        EXPECT_NE(answer["note"].asString().find("not measured by a Class A instrument"),
                  std::string::npos);
    }
    // After a restart the stored week is not assessed again.
    QualityRecorder again(store, Nominal{230.5, 50, false});
    again.round(1, (w49.end + 1300) * 1000, steady.data(), steady.size());
    again.round(1, (w49.end + 1900) * 1000, steady.data(), steady.size());
    again.flush();
    EXPECT_EQ(store.weeks(1).size(), 1u);
    EXPECT_EQ(store.week(1, w49.start)->document["nominal_v"].asDouble(), 230);
}

TEST_F(QualityFile, AWeekEndedWhileTheHostWasStoppedReadsAsEndedAtTheFirstRoundAfter) {
    QualityStore store;
    std::string error;
    ASSERT_TRUE(store.open(db_, false, 128u << 20, error)) << error;
    Week w49;
    ASSERT_TRUE(parseWeek("2026-W49", w49));
    std::vector<std::pair<unsigned, Interval>> week;
    for (std::int64_t t = w49.start; t < w49.end; t += 600)
        week.push_back({1, steadyInterval(t, 10, 230)});
    bool full = false;
    ASSERT_TRUE(store.putIntervals(week, full, error)) << error;

    QualityRecorder recorder(store, Nominal{});
    EXPECT_EQ(recorder.weekReport(1, w49)["complete"], false);  // nothing heard after it yet
    // Monday, five seconds into the next week: no ten minutes of it have
    // ended, but the week before has.
    const auto r = meterRecord(2300);
    recorder.round(1, (w49.end + 5) * 1000, r.data(), r.size());
    const Json::Value doc = recorder.weekReport(1, w49);
    EXPECT_EQ(doc["complete"], true);
    EXPECT_EQ(doc["ten_minute_values"].asInt(), 1008);
    EXPECT_EQ(doc["result"].asString(), "pass");
    EXPECT_TRUE(recorder.weeks(1)[0]["result"].isNull());  // ended, not yet assessed
}

TEST_F(QualityFile, FiveWeeksOfValuesBeforeTheCurrentOneAndEveryAssessmentAreKept) {
    QualityStore store;
    std::string error;
    ASSERT_TRUE(store.open(db_, false, 128u << 20, error)) << error;
    Week first;
    ASSERT_TRUE(parseWeek("2026-W40", first));
    Week last = first;
    for (int i = 0; i < 8; ++i) last = nextWeek(last);  // 2026-W48
    const auto steady = meterRecord(2300);
    {
        // One round per ten minutes, through eight weeks and into a ninth
        // (the autumn week of 169 hours among them).
        QualityRecorder recorder(store, Nominal{});
        for (std::int64_t t = first.start; t < last.start + 1800; t += 600) {
            recorder.round(1, t * 1000 + 1000, steady.data(), steady.size());
            if ((t - first.start) % (7 * 86400) == 0) recorder.flush();  // a week at a time
        }
        recorder.flush();
        EXPECT_EQ(recorder.intervalsNotStored(), 0);
    }
    const auto weeks = store.weeks(1);
    ASSERT_EQ(weeks.size(), 8u);
    EXPECT_EQ(weeks[0].label, "2026-W40");
    EXPECT_EQ(weeks[7].label, "2026-W47");
    EXPECT_EQ(store.week(1, weeks[3].start)->document["hours"].asInt(), 169);  // 2026-W43
    // Kept: 2026-W43 to W47 whole, and W48 so far; W40 to W42 gone.
    Week keep = last;
    for (int i = 0; i < 5; ++i) keep = previousWeek(keep);
    EXPECT_EQ(keep.label(), "2026-W43");
    EXPECT_EQ(store.firstInterval(1, 0), keep.start);
    EXPECT_EQ(store.intervals(1, keep.start, last.start).size(), 4 * 1008u + 1014u);
}

TEST_F(QualityFile, HistoryAndQualityShareTheFileWithinTheCap) {
    StoreOptions options;
    options.maxBytes = 2u << 20;
    HistoryStore history;
    std::string error;
    ASSERT_TRUE(history.open(db_, false, error, options)) << error;
    QualityStore store;
    ASSERT_TRUE(store.open(db_, false, options.maxBytes, error)) << error;
    Week w49;
    ASSERT_TRUE(parseWeek("2026-W49", w49));
    // A day of rounds each 5 s: far more records than the cap holds, and
    // 144 ten-minute values, all of which must stay.
    std::vector<unsigned char> r = meterRecord(2300);
    std::uint32_t noise = 1;
    {
        QualityRecorder recorder(store, Nominal{});
        for (std::int64_t t = w49.start; t < w49.start + 86400 + 5; t += 5) {
            for (std::size_t i = 300; i < 1000; ++i) {  // currents and the like: noise
                noise = noise * 1103515245u + 12345u;
                r[i] = static_cast<unsigned char>(noise >> 24);
            }
            ASSERT_TRUE(history.save(1, t * 1000, "t", r.data(), r.size(), error));
            recorder.round(1, t * 1000, r.data(), r.size());
            if ((t - w49.start) % 7200 == 0) {
                history.flush();
                recorder.flush();
                ASSERT_LE(bytesOnDisk(), options.maxBytes);
            }
        }
        history.flush();
        recorder.flush();
        EXPECT_EQ(recorder.intervalsNotStored(), 0);
    }
    EXPECT_LE(bytesOnDisk(), options.maxBytes);
    EXPECT_EQ(store.intervals(1, w49.start, w49.end).size(), 144u);
    EXPECT_EQ(history.roundsNotStored(), 0);
}

// A disk full when the host starts: the tables open all the same, read as
// holding nothing, refuse a write as not open (no want of room, for which
// the recorder would give values up), and open at the first write after
// there is room, with what was stored before.
TEST(QualityAtStart, AFullDiskOpensTheTablesAtTheFirstWriteAfterThereIsRoom) {
    ::test::SmallDisk disk;
    if (!disk.mounted()) GTEST_SKIP() << "mounting a tmpfs needs root";
    const std::string path = disk.path("history.db");
    std::string error;
    bool full = false;
    {
        QualityStore before;
        ASSERT_TRUE(before.open(path, false, 1u << 20, error)) << error;
        ASSERT_TRUE(before.putIntervals({{1, steadyInterval(6000, 1, 230)}}, full, error)) << error;
    }
    ASSERT_TRUE(disk.fill());

    QualityStore store;
    ASSERT_TRUE(store.open(path, false, 1u << 20, error)) << error;
    EXPECT_TRUE(store.intervals(1, 0, 7200).empty());
    EXPECT_TRUE(store.meters().empty());
    EXPECT_FALSE(store.putIntervals({{1, steadyInterval(6600, 1, 231)}}, full, error));
    EXPECT_FALSE(full) << error;

    disk.room();
    ASSERT_TRUE(store.putIntervals({{1, steadyInterval(6600, 1, 231)}}, full, error)) << error;
    const auto stored = store.intervals(1, 0, 7200);
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_EQ(stored[0].start, 6000);
    EXPECT_EQ(stored[1].phaseVoltage(0), 231);
}

}  // namespace
}  // namespace vedhost::quality
