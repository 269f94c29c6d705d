// The time the history keeps to (history_clock.h), reading by reading, and
// the store kept to it through steps of a wall clock driven by hand beside a
// monotonic clock driven by hand.
#include "history/history_clock.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "history/history_store.h"
#include "ved96/record.h"

namespace vedhost {
namespace {

constexpr std::int64_t kS = 1000;
constexpr std::int64_t kYear = 365 * 86400 * kS;
constexpr std::int64_t kBase = 1796000000 * kS;   // December 2026
constexpr std::int64_t kBuilt = 1790000000 * kS;  // a release built before that

using Change = HistoryClock::Change;

// Readings one after another: the wall clock's distance from the monotonic
// clock's count (0: it agrees with the first reading), the monotonic time,
// and what the history makes of it, worked out by hand from the rule: the
// wall time while the two agree within 5 s, the first reading's offset
// carried on while the wall clock is away, the wall clock once it has held
// its step for more than an hour; nothing before the release was built.
struct Reading {
    std::int64_t wallOff, mono;
    bool keep;
    std::int64_t stampOff;  // the stamp's distance from kBase + mono
    Change change;
};
struct Case {
    const char* name;
    std::vector<Reading> readings;
};

const Case kCases[] = {
    {"agreeing clocks are the wall clock",
     {{0, 0, true, 0, Change::None}, {0, 10 * kS, true, 0, Change::None}}},
    {"a slew of 3 s a reading is followed, however far it goes",
     {{0, 0, true, 0, Change::None},
      {3 * kS, 10 * kS, true, 3 * kS, Change::None},
      {6 * kS, 20 * kS, true, 6 * kS, Change::None},
      {9 * kS, 30 * kS, true, 9 * kS, Change::None},
      {12 * kS, 40 * kS, true, 12 * kS, Change::None}}},
    {"5 s is a slew, 6 s a step",
     {{0, 0, true, 0, Change::None},
      {5 * kS, 10 * kS, true, 5 * kS, Change::None},
      {11 * kS, 20 * kS, true, 5 * kS, Change::Away}}},
    {"20 years ahead for 15 s and back",
     {{0, 0, true, 0, Change::None},
      {20 * kYear, 10 * kS, true, 0, Change::Away},
      {20 * kYear, 25 * kS, true, 0, Change::None},
      {0, 26 * kS, true, 0, Change::Back},
      {0, 27 * kS, true, 0, Change::None}}},
    {"20 years ahead for exactly an hour and back",
     {{0, 0, true, 0, Change::None},
      {20 * kYear, 10 * kS, true, 0, Change::Away},
      {20 * kYear, 3610 * kS, true, 0, Change::None},
      {0, 3611 * kS, true, 0, Change::Back}}},
    {"a day back, held past an hour, is followed",
     {{0, 0, true, 0, Change::None},
      {-86400 * kS, 10 * kS, true, 0, Change::Away},
      {-86400 * kS, 3610 * kS, true, 0, Change::None},
      {-86400 * kS, 3611 * kS, true, -86400 * kS, Change::Followed},
      {-86400 * kS, 3612 * kS, true, -86400 * kS, Change::None}}},
    {"a step that wanders is timed from its latest place",
     {{0, 0, true, 0, Change::None},
      {kYear, 10 * kS, true, 0, Change::Away},
      {2 * kYear, 3000 * kS, true, 0, Change::None},
      {2 * kYear, 3611 * kS, true, 0, Change::None},
      {2 * kYear, 6601 * kS, true, 2 * kYear, Change::Followed}}},
    {"a clock not set keeps nothing until it is set",
     {{kBuilt - kBase - 100 * kS, 0, false, 0, Change::None},
      {kBuilt - kBase - 100 * kS, 40 * kS, false, 0, Change::None},
      {0, 41 * kS, true, 0, Change::Set},
      {0, 42 * kS, true, 0, Change::None}}},
    {"a set clock falling back to 1970 is carried on, never followed",
     {{0, 0, true, 0, Change::None},
      {-kBase, 10 * kS, true, 0, Change::Away},
      {-kBase, 7300 * kS, true, 0, Change::None},
      {0, 7301 * kS, true, 0, Change::Back}}},
};

TEST(HistoryClock, StampsReadingByReading) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        HistoryClock clock(kBuilt);
        for (std::size_t i = 0; i < c.readings.size(); ++i) {
            const Reading& r = c.readings[i];
            SCOPED_TRACE("reading " + std::to_string(i));
            const auto stamp = clock.stamp({kBase + r.mono + r.wallOff, r.mono});
            EXPECT_EQ(stamp.keep, r.keep);
            if (r.keep) {
                EXPECT_EQ(stamp.ms - (kBase + r.mono), r.stampOff);
                EXPECT_EQ(stamp.borne, r.stampOff != r.wallOff);
            }
            EXPECT_EQ(static_cast<int>(clock.lastChange()), static_cast<int>(r.change));
        }
    }
}

TEST(HistoryClock, SettledAnHourAfterItsTimeWasTaken) {
    HistoryClock clock(kBuilt);
    EXPECT_FALSE(clock.settled(0));
    clock.stamp({kBase, 0});
    EXPECT_FALSE(clock.settled(3599 * kS));
    EXPECT_TRUE(clock.settled(3600 * kS));
    // A step held and followed is a new time: an hour again before it trims.
    clock.stamp({kBase + kYear + 3700 * kS, 3700 * kS});
    clock.stamp({kBase + kYear + 7302 * kS, 7302 * kS});
    ASSERT_EQ(static_cast<int>(clock.lastChange()), static_cast<int>(Change::Followed));
    EXPECT_FALSE(clock.settled(7303 * kS));
    EXPECT_TRUE(clock.settled(7302 * kS + 3600 * kS));
}

// ---- The store kept to the monotonic clock ---------------------------------------

std::vector<unsigned char> record(std::uint16_t voltage) {
    ved96_Data_t data{};
    data.data_id = 1;
    data.phase_voltage_a = voltage;
    std::vector<unsigned char> out(sizeof data);
    std::memcpy(out.data(), &data, sizeof data);
    return out;
}

// One meter saving a round every second of a monotonic clock the test
// drives; its wall clock is that plus whatever step the test sets.
class SteppedClock : public ::testing::Test {
  protected:
    void SetUp() override {
        char name[] = "/tmp/vedhost-clock-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir_ = name;
        StoreOptions options;
        options.commitSeconds = 0.01;
        // A tier of ten seconds, kept an hour, and one of a minute.
        options.tiers = {{"10s", 10, 3600}, {"1m", 60, 86400}};
        options.monotonicMs = [this] { return mono_; };
        options.earliestMs = kBuilt;
        std::string error;
        ASSERT_TRUE(store_.open(dir_ + "/history.db", false, error, options)) << error;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    // `seconds` rounds, one a second, with the wall clock `step` ms off.
    void rounds(int seconds, std::int64_t step = 0) {
        for (int i = 0; i < seconds; ++i) {
            mono_ += kS;
            const std::int64_t wall = kBase + mono_ + step;
            const auto r = record(static_cast<std::uint16_t>(2300 + mono_ / kS % 7));
            std::string error;
            ASSERT_TRUE(store_.save(1, wall, "t", r.data(), r.size(), error)) << error;
        }
        store_.flush();
    }
    std::set<std::int64_t> ids() {
        std::set<std::int64_t> out;
        for (const HistoryRow& row : store_.list(1)) out.insert(row.id);
        return out;
    }
    std::int64_t newestTier(const char* tier) {
        const auto rows = store_.consolidated(tier, 1);
        return rows.empty() ? 0 : rows.back().start;
    }

    std::string dir_;
    std::int64_t mono_ = 0;
    HistoryStore store_;
};

TEST_F(SteppedClock, TwentyYearsAheadForAQuarterOfAMinuteLosesAndSkipsNothing) {
    rounds(120);
    const auto before = ids();
    const auto tenBefore = store_.consolidated("10s", 1).size();
    ASSERT_GE(tenBefore, 10u);
    rounds(15, 20 * kYear);
    rounds(30);
    const auto after = store_.list(1);
    // Every row is there, none stamped in the future, in order.
    for (std::int64_t id : before) EXPECT_EQ(ids().count(id), 1u) << id;
    EXPECT_EQ(after.size(), 165u);
    for (std::size_t i = 0; i < after.size(); ++i) {
        EXPECT_LT(after[i].unixMs, kBase + 200 * kS) << after[i].time;
        if (i > 0) {
            EXPECT_GT(after[i].unixMs, after[i - 1].unixMs);
        }
    }
    // The tiers went on: what was made stays, and the steps since are made
    // within one step of the newest round.
    EXPECT_GE(store_.consolidated("10s", 1).size(), tenBefore + 4);
    EXPECT_GE(newestTier("10s"), (kBase + mono_) / kS - 20);
    EXPECT_EQ(newestTier("1m"), (kBase + 120 * kS) / kS / 60 * 60);
}

TEST_F(SteppedClock, ADayBackGoesOnStoringAndConsolidatingAndIsFollowedAfterAnHour) {
    rounds(60);
    const std::size_t tierRows = store_.consolidated("10s", 1).size();
    rounds(60, -86400 * kS);
    EXPECT_EQ(store_.list(1).size(), 120u);
    EXPECT_GE(store_.consolidated("10s", 1).size(), tierRows + 5);
    // Held for more than an hour: the rows follow the wall clock back, and
    // the steps there are made too.
    rounds(3600, -86400 * kS);
    rounds(30, -86400 * kS);
    const auto rows = store_.list(1);
    EXPECT_EQ(rows.size(), 3750u);
    EXPECT_EQ(rows.back().unixMs, kBase + mono_ - 86400 * kS);
    EXPECT_GE(newestTier("10s"), (kBase + mono_ - 86400 * kS) / kS - 20);
    // Nothing of before the step was trimmed for being a day "ahead".
    EXPECT_EQ(rows.front().unixMs, kBase + kS);
}

TEST_F(SteppedClock, AClockNotSetStoresNothingUntilItIsSet) {
    mono_ = 0;
    rounds(40, kBuilt - kBase - 10 * 86400 * kS);  // ten days before the build
    EXPECT_TRUE(store_.list(1).empty());
    EXPECT_EQ(store_.roundsNotStored(), 40);
    rounds(20);
    const auto rows = store_.list(1);
    ASSERT_EQ(rows.size(), 20u);
    EXPECT_EQ(rows.front().unixMs, kBase + 41 * kS);
    const StoreHealth health = store_.health();
    EXPECT_EQ(health.stored, 20u);
    EXPECT_EQ(health.notStored, 40u);
    EXPECT_TRUE(health.storing);
}

}  // namespace
}  // namespace vedhost
