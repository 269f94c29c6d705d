// The supply-quality values: the limits' table against EN 50160's figures,
// the unbalance against values worked out by hand and from the symmetrical
// components' definition, the ten-minute aggregation, the round's values read
// through the presentation's scales, and the local weeks.
#include "quality/quality_values.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <optional>

#include "common/json_file.h"
#include "quality/quality_assessment.h"
#include "quality/quality_limits.h"
#include "quality/quality_sample.h"
#include "quality/quality_week.h"
#include "quality_support.h"

namespace vedhost::quality {
namespace {

using test::LocalZone;
using test::RecordImage;

// EN 50160, low-voltage supply, as printed: limits for 230 V and 50 Hz in
// the quantity's unit, and the share of the week that must hold.
struct LimitRow {
    const char* id;
    double low, high;  // low NaN: a maximum only
    int share;         // hundredths of a per cent
};
constexpr double kMaxOnly = std::numeric_limits<double>::quiet_NaN();
const LimitRow kPrintedLimits[] = {
    {"voltage_95", 207, 253, 9500},       // 230 V ±10 %
    {"voltage_all", 195.5, 253, 10000},   // 230 V +10 % / -15 %
    {"frequency_995", 49.5, 50.5, 9950},  // 50 Hz ±1 %
    {"frequency_all", 47, 52, 10000},     // 50 Hz +4 % / -6 %
    {"unbalance", kMaxOnly, 2, 9500},    {"thd", kMaxOnly, 8, 9500},   {"h2", kMaxOnly, 2, 9500},
    {"h3", kMaxOnly, 5, 9500},           {"h4", kMaxOnly, 1, 9500},    {"h5", kMaxOnly, 6, 9500},
    {"h6", kMaxOnly, 0.5, 9500},         {"h7", kMaxOnly, 5, 9500},    {"h8", kMaxOnly, 0.5, 9500},
    {"h9", kMaxOnly, 1.5, 9500},         {"h10", kMaxOnly, 0.5, 9500}, {"h11", kMaxOnly, 3.5, 9500},
    {"h12", kMaxOnly, 0.5, 9500},        {"h13", kMaxOnly, 3, 9500},   {"h14", kMaxOnly, 0.5, 9500},
    {"h15", kMaxOnly, 0.5, 9500},        {"h16", kMaxOnly, 0.5, 9500}, {"h17", kMaxOnly, 2, 9500},
    {"h18", kMaxOnly, 0.5, 9500},        {"h19", kMaxOnly, 1.5, 9500}, {"h20", kMaxOnly, 0.5, 9500},
    {"h21", kMaxOnly, 0.5, 9500},        {"h22", kMaxOnly, 0.5, 9500}, {"h23", kMaxOnly, 1.5, 9500},
    {"h24", kMaxOnly, 0.5, 9500},        {"h25", kMaxOnly, 1.5, 9500},
};

TEST(QualityLimits, EveryCriterionHasThePrintedLimitAndShare) {
    ASSERT_EQ(kCriterionCount, std::size(kPrintedLimits));
    const Nominal nominal;  // 230 V, 50 Hz
    for (const LimitRow& row : kPrintedLimits) {
        SCOPED_TRACE(row.id);
        const Criterion* c = findCriterion(row.id);
        ASSERT_NE(c, nullptr);
        double low, high;
        limits(*c, nominal, low, high);
        EXPECT_EQ(high, row.high);
        if (std::isnan(row.low))
            EXPECT_TRUE(std::isinf(low) && low < 0);
        else
            EXPECT_EQ(low, row.low);
        EXPECT_EQ(c->share, row.share);
    }
    // Nothing above the 25th order is judged: the table has no limit there.
    EXPECT_EQ(findCriterion("h26"), nullptr);
    EXPECT_EQ(findCriterion("h31"), nullptr);
}

TEST(QualityLimits, TextsSayTheLimitAndTheShare) {
    const struct {
        const char* id;
        const char* text;
    } rows[] = {
        {"voltage_95", "voltage within ±10 % of nominal for 95 % of the ten-minute means"},
        {"voltage_all", "voltage within +10 % / -15 % of nominal for all ten-minute means"},
        {"frequency_995", "frequency within ±1 % of nominal for 99.5 % of the ten-second means"},
        {"unbalance", "unbalance at most 2 % for 95 % of the ten-minute means"},
        {"h2", "2nd harmonic at most 2 % for 95 % of the ten-minute means"},
        {"h11", "11th harmonic at most 3.5 % for 95 % of the ten-minute means"},
        {"h23", "23rd harmonic at most 1.5 % for 95 % of the ten-minute means"},
    };
    for (const auto& row : rows) EXPECT_EQ(criterionText(*findCriterion(row.id)), row.text);
}

TEST(QualityUnbalance, WorkedOutByHand) {
    // Uab = Ubc = 400 V, Uca = 380 V:
    //   squares 160000 + 160000 + 144400 = 464400
    //   fourth powers 2.56e10 + 2.56e10 + 2.085136e10 = 7.205136e10
    //   b = 7.205136e10 / 464400^2 = 0.33408560...
    //   3 - 6 b = 0.99548638..., its root 0.99774064...
    //   u2 = sqrt(0.00225936 / 1.99774064) = 3.36297 %
    EXPECT_NEAR(unbalance(400, 400, 380), 3.36297, 1e-5);
    // A balanced supply has none, at any voltage.
    EXPECT_EQ(unbalance(400, 400, 400), 0);
    EXPECT_EQ(unbalance(0.1, 0.1, 0.1), 0);
    // One line voltage gone with the other two equal: b = 1/2, u2 = 100 %.
    EXPECT_NEAR(unbalance(400, 400, 0), 100, 1e-9);
    // No triangle, no voltage, a voltage missing: no value.
    EXPECT_TRUE(std::isnan(unbalance(400, 100, 100)));
    EXPECT_TRUE(std::isnan(unbalance(0, 0, 0)));
    EXPECT_TRUE(std::isnan(unbalance(400, kNoValue, 400)));
}

TEST(QualityUnbalance, MatchesTheNegativeSequenceOfPhasorsBuiltFromIt) {
    // Phase voltages made from a positive sequence of 230 V and a negative
    // sequence of a chosen share (a zero sequence does not reach the line
    // voltages): the line voltages' magnitudes alone must give that share.
    const std::complex<double> a = std::polar(1.0, 2 * M_PI / 3);
    for (double share : {0.0, 0.005, 0.02, 0.05, 0.2}) {
        for (double angle : {0.0, 0.5, 2.0}) {
            SCOPED_TRACE(share);
            const std::complex<double> v1 = 230, v2 = std::polar(230 * share, angle);
            const std::complex<double> va = v1 + v2, vb = v1 * a * a + v2 * a,
                                       vc = v1 * a + v2 * a * a;
            EXPECT_NEAR(unbalance(std::abs(va - vb), std::abs(vb - vc), std::abs(vc - va)),
                        100 * share, 1e-6);
        }
    }
}

TEST(QualityIntervals, RootMeanSquareOfTheRoundsAndTenSecondFrequencies) {
    IntervalAccumulator acc;
    Sample s = test::steadySample(6000);  // 6000 s is on a ten-minute boundary
    s.phaseVoltage[0] = 230;
    s.frequency = 49.9;
    EXPECT_FALSE(acc.add(s));
    s.unixMs = 6005'000;  // the same ten seconds
    s.phaseVoltage[0] = 240;
    s.frequency = 50.1;
    EXPECT_FALSE(acc.add(s));
    s.unixMs = 6599'999;           // the last ten seconds of the interval
    s.phaseVoltage[0] = kNoValue;  // this round gave no voltage
    s.frequency = 50.2;
    EXPECT_FALSE(acc.add(s));
    s.unixMs = 6600'000;  // opens the next: the first is closed
    const auto closed = acc.add(s);
    ASSERT_TRUE(closed);
    EXPECT_EQ(closed->start, 6000);
    EXPECT_EQ(closed->rounds, 3);
    // sqrt((230^2 + 240^2) / 2) = sqrt(55250) = 235.0532; the missing value
    // is left out, not taken as zero.
    EXPECT_FLOAT_EQ(closed->phaseVoltage(0), 235.05318f);
    EXPECT_FLOAT_EQ(closed->phaseVoltage(1), 230);
    EXPECT_FLOAT_EQ(closed->lineVoltage(2), 400);
    EXPECT_FLOAT_EQ(closed->unbalance(), 0);
    EXPECT_FLOAT_EQ(closed->frequency(0), 50.0f);   // the mean of 49.9 and 50.1
    EXPECT_TRUE(std::isnan(closed->frequency(1)));  // no round in it
    EXPECT_FLOAT_EQ(closed->frequency(59), 50.2f);
    EXPECT_FLOAT_EQ(closed->harmonic(2, 31), 0.2f);
}

TEST(QualityIntervals, AClockSteppedBackIsLeftOutAndAGapClosesTheInterval) {
    IntervalAccumulator acc;
    EXPECT_FALSE(acc.add(test::steadySample(1200)));
    // Two hours later: the interval at 1200 is closed, nothing in between.
    auto closed = acc.add(test::steadySample(1200 + 7200 + 30));
    ASSERT_TRUE(closed);
    EXPECT_EQ(closed->start, 1200);
    EXPECT_EQ(acc.peek()->start, 8400);
    // A round before the open interval is not added to it.
    EXPECT_FALSE(acc.add(test::steadySample(8399)));
    EXPECT_EQ(acc.outOfOrder(), 1);
    EXPECT_EQ(acc.peek()->rounds, 1);
}

TEST(QualityIntervals, RegistersAndValuesMakeTheSameMeans) {
    // Rounds whose registers differ from round to round, summed as whole
    // registers (the recorder's way), as values, and each second round each
    // way; and with the factors changed half-way (another reader).
    Json::Value object;
    std::string error;
    ASSERT_TRUE(parseJson(R"({"phase_voltage_a": {"scale": 0.01, "unit": "V"}})", object, error));
    Presentation finer;
    ASSERT_TRUE(finer.parse(object, error)) << error;
    SampleReader builtIn, other;
    ASSERT_TRUE(other.configure(finer, error)) << error;
    IntervalAccumulator registers, values, mixed, changed;
    std::optional<Interval> a, b, c, d;
    for (int k = 0; k <= 60; ++k) {
        RecordImage r;
        r.set("phase_voltage_a", 2250 + 7 * k).set("line_voltage_ab", 3990 + k % 13);
        r.set("line_voltage_bc", 4010).set("line_voltage_ca", 3985 - k % 5);
        r.set("frequency", 4990 + k % 21).set("voltage_thd_b", 150 + k).set("voltage_h5_c", 3 * k);
        const std::int64_t ms = 1200'000 + k * 10'000;  // the last round opens the next interval
        RawRound raw;
        raw.unixMs = ms;
        ASSERT_TRUE(builtIn.readRaw(r.bytes.data(), r.bytes.size(), raw));
        const Sample sample = builtIn.read(r.bytes.data(), r.bytes.size(), ms);
        a = registers.add(raw, builtIn.scales());
        b = values.add(sample);
        c = k % 2 ? mixed.add(raw, builtIn.scales()) : mixed.add(sample);
        const SampleReader& half = k < 30 ? builtIn : other;
        RawRound halfRaw;
        halfRaw.unixMs = ms;
        ASSERT_TRUE(half.readRaw(r.bytes.data(), r.bytes.size(), halfRaw));
        d = changed.add(halfRaw, half.scales());
    }
    ASSERT_TRUE(a && b && c && d);
    EXPECT_EQ(a->rounds, 60);
    for (int i = 0; i < Interval::kCount; ++i) {
        SCOPED_TRACE(i);
        if (std::isnan(b->values[i])) {
            EXPECT_TRUE(std::isnan(a->values[i]) && std::isnan(c->values[i]));
            continue;
        }
        EXPECT_FLOAT_EQ(a->values[i], b->values[i]);
        EXPECT_FLOAT_EQ(c->values[i], b->values[i]);
        if (i != Interval::kPhaseVoltage) {
            EXPECT_FLOAT_EQ(d->values[i], b->values[i]);
        }
    }
    // L1 a tenth as large for the second half: by hand from the registers,
    // sqrt((sum of (0.1 v)^2 over k < 30 + sum of (0.01 v)^2 over k >= 30) / 60).
    double squares = 0;
    for (int k = 0; k < 60; ++k) {
        const double v = (2250 + 7 * k) * (k < 30 ? 0.1 : 0.01);
        squares += v * v;
    }
    EXPECT_FLOAT_EQ(d->phaseVoltage(0), static_cast<float>(std::sqrt(squares / 60)));
    // A record that is not whole has no registers to give.
    RawRound none;
    EXPECT_FALSE(builtIn.readRaw(nullptr, 0, none));
}

TEST(QualitySample, RawRegistersThroughTheBuiltInScales) {
    RecordImage r;
    r.set("phase_voltage_a", 2531).set("phase_voltage_b", 2300).set("phase_voltage_c", 65535);
    r.set("line_voltage_ab", 4000).set("frequency", 5001).set("voltage_thd_a", 312);
    r.set("voltage_h5_a", 600).set("voltage_h31_c", 7);
    const Sample s = SampleReader().read(r.bytes.data(), r.bytes.size(), 42);
    EXPECT_EQ(s.unixMs, 42);
    EXPECT_EQ(s.phaseVoltage[0], 253.1);  // tenths of a volt, as written
    EXPECT_EQ(s.phaseVoltage[1], 230);
    EXPECT_EQ(s.phaseVoltage[2], 6553.5);
    EXPECT_EQ(s.lineVoltage[0], 400);
    EXPECT_EQ(s.frequency, 50.01);  // hundredths of a hertz
    EXPECT_EQ(s.thd[0], 3.12);      // hundredths of a per cent
    // A harmonic has no style of its own: its phase's THD's unit.
    EXPECT_EQ(s.harmonic[0][5 - kFirstOrder], 6);
    EXPECT_EQ(s.harmonic[2][31 - kFirstOrder], 0.07);
    // Anything but a whole record gives no values.
    const Sample none = SampleReader().read(r.bytes.data(), 1008, 42);
    EXPECT_TRUE(std::isnan(none.phaseVoltage[0]) && std::isnan(none.frequency));
}

TEST(QualitySample, TheUsersScalesWhenTheyNameTheUnitAndARefusalWhenTheyNameAnother) {
    const struct {
        const char* presentation;
        double va, h5a;
        const char* error;  // empty: accepted
    } rows[] = {
        // A style in volts is the user's.
        {R"({"phase_voltage_a": {"scale": 0.01, "unit": "V"}})", 25.31, 6, ""},
        // A label alone keeps the meter's scale.
        {R"({"phase_voltage_a": {"label": "L1"}})", 253.1, 6, ""},
        // A harmonic follows its phase's THD, the user's where given.
        {R"({"voltage_thd_a": {"scale": 0.1, "unit": "%"}})", 253.1, 60, ""},
        {R"({"voltage_h5_a": {"scale": 0.001, "unit": "%"}})", 253.1, 0.6, ""},
        {R"({"phase_voltage_a": {"scale": 0.0001, "unit": "kV"}})", 0, 0,
         "quality: the presentation shows phase_voltage_a in \"kV\"; the supply is judged in V"},
        {R"({"frequency": {"scale": 10, "unit": "mHz"}})", 0, 0,
         "quality: the presentation shows frequency in \"mHz\"; the supply is judged in Hz"},
    };
    RecordImage r;
    r.set("phase_voltage_a", 2531).set("voltage_h5_a", 600);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.presentation);
        Json::Value object;
        std::string error;
        ASSERT_TRUE(parseJson(row.presentation, object, error)) << error;
        Presentation p;
        ASSERT_TRUE(p.parse(object, error)) << error;
        SampleReader reader;
        const bool ok = reader.configure(p, error);
        EXPECT_EQ(ok, *row.error == '\0');
        if (!ok) {
            EXPECT_EQ(error, row.error);
            continue;
        }
        const Sample s = reader.read(r.bytes.data(), r.bytes.size(), 0);
        EXPECT_DOUBLE_EQ(s.phaseVoltage[0], row.va);
        EXPECT_DOUBLE_EQ(s.harmonic[0][5 - kFirstOrder], row.h5a);
    }
}

TEST(QualityWeeks, IsoNamesAndLocalMondays) {
    LocalZone zone(test::kCentralEurope);
    const struct {
        const char* label;
        std::int64_t start;  // Monday 00:00 CET/CEST, by hand
        std::int64_t hours;
    } rows[] = {
        {"2026-W49", test::kWeek49Of2026, 168},
        // The last Sunday of March: the clocks skip an hour.
        {"2026-W13", test::kMarchWeekOf2026, 167},
        // The last Sunday of October: an hour twice.
        {"2026-W43", test::kOctoberWeekOf2026, 169},
        // 2026 begins on a Thursday: its first week starts in 2025, and it
        // has a 53rd (Monday 28 December).
        {"2026-W01", 1766962800, 168},
        {"2026-W53", 1798412400, 168},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        Week w;
        ASSERT_TRUE(parseWeek(row.label, w));
        EXPECT_EQ(w.start, row.start);
        EXPECT_EQ(w.hours(), row.hours);
        EXPECT_EQ(w.label(), row.label);
        // Every moment of the week is in it; the next second is not.
        EXPECT_EQ(weekOf(w.start).start, w.start);
        EXPECT_EQ(weekOf(w.end - 1).start, w.start);
        EXPECT_EQ(weekOf(w.start - 1).end, w.start);
        EXPECT_EQ(nextWeek(w).start, w.end);
        EXPECT_EQ(previousWeek(nextWeek(w)).start, w.start);
    }
    for (const char* bad : {"2027-W53", "2026-W00", "2026-W54", "2026-49", "2026-W4", "2026-W4x",
                            "x026-W49", "2026-W49 ", ""}) {
        Week w;
        EXPECT_FALSE(parseWeek(bad, w)) << bad;
    }
}

TEST(QualityWeeks, AMondayWhoseMidnightIsSkippedStartsAtItsFirstMoment) {
    // Summer time begins on the last Monday of March at 00:00: the clocks
    // go from Sunday 23:59:59 to Monday 01:00:00.
    LocalZone zone("XST-2XDT,M3.5.1/0,M10.5.0/3");
    Week w;
    ASSERT_TRUE(parseWeek("2026-W14", w));  // Monday 30 March 2026
    // 30 March 2026 00:00 UTC is 1774828800; 00:00 at UTC+2 is two hours
    // earlier, the moment the clocks jump.
    EXPECT_EQ(w.start, 1774828800 - 7200);
    EXPECT_EQ(w.hours(), 167);
    EXPECT_EQ(previousWeek(w).hours(), 168);
}

}  // namespace
}  // namespace vedhost::quality
