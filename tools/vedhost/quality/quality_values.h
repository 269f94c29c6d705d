// A meter's supply-quality values: one round's readings in volts, hertz and
// per cent, and the clock-aligned ten-minute values made from them.
//
// The ten-minute values aggregate the rounds as the power-quality standards
// aggregate their measurement intervals: the square root of the mean of the
// squares (voltages, THD, harmonics, unbalance); the frequency is kept as the
// arithmetic mean of each clock-aligned ten seconds. Intervals start on unix
// multiples of ten minutes (and so on every whole and half hour of any time
// zone) and carry the number of rounds they stand for. The rounds are
// whatever the host polls: a value shorter than a round is never seen.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>

namespace vedhost::quality {

constexpr int kPhases = 3;
constexpr int kFirstOrder = 2, kLastOrder = 31;
constexpr int kOrders = kLastOrder - kFirstOrder + 1;
constexpr std::int64_t kIntervalSeconds = 600;
constexpr std::int64_t kWindowSeconds = 10;  // a frequency value
constexpr int kWindows = static_cast<int>(kIntervalSeconds / kWindowSeconds);

constexpr double kNoValue = std::numeric_limits<double>::quiet_NaN();

// One round's values; NaN for one the round did not give.
struct Sample {
    std::int64_t unixMs = 0;                                                 // when the round ended
    std::array<double, kPhases> phaseVoltage{kNoValue, kNoValue, kNoValue};  // V, L1-N ...
    std::array<double, kPhases> lineVoltage{kNoValue, kNoValue, kNoValue};   // V, L1-L2 ...
    double frequency = kNoValue;                                             // Hz
    std::array<double, kPhases> thd{kNoValue, kNoValue, kNoValue};           // %
    std::array<std::array<double, kOrders>, kPhases> harmonic;  // %, [phase][order - 2]

    Sample() {
        for (auto& phase : harmonic) phase.fill(kNoValue);
    }
};

// Negative over positive sequence, in per cent, from the magnitudes of the
// three line voltages (IEC 61000-4-30):
//   b  = (Uab^4 + Ubc^4 + Uca^4) / (Uab^2 + Ubc^2 + Uca^2)^2
//   u2 = sqrt((1 - sqrt(3 - 6 b)) / (1 + sqrt(3 - 6 b)))
// NaN when the three are no triangle (one missing, all zero, b above 1/2).
double unbalance(double uab, double ubc, double uca);

// The values of one interval, laid out as they are stored: a fixed list of
// single-precision numbers, NaN where no round gave one.
struct Interval {
    // Where each value sits in `values`.
    static constexpr int kPhaseVoltage = 0;  // + phase
    static constexpr int kLineVoltage = 3;   // + line (AB, BC, CA)
    static constexpr int kThd = 6;           // + phase
    static constexpr int kHarmonic = 9;      // + 3 * (order - 2) + phase
    static constexpr int kUnbalance = kHarmonic + 3 * kOrders;
    static constexpr int kFrequency = kUnbalance + 1;  // + ten-second window
    static constexpr int kCount = kFrequency + kWindows;

    std::int64_t start = 0;   // unix seconds, a multiple of kIntervalSeconds
    std::int64_t rounds = 0;  // rounds the values stand for
    std::array<float, kCount> values;

    Interval() { values.fill(std::numeric_limits<float>::quiet_NaN()); }

    float phaseVoltage(int phase) const { return values[kPhaseVoltage + phase]; }
    float lineVoltage(int line) const { return values[kLineVoltage + line]; }
    float thd(int phase) const { return values[kThd + phase]; }
    float harmonic(int phase, int order) const {
        return values[kHarmonic + 3 * (order - kFirstOrder) + phase];
    }
    float unbalance() const { return values[kUnbalance]; }
    float frequency(int window) const { return values[kFrequency + window]; }
};
// The stored layout: nine voltages and THDs, 90 harmonics, the unbalance and
// sixty ten-second frequencies.
static_assert(Interval::kUnbalance == 99 && Interval::kCount == 160);

// The interval a time falls in, and the ten-second window within it.
inline std::int64_t intervalStart(std::int64_t unixSeconds) {
    const std::int64_t q = unixSeconds / kIntervalSeconds;
    return (unixSeconds % kIntervalSeconds != 0 && unixSeconds < 0 ? q - 1 : q) * kIntervalSeconds;
}

// One round as the meter sent it: the registers behind the interval's
// values 0 ... 98 (the voltages, THDs and harmonics, in Interval's order),
// then the frequency's, each with the factor that makes it a value in volts,
// per cent or hertz (SampleReader). Summing registers as whole numbers keeps
// the work of a round free of floating point, which the controllers this
// runs on pay dearly for; the factors are applied once, when ten minutes end.
constexpr int kRawValues = Interval::kUnbalance + 1;
constexpr int kRawFrequency = Interval::kUnbalance;  // the frequency's place
struct RawRound {
    std::int64_t unixMs = 0;
    std::array<std::uint16_t, kRawValues> raw{};
};
using RawScales = std::array<double, kRawValues>;

// Makes one meter's ten-minute values from its rounds, in time order. A
// round in a later interval closes the open one; a round older than the open
// interval (a clock stepped back) is left out, since that interval was kept.
// Rounds of either kind may be mixed: each adds to the same means.
class IntervalAccumulator {
  public:
    // Adds a round; returns the interval it closed, if it closed one.
    std::optional<Interval> add(const Sample& sample);
    // The same for a round's registers. `scales` must stay as it is and live
    // while this accumulator does (the reader's).
    std::optional<Interval> add(const RawRound& round, const RawScales& scales);
    // The open interval as it stands, if any round fell in it.
    std::optional<Interval> peek() const;
    // Rounds left out because they were older than the open interval.
    std::int64_t outOfOrder() const { return outOfOrder_; }

  private:
    // A value's sum: of values (or their squares) given as numbers, and of
    // registers (or their squares) still to be multiplied by their factor.
    struct Sum {
        double sum = 0;
        std::uint64_t raw = 0;
        std::int64_t n = 0;
        void add(double v, bool squared) {
            if (std::isnan(v)) return;
            sum += squared ? v * v : v;
            ++n;
        }
    };
    // Moves to the interval of a round at `seconds`; false when the round is
    // older than the open interval. Sets `closed` when one ended.
    bool advance(std::int64_t seconds, std::optional<Interval>& closed);
    Interval make() const;
    void reset(std::int64_t start);
    void foldRaw();

    bool open_ = false;
    std::int64_t start_ = 0;
    std::int64_t rounds_ = 0;
    std::array<Sum, Interval::kCount> sums_{};
    const RawScales* scales_ = nullptr;  // the factors of the registers summed
    std::int64_t outOfOrder_ = 0;
};

}  // namespace vedhost::quality
