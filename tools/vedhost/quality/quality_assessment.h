// A week of a meter's ten-minute values judged against the supply limits
// (quality_limits.h): for each criterion, and each phase where it is judged
// per phase, the share of the week's values within the limits, whether that
// is enough, the worst value and when, and the excursions beyond the limits.
//
// The worst value is the one nearest to or furthest beyond a limit: for a
// limit on both sides, the deviation from nominal as a part of the limit on
// its side (+9 % under a +10 % limit is worse than -12 % over -15 %). An
// excursion is a run of consecutive values outside the limits: its start,
// its length and its extreme (the worst value in it). Values that are not
// there (the meter did not answer, the host was stopped) neither hold nor
// fail: the share is of the values there are.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "quality/quality_limits.h"
#include "quality/quality_values.h"
#include "quality/quality_week.h"

namespace vedhost::quality {

// What the supply is judged against.
struct Nominal {
    double voltage = 230;       // V, phase to neutral (or between lines, below)
    double frequency = 50;      // Hz
    bool lineVoltages = false;  // a supply without neutral: the line voltages are judged
};

struct Excursion {
    std::int64_t start = 0;    // unix seconds of its first value's interval or window
    std::int64_t seconds = 0;  // how long it lasted
    double extreme = 0;        // its worst value, in the quantity's unit
};

struct Result {
    const Criterion* criterion = nullptr;
    int phase = -1;  // 0 ... 2 for a per-phase criterion, -1 for the supply's
    std::int64_t values = 0, held = 0;
    double worst = kNoValue;  // in the quantity's unit: V, Hz, %
    std::int64_t worstAt = 0;
    std::int64_t excursionCount = 0;
    std::vector<Excursion> excursions;  // the first kExcursionsKept, in time order

    bool judged() const { return values > 0; }
    // Enough values held: held / values of at least the criterion's share.
    bool pass() const;
    // held / values in per cent, rounded down to hundredths (so a share short
    // of the limit never reads as the limit); NaN without values.
    double sharePercent() const;
};

// Excursions kept per criterion and phase; the count says how many there were.
constexpr std::size_t kExcursionsKept = 50;

struct Assessment {
    unsigned dataId = 0;
    Week week;
    Nominal nominal;
    bool complete = false;        // the week had ended when it was assessed
    std::int64_t assessedAt = 0;  // unix seconds
    std::int64_t intervals = 0;   // ten-minute values the week has
    std::int64_t windows = 0;     // ten-second frequency values
    std::vector<Result> results;  // kCriteria's order, phases in turn

    // Every judged criterion passed (and at least one was judged).
    bool pass() const;
};

// The lower and upper limit of a criterion in the quantity's unit (V, Hz, %);
// the lower is -infinity for a criterion with a maximum only.
void limits(const Criterion& criterion, const Nominal& nominal, double& low, double& high);

// Judges the week's intervals (those starting within it, in time order).
Assessment assess(unsigned dataId, const Week& week, const std::vector<Interval>& intervals,
                  const Nominal& nominal, bool complete, std::int64_t assessedAt);

}  // namespace vedhost::quality
