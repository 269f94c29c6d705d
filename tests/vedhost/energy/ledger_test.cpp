// The ledger's steps: wraps told from resets and replaced meters by where
// the register was, where it is and what the measured power allows; gaps
// marked estimated. Each row's answer is worked out by hand from the
// register's unit (0.1 kWh a count, 65536 counts a turn).
#include "energy/ledger.h"

#include <gtest/gtest.h>

#include "energy/counters.h"

namespace vedhost::energy {
namespace {

constexpr std::int64_t kT0 = 1'700'000'000'000;  // ms
constexpr std::int64_t kSecond = 1000, kMinute = 60 * kSecond, kHourMs = 60 * kMinute;

struct StepCase {
    const char* name;
    std::uint16_t oldRaw;
    double oldPower;  // W
    std::int64_t elapsedMs;
    std::uint16_t newRaw;
    double newPower;
    StepKind kind;
    std::int64_t counts;
    bool estimated;
};

// Possible advance: ceil(kW x h x 10 counts/kWh x 1.5) + 2 counts of slack.
// 15 kW for 1 s: 0.0417 counts x 1.5 -> 1, + 2 = 3.
// 15 kW for 60 s: 2.5 counts x 1.5 = 3.75 -> 4, + 2 = 6.
// 15 kW for 2 h: 300 counts x 1.5 = 450, + 2 = 452.
// 40 kW for 60 s: 6.67 counts x 1.5 = 10, + 2 = 12.
const StepCase kSteps[] = {
    {"one tick", 100, 15000, kSecond, 101, 15000, StepKind::Advance, 1, false},
    {"no change", 100, 15000, kSecond, 100, 15000, StepKind::Advance, 0, false},
    {"65535 to 0", 65535, 15000, kSecond, 0, 15000, StepKind::Wrap, 1, false},
    {"wrap of 3, the most a second allows", 65534, 15000, kSecond, 1, 15000, StepKind::Wrap, 3,
     false},
    {"wrap of 4 in a second is too far", 65533, 15000, kSecond, 1, 15000, StepKind::NewEpoch, 0,
     false},
    {"wrap of 5 over a minute", 65534, 15000, kMinute, 3, 15000, StepKind::Wrap, 5, false},
    {"wrap of 7 over a minute is too far", 65532, 15000, kMinute, 3, 15000, StepKind::NewEpoch, 0,
     false},
    {"wrap at no power: the slack alone", 65535, 0, kSecond, 1, 0, StepKind::Wrap, 2, false},
    {"the power after the wrap counts", 65535, 0, kMinute, 10, 40000, StepKind::Wrap, 11, false},
    {"the power before the wrap counts", 65535, 40000, kMinute, 10, 0, StepKind::Wrap, 11, false},
    {"a meter swapped to 0.3 mid-range", 40000, 15000, kSecond, 3, 15000, StepKind::NewEpoch, 0,
     false},
    {"a meter swapped to 0.3 near the top", 65000, 15000, kSecond, 3, 15000, StepKind::NewEpoch, 0,
     false},
    {"just below the top quarter", 49151, 15000, 5000 * kHourMs, 0, 15000, StepKind::NewEpoch, 0,
     true},
    {"at the top quarter", 49152, 15000, 5000 * kHourMs, 0, 15000, StepKind::Wrap, 16384, true},
    {"new value not in the bottom quarter", 60000, 15000, 5000 * kHourMs, 16384, 15000,
     StepKind::NewEpoch, 0, true},
    {"a reset to 0 at no power", 52000, 0, kSecond, 0, 0, StepKind::NewEpoch, 0, false},
    {"a wrap across a two-hour gap", 65400, 15000, 2 * kHourMs, 164, 15000, StepKind::Wrap, 300,
     true},
    {"three hours offline going up", 1000, 15000, 3 * kHourMs, 1450, 15000, StepKind::Advance, 450,
     true},
    {"120 s apart is no gap", 100, 15000, 120 * kSecond, 101, 15000, StepKind::Advance, 1, false},
    {"120.001 s apart is", 100, 15000, 120 * kSecond + 1, 101, 15000, StepKind::Advance, 1, true},
};

TEST(EnergyLedger, StepsAsWorkedOutByHand) {
    const LedgerRules rules;
    for (const StepCase& c : kSteps) {
        SCOPED_TRACE(c.name);
        CounterState s;
        advance(s, c.oldRaw, c.oldPower, kT0, rules);
        const std::int64_t before = s.total;
        const Step step = advance(s, c.newRaw, c.newPower, kT0 + c.elapsedMs, rules);
        EXPECT_EQ(step.kind, c.kind);
        EXPECT_EQ(step.counts, c.counts);
        EXPECT_EQ(step.estimated, c.estimated);
        EXPECT_EQ(step.oldRaw, c.oldRaw);
        EXPECT_EQ(step.newRaw, c.newRaw);
        EXPECT_EQ(step.fromMs, kT0);
        EXPECT_EQ(step.toMs, kT0 + c.elapsedMs);
        // The total never jumps: it moves by what the step added, and a new
        // epoch is counted.
        EXPECT_EQ(s.total, before + c.counts);
        EXPECT_EQ(s.epoch, c.kind == StepKind::NewEpoch ? 1u : 0u);
        EXPECT_EQ(s.raw, c.newRaw);
    }
}

TEST(EnergyLedger, TheTotalStartsAtTheRegisterAndCountsEveryTurn) {
    // 15 kW, a reading a second: the register climbs from 65530 through two
    // wraps, then the meter is replaced by one reading 0.3.
    const LedgerRules rules;
    CounterState s;
    std::int64_t t = kT0;
    const Step first = advance(s, 65530, 15000, t, rules);
    EXPECT_EQ(first.kind, StepKind::First);
    EXPECT_EQ(first.counts, 0);
    EXPECT_EQ(s.total, 65530);
    std::uint16_t raw = 65530;
    int wraps = 0;
    for (int i = 0; i < 2 * 65536 - 10; ++i) {
        t += kSecond;
        raw = static_cast<std::uint16_t>(raw + 1);
        wraps += advance(s, raw, 15000, t, rules).kind == StepKind::Wrap;
    }
    EXPECT_EQ(wraps, 2);
    // 65530 + 131062 counts: 19659.2 kWh, the register at 65520 again.
    EXPECT_EQ(s.total, 196592);
    EXPECT_EQ(raw, 65520);
    const std::int64_t beforeSwap = s.total;
    const Step swap = advance(s, 3, 15000, t + kSecond, rules);
    EXPECT_EQ(swap.kind, StepKind::NewEpoch);
    EXPECT_EQ(s.total, beforeSwap);
    EXPECT_EQ(advance(s, 4, 15000, t + 2 * kSecond, rules).counts, 1);
    EXPECT_EQ(s.total, beforeSwap + 1);
    EXPECT_EQ(s.epoch, 1u);
}

TEST(EnergyLedger, AClockSetBackTakesReadingsAsAtTheLatestTime) {
    const LedgerRules rules;
    CounterState s;
    advance(s, 100, 15000, kT0, rules);
    const Step back = advance(s, 101, 15000, kT0 - 3600 * kSecond, rules);
    EXPECT_EQ(back.kind, StepKind::Advance);
    EXPECT_EQ(back.counts, 1);
    EXPECT_EQ(back.fromMs, kT0);
    EXPECT_EQ(back.toMs, kT0);
    EXPECT_FALSE(back.estimated);
    EXPECT_EQ(s.atMs, kT0);
    // With no time passed, a wrap has the slack alone.
    s.raw = 65535;
    EXPECT_EQ(advance(s, 1, 15000, kT0 - 1000, rules).kind, StepKind::Wrap);
    s.raw = 65535;
    EXPECT_EQ(advance(s, 2, 15000, kT0 - 1000, rules).kind, StepKind::NewEpoch);
}

TEST(EnergyCounters, ReadFromARecordAndFromTheReportAlike) {
    std::vector<unsigned char> record(1009, 0);
    auto put = [&](std::size_t offset, std::uint16_t v) {
        record[offset] = static_cast<unsigned char>(v & 0xff);
        record[offset + 1] = static_cast<unsigned char>(v >> 8);
    };
    // Registers 500..503 sit at 158..164, 15 and 19 at 34 and 42.
    put(158, 65535);
    put(160, 12);
    put(162, 4567);
    put(164, 3);
    put(34, 15234);
    put(42, 4321);
    Reading r;
    ASSERT_TRUE(readingFromRecord(record.data(), record.size(), r));
    const std::uint16_t raw[] = {65535, 12, 4567, 3};
    const double power[] = {15234, 15234, 4321, 4321};
    for (std::size_t i = 0; i < kCounters; ++i) {
        EXPECT_EQ(r.raw[i], raw[i]) << kCounterInfo[i].id;
        EXPECT_EQ(r.power[i], power[i]) << kCounterInfo[i].id;
    }
    EXPECT_EQ(r.activePowerW, 15234);
    EXPECT_FALSE(readingFromRecord(record.data(), 1008, r));

    // The report's single-precision tenths give the same counts back.
    Json::Value report(Json::objectValue);
    report["正向有功电能"] = static_cast<double>(65535.0f / 10.0f);
    report["反向有功电能"] = static_cast<double>(12.0f / 10.0f);
    report["正向无功电能"] = static_cast<double>(4567.0f / 10.0f);
    report["反向无功电能"] = static_cast<double>(3.0f / 10.0f);
    report["总有功功率"] = 15234.0;
    report["总无功功率"] = 4321.0;
    Reading fromReport;
    ASSERT_TRUE(readingFromReport(report, fromReport));
    for (std::size_t i = 0; i < kCounters; ++i) {
        EXPECT_EQ(fromReport.raw[i], raw[i]) << kCounterInfo[i].id;
        EXPECT_EQ(fromReport.power[i], power[i]) << kCounterInfo[i].id;
    }
    report.removeMember("反向无功电能");
    EXPECT_FALSE(readingFromReport(report, fromReport));
}

}  // namespace
}  // namespace vedhost::energy
