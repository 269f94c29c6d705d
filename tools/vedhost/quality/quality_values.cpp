#include "quality/quality_values.h"

namespace vedhost::quality {

double unbalance(double uab, double ubc, double uca) {
    const double a2 = uab * uab, b2 = ubc * ubc, c2 = uca * uca;
    const double squares = a2 + b2 + c2;
    if (!(squares > 0)) return kNoValue;  // NaN or no voltage at all
    // 6 b - 2 = 2 D / S^2, with D the squared differences of the squares:
    // zero exactly when the three are equal, where 1 - sqrt(3 - 6 b) would
    // be left with rounding alone. Then (1 - r) / (1 + r) = q / (1 + r)^2
    // for r = sqrt(3 - 6 b) = sqrt(1 - q).
    const double d = (a2 - b2) * (a2 - b2) + (b2 - c2) * (b2 - c2) + (c2 - a2) * (c2 - a2);
    const double q = 2 * d / (squares * squares);
    // b is 1/3 for a balanced supply and 1/2 when one line voltage is gone;
    // above that (q above 1) the three cannot be the sides of a triangle.
    if (q > 1 + 1e-12) return kNoValue;
    const double r = std::sqrt(std::fmax(0.0, 1 - q));
    return 100 * std::sqrt(q) / (1 + r);
}

namespace {

std::int64_t floorSeconds(std::int64_t unixMs) {
    return unixMs >= 0 ? unixMs / 1000 : -((-unixMs + 999) / 1000);
}

}  // namespace

void IntervalAccumulator::reset(std::int64_t start) {
    open_ = true;
    start_ = start;
    rounds_ = 0;
    sums_.fill(Sum{});
}

bool IntervalAccumulator::advance(std::int64_t seconds, std::optional<Interval>& closed) {
    const std::int64_t start = intervalStart(seconds);
    if (open_ && start < start_) {
        ++outOfOrder_;
        return false;
    }
    if (!open_ || start != start_) {
        if (open_ && rounds_ > 0) closed = make();
        reset(start);
    }
    ++rounds_;
    return true;
}

std::optional<Interval> IntervalAccumulator::add(const Sample& s) {
    const std::int64_t seconds = floorSeconds(s.unixMs);
    std::optional<Interval> closed;
    if (!advance(seconds, closed)) return closed;
    for (int p = 0; p < kPhases; ++p) {
        sums_[Interval::kPhaseVoltage + p].add(s.phaseVoltage[p], true);
        sums_[Interval::kLineVoltage + p].add(s.lineVoltage[p], true);
        sums_[Interval::kThd + p].add(s.thd[p], true);
        for (int k = 0; k < kOrders; ++k)
            sums_[Interval::kHarmonic + 3 * k + p].add(s.harmonic[p][k], true);
    }
    sums_[Interval::kUnbalance].add(unbalance(s.lineVoltage[0], s.lineVoltage[1], s.lineVoltage[2]),
                                    true);
    const int window = static_cast<int>((seconds - start_) / kWindowSeconds);
    sums_[Interval::kFrequency + window].add(s.frequency, false);
    return closed;
}

std::optional<Interval> IntervalAccumulator::add(const RawRound& r, const RawScales& scales) {
    const std::int64_t seconds = floorSeconds(r.unixMs);
    std::optional<Interval> closed;
    if (!advance(seconds, closed)) return closed;
    if (scales_ != &scales) {
        foldRaw();
        scales_ = &scales;
    }
    // Whole numbers only: 16-bit registers squared add up in 64 bits for
    // far longer than ten minutes of rounds.
    for (int i = 0; i < Interval::kUnbalance; ++i) {
        const std::uint32_t v = r.raw[i];
        sums_[i].raw += v * v;
        ++sums_[i].n;
    }
    const int window = static_cast<int>((seconds - start_) / kWindowSeconds);
    Sum& f = sums_[Interval::kFrequency + window];
    f.raw += r.raw[kRawFrequency];
    ++f.n;
    // The unbalance needs the round's own line voltages: once a round.
    const int l = Interval::kLineVoltage;
    sums_[Interval::kUnbalance].add(
        unbalance(r.raw[l] * scales[l], r.raw[l + 1] * scales[l + 1], r.raw[l + 2] * scales[l + 2]),
        true);
    return closed;
}

// Registers summed with factors about to change become numbers first.
void IntervalAccumulator::foldRaw() {
    if (scales_ == nullptr) return;
    for (int i = 0; i < Interval::kCount; ++i) {
        Sum& s = sums_[i];
        if (s.raw == 0) continue;
        const double f = i >= Interval::kFrequency ? (*scales_)[kRawFrequency] : (*scales_)[i];
        s.sum += static_cast<double>(s.raw) * (i >= Interval::kFrequency ? f : f * f);
        s.raw = 0;
    }
}

std::optional<Interval> IntervalAccumulator::peek() const {
    if (!open_ || rounds_ == 0) return std::nullopt;
    return make();
}

Interval IntervalAccumulator::make() const {
    Interval out;
    out.start = start_;
    out.rounds = rounds_;
    for (int i = 0; i < Interval::kCount; ++i) {
        const Sum& s = sums_[i];
        if (s.n == 0) continue;
        const bool frequency = i >= Interval::kFrequency;
        double total = s.sum;
        if (s.raw != 0 && scales_ != nullptr) {
            const double f = frequency ? (*scales_)[kRawFrequency] : (*scales_)[i];
            total += static_cast<double>(s.raw) * (frequency ? f : f * f);
        }
        const double mean = total / static_cast<double>(s.n);
        out.values[i] = static_cast<float>(frequency ? mean : std::sqrt(mean));
    }
    return out;
}

}  // namespace vedhost::quality
