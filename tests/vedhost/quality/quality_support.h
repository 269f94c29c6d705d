// What the supply-quality tests share: a time zone with summer time, record
// images with chosen registers, and synthetic weeks of rounds.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "quality/quality_values.h"
#include "tests/support/local_zone.h"
#include "ved96/signals.h"

namespace vedhost::quality::test {

// Central European time with its summer time, spelled as a POSIX rule so no
// zone database is needed: the clocks go forward on the last Sunday of March
// at 02:00 and back on the last Sunday of October at 03:00.
constexpr const char* kCentralEurope = "CET-1CEST,M3.5.0,M10.5.0/3";

using testzone::LocalZone;

// Weeks worked out by hand in that zone: Monday 00:00 local as unix seconds.
constexpr std::int64_t kWeek49Of2026 = 1795993200;       // 2026-11-30, 168 h
constexpr std::int64_t kMarchWeekOf2026 = 1774220400;    // 2026-03-23, 167 h
constexpr std::int64_t kOctoberWeekOf2026 = 1792360800;  // 2026-10-19, 169 h

// A record image with every register zero but those set.
struct RecordImage {
    std::vector<unsigned char> bytes = std::vector<unsigned char>(1009, 0);
    RecordImage& set(const char* id, std::uint16_t raw) {
        const ved96_report::Signal* s = ved96_report::findSignal(id);
        EXPECT_NE(s, nullptr) << id;
        if (s != nullptr) {
            bytes[s->offset] = static_cast<unsigned char>(raw & 0xff);
            bytes[s->offset + 1] = static_cast<unsigned char>(raw >> 8);
        }
        return *this;
    }
};

// A steady supply: 230 V phases, 400 V lines, 50 Hz, small distortion.
inline Sample steadySample(std::int64_t unixSeconds) {
    Sample s;
    s.unixMs = unixSeconds * 1000;
    for (int p = 0; p < kPhases; ++p) {
        s.phaseVoltage[p] = 230;
        s.lineVoltage[p] = 400;
        s.thd[p] = 2;
        for (int k = 0; k < kOrders; ++k) s.harmonic[p][k] = 0.2;
    }
    s.frequency = 50;
    return s;
}

// The intervals of a week of rounds every `every` seconds from `start` to
// `end`, each sample made steady and then changed by `shape`.
inline std::vector<Interval> weekOfRounds(std::int64_t start, std::int64_t end, std::int64_t every,
                                          const std::function<void(Sample&)>& shape) {
    std::vector<Interval> out;
    IntervalAccumulator acc;
    for (std::int64_t t = start; t < end; t += every) {
        Sample s = steadySample(t);
        shape(s);
        if (auto closed = acc.add(s)) out.push_back(*closed);
    }
    if (auto open = acc.peek()) out.push_back(*open);
    return out;
}

// Whether unix time `t` falls in one of `count` runs of `length` seconds,
// the first starting `first` seconds into the week and each a day after the
// one before.
inline bool inDailyRuns(std::int64_t t, std::int64_t weekStart, std::int64_t first,
                        std::int64_t length, int count) {
    for (int d = 0; d < count; ++d) {
        const std::int64_t from = weekStart + first + d * 86400;
        if (t >= from && t < from + length) return true;
    }
    return false;
}

}  // namespace vedhost::quality::test
