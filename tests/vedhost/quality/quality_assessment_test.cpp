// A week of synthetic rounds, aggregated and judged: every expected share,
// worst value and excursion below is counted by hand from how the week was
// made (a week of 168 hours has 1008 ten-minute means and 60480 ten-second
// ones; 167 and 169 hours have 1002 and 1014).
#include "quality/quality_assessment.h"

#include <gtest/gtest.h>

#include <sstream>

#include "quality/quality_report.h"
#include "quality_support.h"

namespace vedhost::quality {
namespace {

using test::inDailyRuns;
using test::LocalZone;
using test::weekOfRounds;

const Result& resultOf(const Assessment& a, const char* id, int phase) {
    for (const Result& r : a.results)
        if (std::string(r.criterion->id) == id && r.phase == phase) return r;
    ADD_FAILURE() << "no result " << id << " " << phase;
    static const Result none;
    return none;
}

Week week49() {
    Week w;
    EXPECT_TRUE(parseWeek("2026-W49", w));
    return w;
}

class QualityWeek : public ::testing::Test {
  protected:
    LocalZone zone_{test::kCentralEurope};
};

TEST_F(QualityWeek, VoltageHighForFourPerCentPassesAndForSixFails) {
    const Week w = week49();
    ASSERT_EQ(w.start, test::kWeek49Of2026);
    // One run of high ten-minute means from Tuesday 10:00: 254 V on L1, with
    // 255.5 V in the run's sixth interval.
    const std::int64_t runStart = w.start + 86400 + 10 * 3600;
    const struct {
        int high;      // intervals above 253 V
        int held;      // 1008 - high
        double share;  // held / 1008, rounded down to hundredths
        bool pass;
    } rows[] = {
        {41, 967, 95.93, true},   // 4.07 % high
        {50, 958, 95.03, true},   // the most a week of 1008 may have
        {51, 957, 94.94, false},  // one more
        {61, 947, 93.94, false},  // 6.05 % high
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.high);
        const auto intervals = weekOfRounds(w.start, w.end, 60, [&](Sample& s) {
            const std::int64_t t = s.unixMs / 1000;
            if (t >= runStart && t < runStart + row.high * 600)
                s.phaseVoltage[0] = t >= runStart + 3000 && t < runStart + 3600 ? 255.5 : 254;
        });
        ASSERT_EQ(intervals.size(), 1008u);
        const Assessment a = assess(7, w, intervals, Nominal{}, true, w.end);
        EXPECT_EQ(a.intervals, 1008);
        const Result& v95 = resultOf(a, "voltage_95", 0);
        EXPECT_EQ(v95.values, 1008);
        EXPECT_EQ(v95.held, row.held);
        EXPECT_EQ(v95.sharePercent(), row.share);
        EXPECT_EQ(v95.pass(), row.pass);
        EXPECT_EQ(v95.worst, 255.5);
        EXPECT_EQ(v95.worstAt, runStart + 3000);
        ASSERT_EQ(v95.excursionCount, 1);
        EXPECT_EQ(v95.excursions[0].start, runStart);
        EXPECT_EQ(v95.excursions[0].seconds, row.high * 600);
        EXPECT_EQ(v95.excursions[0].extreme, 255.5);
        // +10 % is also the upper limit of all the means: any mean above it fails.
        EXPECT_FALSE(resultOf(a, "voltage_all", 0).pass());
        // The other phases held throughout.
        EXPECT_EQ(resultOf(a, "voltage_95", 1).held, 1008);
        EXPECT_TRUE(resultOf(a, "voltage_all", 2).pass());
        EXPECT_EQ(a.pass(), false);
    }
}

TEST_F(QualityWeek, WorstIsNearestToItsOwnLimit) {
    // L1 at +9 % (250.7 V) on Monday and at -12 % (202.4 V) on Tuesday,
    // one interval each. Under +10 % / -15 % the +9 % is nearer its limit
    // (0.9 of it against 0.8); under ±10 % the -12 % is past its limit.
    const Week w = week49();
    const auto intervals = weekOfRounds(w.start, w.end, 60, [&](Sample& s) {
        const std::int64_t t = s.unixMs / 1000;
        if (t >= w.start + 3600 && t < w.start + 4200) s.phaseVoltage[0] = 250.7;
        if (t >= w.start + 90000 && t < w.start + 90600) s.phaseVoltage[0] = 202.4;
    });
    const Assessment a = assess(1, w, intervals, Nominal{}, true, w.end);
    EXPECT_FLOAT_EQ(resultOf(a, "voltage_all", 0).worst, 250.7f);
    EXPECT_EQ(resultOf(a, "voltage_all", 0).worstAt, w.start + 3600);
    EXPECT_EQ(resultOf(a, "voltage_all", 0).held, 1008);
    EXPECT_FLOAT_EQ(resultOf(a, "voltage_95", 0).worst, 202.4f);
    EXPECT_EQ(resultOf(a, "voltage_95", 0).held, 1007);
    EXPECT_TRUE(resultOf(a, "voltage_95", 0).pass());
}

TEST_F(QualityWeek, FrequencyExcursionsOfTenSecondMeans) {
    const Week w = week49();
    // Wednesday 08:00, local.
    const std::int64_t dip = w.start + 2 * 86400 + 8 * 3600;
    const struct {
        const char* what;
        double hz;
        std::int64_t seconds;
        std::int64_t held995, heldAll;
        bool pass995, passAll;
    } rows[] = {
        // 49.4 Hz (-1.2 %) for 30 s: three of 60480 windows outside ±1 %.
        {"thirty seconds at 49.4 Hz", 49.4, 30, 60477, 60480, true, true},
        // 46.8 Hz (-6.4 %) for 10 s: below -6 %, where no mean may be.
        {"ten seconds at 46.8 Hz", 46.8, 10, 60479, 60479, true, false},
        // 0.5 % of 60480 windows is 302.4: 302 outside may be, 303 not.
        {"302 windows at 49.4 Hz", 49.4, 3020, 60178, 60480, true, true},
        {"303 windows at 49.4 Hz", 49.4, 3030, 60177, 60480, false, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const auto intervals = weekOfRounds(w.start, w.end, 10, [&](Sample& s) {
            const std::int64_t t = s.unixMs / 1000;
            if (t >= dip && t < dip + row.seconds) s.frequency = row.hz;
        });
        const Assessment a = assess(1, w, intervals, Nominal{}, true, w.end);
        EXPECT_EQ(a.windows, 60480);
        const Result& f995 = resultOf(a, "frequency_995", -1);
        const Result& fAll = resultOf(a, "frequency_all", -1);
        EXPECT_EQ(f995.values, 60480);
        EXPECT_EQ(f995.held, row.held995);
        EXPECT_EQ(f995.pass(), row.pass995);
        EXPECT_EQ(fAll.held, row.heldAll);
        EXPECT_EQ(fAll.pass(), row.passAll);
        ASSERT_EQ(f995.excursionCount, 1);
        EXPECT_EQ(f995.excursions[0].start, dip);
        EXPECT_EQ(f995.excursions[0].seconds, row.seconds);
        EXPECT_FLOAT_EQ(f995.excursions[0].extreme, static_cast<float>(row.hz));
        EXPECT_FLOAT_EQ(f995.worst, static_cast<float>(row.hz));
        EXPECT_EQ(f995.worstAt, dip);
        EXPECT_EQ(fAll.excursionCount, row.passAll ? 0 : 1);
    }
}

TEST_F(QualityWeek, UnbalanceFromTheLineVoltagesForADay) {
    // Uca at 380 V with Uab and Ubc at 400 V gives 3.36297 % (worked out
    // in quality_values_test.cpp), for the 144 intervals of Friday.
    const Week w = week49();
    const std::int64_t friday = w.start + 4 * 86400;
    const auto intervals = weekOfRounds(w.start, w.end, 60, [&](Sample& s) {
        const std::int64_t t = s.unixMs / 1000;
        if (t >= friday && t < friday + 86400) s.lineVoltage[2] = 380;
    });
    const Assessment a = assess(1, w, intervals, Nominal{}, true, w.end);
    const Result& u = resultOf(a, "unbalance", -1);
    EXPECT_EQ(u.held, 1008 - 144);
    EXPECT_EQ(u.sharePercent(), 85.71);  // 864 / 1008
    EXPECT_FALSE(u.pass());
    EXPECT_NEAR(u.worst, 3.36297, 1e-5);
    ASSERT_EQ(u.excursionCount, 1);
    EXPECT_EQ(u.excursions[0].start, friday);
    EXPECT_EQ(u.excursions[0].seconds, 86400);
}

TEST_F(QualityWeek, FifthHarmonicAboveSixPerCentForADayFailsThatPhaseAlone) {
    const Week w = week49();
    const std::int64_t thursday = w.start + 3 * 86400;
    const struct {
        double h5;
        std::int64_t held;
        bool pass;
    } rows[] = {
        {6.5, 864, false},  // above 6 % for 144 of 1008 means
        {6.0, 1008, true},  // at the limit holds
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.h5);
        const auto intervals = weekOfRounds(w.start, w.end, 60, [&](Sample& s) {
            const std::int64_t t = s.unixMs / 1000;
            if (t >= thursday && t < thursday + 86400) s.harmonic[1][5 - kFirstOrder] = row.h5;
        });
        const Assessment a = assess(1, w, intervals, Nominal{}, true, w.end);
        const Result& h5 = resultOf(a, "h5", 1);
        EXPECT_EQ(h5.held, row.held);
        EXPECT_EQ(h5.pass(), row.pass);
        EXPECT_FLOAT_EQ(h5.worst, static_cast<float>(row.h5));
        EXPECT_EQ(h5.worstAt, thursday);
        EXPECT_EQ(h5.excursionCount, row.pass ? 0 : 1);
        if (!row.pass) {
            EXPECT_EQ(h5.excursions[0].seconds, 86400);
        }
        EXPECT_TRUE(resultOf(a, "h5", 0).pass());
        EXPECT_TRUE(resultOf(a, "h5", 2).pass());
        EXPECT_TRUE(resultOf(a, "h7", 1).pass());
        EXPECT_TRUE(resultOf(a, "thd", 1).pass());
        EXPECT_EQ(a.pass(), row.pass);
    }
}

TEST_F(QualityWeek, WeeksOfSummerTimeChangesHaveTheirOwnCounts) {
    const struct {
        const char* label;
        std::int64_t hours, intervals;
        int high;
        std::int64_t held;
        double share;
        bool pass;
    } rows[] = {
        {"2026-W13", 167, 1002, 50, 952, 95.00, true},  // 952 / 1002 = 95.0099 %
        {"2026-W13", 167, 1002, 51, 951, 94.91, false},
        {"2026-W43", 169, 1014, 50, 964, 95.06, true},  // 964 / 1014 = 95.069 %
        {"2026-W43", 169, 1014, 51, 963, 94.97, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.label) + " " + std::to_string(row.high));
        Week w;
        ASSERT_TRUE(parseWeek(row.label, w));
        ASSERT_EQ(w.hours(), row.hours);
        // The high run on Sunday, the day the clocks change, from 00:00.
        const std::int64_t sunday = w.start + 6 * 86400;
        const auto intervals = weekOfRounds(w.start, w.end, 60, [&](Sample& s) {
            const std::int64_t t = s.unixMs / 1000;
            if (t >= sunday && t < sunday + row.high * 600) s.phaseVoltage[2] = 260;
        });
        const Assessment a = assess(1, w, intervals, Nominal{}, true, w.end);
        EXPECT_EQ(a.intervals, row.intervals);
        const Result& v = resultOf(a, "voltage_95", 2);
        EXPECT_EQ(v.held, row.held);
        EXPECT_EQ(v.sharePercent(), row.share);
        EXPECT_EQ(v.pass(), row.pass);
        const Json::Value doc = assessmentJson(a);
        EXPECT_EQ(doc["hours"].asInt(), row.hours);
        EXPECT_EQ(doc["ten_minute_expected"].asInt(), row.intervals);
        EXPECT_EQ(doc["ten_second_expected"].asInt(), row.hours * 360);
        // Intervals outside the week are left out, however they are given.
        std::vector<Interval> mixed = weekOfRounds(w.start - 7200, w.start, 600, [](Sample&) {});
        mixed.insert(mixed.end(), intervals.begin(), intervals.end());
        EXPECT_EQ(assess(1, w, mixed, Nominal{}, true, w.end).intervals, row.intervals);
    }
}

TEST(QualityResult, ShareAndPassAtTheLimits) {
    const struct {
        const char* id;
        std::int64_t values, held;
        bool pass;
        double share;
    } rows[] = {
        {"voltage_95", 1000, 950, true, 95},
        {"voltage_95", 1000, 949, false, 94.9},
        {"voltage_95", 10000, 9499, false, 94.99},  // never shown as 95.00
        {"voltage_95", 1007, 957, true, 95.03},     // 95.0347 %
        {"frequency_995", 60480, 60178, true, 99.5},
        {"frequency_995", 60480, 60177, false, 99.49},
        {"voltage_all", 7, 7, true, 100},
        {"voltage_all", 100000, 99999, false, 99.99},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.id) + " " + std::to_string(row.held));
        Result r;
        r.criterion = findCriterion(row.id);
        r.values = row.values;
        r.held = row.held;
        EXPECT_EQ(r.pass(), row.pass);
        EXPECT_DOUBLE_EQ(r.sharePercent(), row.share);
    }
    Result none;
    none.criterion = findCriterion("thd");
    EXPECT_FALSE(none.judged());
    EXPECT_FALSE(none.pass());
    EXPECT_TRUE(std::isnan(none.sharePercent()));
}

TEST_F(QualityWeek, ExcursionsAreRunsAndTheFirstFiftyAreListed) {
    // Sixty single high means with a held one between each: sixty runs.
    // A run across a gap in the values (the meter silent for an hour) is two.
    const Week w = week49();
    const auto intervals = weekOfRounds(w.start, w.end, 60, [&](Sample& s) {
        const std::int64_t t = s.unixMs / 1000;
        const std::int64_t k = (t - w.start) / 600;
        if (k < 120 && k % 2 == 0) s.thd[0] = 9;
    });
    std::vector<Interval> withGap;
    const std::int64_t gapFrom = w.start + 86400, gapTo = gapFrom + 3600;
    for (const Interval& i : weekOfRounds(w.start, w.end, 60, [&](Sample& s) {
             const std::int64_t t = s.unixMs / 1000;
             if (t >= gapFrom - 1200 && t < gapTo + 1200) s.thd[2] = 8.5;
         }))
        if (i.start < gapFrom || i.start >= gapTo) withGap.push_back(i);

    const Assessment a = assess(1, w, intervals, Nominal{}, true, w.end);
    const Result& thd = resultOf(a, "thd", 0);
    EXPECT_EQ(thd.excursionCount, 60);
    ASSERT_EQ(thd.excursions.size(), kExcursionsKept);
    EXPECT_EQ(thd.excursions[0].start, w.start);
    EXPECT_EQ(thd.excursions[49].start, w.start + 98 * 600);
    EXPECT_EQ(thd.excursions[49].seconds, 600);

    const Assessment b = assess(1, w, withGap, Nominal{}, true, w.end);
    const Result& gap = resultOf(b, "thd", 2);
    EXPECT_EQ(b.intervals, 1008 - 6);
    EXPECT_EQ(gap.values, 1002);
    EXPECT_EQ(gap.held, 1002 - 4);
    ASSERT_EQ(gap.excursionCount, 2);
    EXPECT_EQ(gap.excursions[0].start, gapFrom - 1200);
    EXPECT_EQ(gap.excursions[1].start, gapTo);
    EXPECT_EQ(gap.excursions[1].seconds, 1200);
}

TEST_F(QualityWeek, TheDocumentSaysWhatWasJudgedAndHowItEnded) {
    const Week w = week49();
    const std::int64_t thursday = w.start + 3 * 86400;
    const auto intervals = weekOfRounds(w.start, w.start + 4 * 86400, 60, [&](Sample& s) {
        const std::int64_t t = s.unixMs / 1000;
        if (t >= thursday && t < thursday + 1800) s.harmonic[0][5 - kFirstOrder] = 6.5;
    });
    const Json::Value doc =
        assessmentJson(assess(9, w, intervals, Nominal{}, false, thursday + 86400));
    EXPECT_EQ(doc["data_id"].asUInt(), 9u);
    EXPECT_EQ(doc["week"].asString(), "2026-W49");
    EXPECT_EQ(doc["start"].asString(), "2026-11-30T00:00:00");
    EXPECT_EQ(doc["end"].asString(), "2026-12-07T00:00:00");
    EXPECT_EQ(doc["complete"].asBool(), false);
    EXPECT_EQ(doc["assessed"].asString(), "2026-12-04T00:00:00");
    EXPECT_EQ(doc["ten_minute_values"].asInt(), 4 * 144);
    EXPECT_EQ(doc["ten_minute_expected"].asInt(), 1008);
    EXPECT_EQ(doc["result"].asString(), "pass");  // 3 of 576 high: 99.47 %
    EXPECT_EQ(doc["note"].asString(),
              "These values are polled from the meter once a round, not measured by a Class A "
              "instrument, so dips, swells and flicker shorter than a round are not seen.");
    // Voltage and THD per phase, frequency twice, unbalance, 24 orders per phase.
    ASSERT_EQ(doc["criteria"].size(), 2 * 3 + 2 + 1 + 3 + 24 * 3u);
    const Json::Value& v = doc["criteria"][0];
    EXPECT_EQ(v["criterion"].asString(), "voltage_95");
    EXPECT_EQ(v["phase"].asString(), "L1");
    EXPECT_EQ(v["unit"].asString(), "V");
    EXPECT_EQ(v["low"].asDouble(), 207);
    EXPECT_EQ(v["high"].asDouble(), 253);
    EXPECT_EQ(v["required"].asDouble(), 95);
    EXPECT_EQ(v["share"].asDouble(), 100);
    EXPECT_EQ(v["result"].asString(), "pass");
    EXPECT_EQ(v["worst"].asDouble(), 230);
    Json::Value h5;
    for (const Json::Value& c : doc["criteria"])
        if (c["criterion"] == "h5" && c["phase"] == "L1") h5 = c;
    EXPECT_TRUE(h5["low"].isNull());
    EXPECT_EQ(h5["high"].asDouble(), 6);
    EXPECT_EQ(h5["unit"].asString(), "%");
    EXPECT_EQ(h5["worst"].asDouble(), 6.5);  // the shortest decimal of the stored value
    EXPECT_EQ(h5["worst_at"].asString(), "2026-12-03T00:00:00");
    EXPECT_EQ(h5["excursion_count"].asInt(), 1);
    EXPECT_EQ(h5["excursions"][0]["start"].asString(), "2026-12-03T00:00:00");
    EXPECT_EQ(h5["excursions"][0]["seconds"].asInt(), 1800);
    EXPECT_EQ(h5["excursions"][0]["extreme"].asDouble(), 6.5);
    const Json::Value& f = doc["criteria"][6];
    EXPECT_EQ(f["criterion"].asString(), "frequency_995");
    EXPECT_TRUE(f["phase"].isNull());
    // A supply without neutral names its lines.
    Nominal lines;
    lines.voltage = 400;
    lines.lineVoltages = true;
    const Json::Value l = assessmentJson(assess(9, w, intervals, lines, false, thursday));
    EXPECT_EQ(l["criteria"][1]["phase"].asString(), "L2-L3");
    EXPECT_EQ(l["criteria"][1]["high"].asDouble(), 440);
    EXPECT_EQ(l["criteria"][1]["worst"].asDouble(), 400);
    EXPECT_EQ(l["voltages"].asString(), "line");
    // A week without values says so.
    const Json::Value empty = assessmentJson(assess(9, w, {}, Nominal{}, false, w.start));
    EXPECT_EQ(empty["result"].asString(), "no values");
    EXPECT_EQ(empty["criteria"][0]["result"].asString(), "no values");
    EXPECT_TRUE(empty["criteria"][0]["share"].isNull());
    EXPECT_TRUE(empty["criteria"][0]["worst_at"].isNull());
}

TEST_F(QualityWeek, TenMinuteValuesAsCsv) {
    const Week w = week49();
    auto intervals = weekOfRounds(w.start, w.start + 1200, 5, [](Sample& s) {
        s.phaseVoltage[1] = 231.5;
        s.frequency = (s.unixMs / 1000) % 20 < 10 ? 49.98 : 50.02;
    });
    ASSERT_EQ(intervals.size(), 2u);
    intervals[1].values[Interval::kThd + 2] = std::numeric_limits<float>::quiet_NaN();
    std::vector<std::pair<unsigned, Interval>> rows{{3, intervals[0]}, {3, intervals[1]}};
    std::ostringstream out;
    EXPECT_EQ(writeIntervalsCsv(rows, out), 2u);
    std::istringstream lines(out.str());
    std::string header, first, second;
    std::getline(lines, header);
    std::getline(lines, first);
    std::getline(lines, second);
    EXPECT_EQ(std::count(header.begin(), header.end(), ','), 16 + 90 - 1);
    const auto startsWith = [](const std::string& text, const std::string& start) {
        return text.compare(0, start.size(), start) == 0;
    };
    EXPECT_TRUE(startsWith(header,
                           "time,data_id,rounds,voltage_l1,voltage_l2,voltage_l3,voltage_l1_l2,"
                           "voltage_l2_l3,voltage_l3_l1,unbalance,frequency_min,frequency_mean,"
                           "frequency_max,thd_l1,thd_l2,thd_l3,h2_l1,h2_l2,h2_l3,h3_l1,"))
        << header;
    EXPECT_EQ(header.substr(header.size() - 20), "h31_l1,h31_l2,h31_l3");
    EXPECT_TRUE(startsWith(
        first, "2026-11-30T00:00:00,3,120,230,231.5,230,400,400,400,0,49.98,50,50.02,2,2,2,0.2,"))
        << first;
    EXPECT_EQ(first.substr(first.size() - 12), ",0.2,0.2,0.2");
    EXPECT_NE(second.find(",2,2,,0.2,"), std::string::npos);  // no THD on L3: an empty cell
}

}  // namespace
}  // namespace vedhost::quality
