#include "energy/demand.h"

#include <algorithm>
#include <cmath>

#include "energy/counters.h"
#include "energy/periods.h"

namespace vedhost::energy {
namespace {

constexpr double kWhPerCount = kUnitsPerCount * 1000.0;
// The counter-to-power ratio forgets what is older than about this.
constexpr double kFactorMemoryMs = 3600e3;

std::int64_t minuteOf(std::int64_t seconds) {
    return (seconds / 60 - (seconds % 60 < 0 ? 1 : 0)) * 60;
}

}  // namespace

Demand::Demand(DemandRules rules)
    : rules_(rules), length_(static_cast<std::int64_t>(rules.windowMinutes) * 60) {}

std::int64_t Demand::windowStart(std::int64_t t) const {
    if (rules_.sliding) return minuteOf(t) + 60 - length_;
    const std::int64_t hour = hourAt(t).start;
    return hour + (t - hour) / length_ * length_;
}

Demand::Slot* Demand::slotAt(std::int64_t minute) {
    if (slots_.empty()) slots_.push_back(Slot{minute});
    if (minute < slots_.front().start) return nullptr;  // already closed and dropped
    while (slots_.back().start < minute) slots_.push_back(Slot{slots_.back().start + 60});
    return &slots_[static_cast<std::size_t>((minute - slots_.front().start) / 60)];
}

void Demand::spread(double wh, std::int64_t fromMs, std::int64_t toMs, bool provisional,
                    bool cover) {
    auto put = [&](std::int64_t minute, double share, double seconds) {
        Slot* s = slotAt(minute);
        if (s == nullptr) return;
        (provisional ? s->provisionalWh : s->fixedWh) += share;
        if (cover) s->coveredS += seconds;
    };
    if (toMs <= fromMs) {
        put(minuteOf(secondsOf(toMs)), wh, 0);
        return;
    }
    const double length = static_cast<double>(toMs - fromMs);
    for (std::int64_t at = fromMs; at < toMs;) {
        const std::int64_t minute = minuteOf(secondsOf(at));
        const std::int64_t end = std::min(toMs, (minute + 60) * 1000);
        put(minute, wh * static_cast<double>(end - at) / length,
            static_cast<double>(end - at) / 1000.0);
        at = end;
    }
}

void Demand::reconcile(std::int64_t atMs, std::int64_t counts) {
    const double counterWh = static_cast<double>(counts - tickCounts_) * kWhPerCount;
    if (tickSeen_ && provisionalSinceTick_ > 0) {
        const double f = counterWh / provisionalSinceTick_;
        for (Slot& s : slots_) {
            s.fixedWh += s.provisionalWh * f;
            s.provisionalWh = 0;
        }
        // One tick's ratio is as coarse as a count; over many it is the
        // meter's own.
        const double keep = std::exp(-static_cast<double>(atMs - tickMs_) / kFactorMemoryMs);
        counterWhSum_ = counterWhSum_ * keep + counterWh;
        powerWhSum_ = powerWhSum_ * keep + provisionalSinceTick_;
        factor_ = std::clamp(counterWhSum_ / powerWhSum_, 0.5, 2.0);
    } else {
        // Before the first tick the span holds part of a count: the power
        // says how much. With no power measured, the counter's energy is
        // spread evenly since its previous tick.
        for (Slot& s : slots_) {
            s.fixedWh += s.provisionalWh * factor_;
            s.provisionalWh = 0;
        }
        if (tickSeen_) spread(counterWh, tickMs_, atMs, false, false);
    }
    tickSeen_ = true;
    tickMs_ = atMs;
    tickCounts_ = counts;
    provisionalSinceTick_ = 0;
}

void Demand::add(std::int64_t atMs, double powerW, std::int64_t counts) {
    if (!started_) {
        started_ = true;
        firstMs_ = lastMs_ = tickMs_ = atMs;
        lastPowerW_ = powerW;
        tickCounts_ = counts;
        const std::int64_t t = secondsOf(atMs);
        nextClose_ = rules_.sliding ? minuteOf(t) + 60 : windowStart(t) + length_;
        slotAt(minuteOf(t));
        return;
    }
    if (atMs <= lastMs_) {
        lastPowerW_ = powerW;
        return;
    }
    if (atMs - lastMs_ > rules_.gapMs) {
        // No power is known over the gap: what the counter added beyond the
        // provisional energy already held is spread over it.
        const double heldWh = provisionalSinceTick_ * factor_;
        for (Slot& s : slots_) {
            s.fixedWh += s.provisionalWh * factor_;
            s.provisionalWh = 0;
        }
        const double counterWh = static_cast<double>(counts - tickCounts_) * kWhPerCount;
        spread(std::max(0.0, counterWh - heldWh), lastMs_, atMs, false, false);
        tickSeen_ = false;
        tickMs_ = atMs;
        tickCounts_ = counts;
        provisionalSinceTick_ = 0;
    } else {
        const double wh =
            (lastPowerW_ + powerW) / 2.0 * static_cast<double>(atMs - lastMs_) / 3.6e6;
        spread(wh, lastMs_, atMs, true, true);
        provisionalSinceTick_ += wh;
        if (counts != tickCounts_) reconcile(atMs, counts);
    }
    lastMs_ = atMs;
    lastPowerW_ = powerW;
    closeWindows();
}

DemandWindow Demand::windowOf(std::int64_t start, std::int64_t end) const {
    double wh = 0, covered = 0;
    for (const Slot& s : slots_)
        if (s.start >= start && s.start < end) {
            wh += slotWh(s);
            covered += s.coveredS;
        }
    const double hours = static_cast<double>(end - start) / 3600.0;
    return {start, end, wh / hours / 1000.0,
            covered >= rules_.completeShare * static_cast<double>(end - start)};
}

void Demand::closeWindows() {
    const std::int64_t t = secondsOf(lastMs_);
    // After a long gap only the windows that reach into the last window's
    // length can hold a reading; the others are skipped.
    if (t - nextClose_ > length_)
        nextClose_ = rules_.sliding ? minuteOf(t - length_) + 60 : windowStart(t);
    while (nextClose_ <= t) {
        closed_.push_back(windowOf(nextClose_ - length_, nextClose_));
        nextClose_ = rules_.sliding ? nextClose_ + 60 : windowStart(nextClose_) + length_;
    }
    const std::int64_t keepFrom = nextClose_ - length_;
    while (!slots_.empty() && slots_.front().start < keepFrom && slots_.size() > 1)
        slots_.pop_front();
}

DemandNow Demand::now() const {
    DemandNow n;
    if (!started_) return n;
    n.valid = true;
    const double t = static_cast<double>(lastMs_) / 1000.0;
    n.start = windowStart(secondsOf(lastMs_));
    n.end = n.start + length_;
    double wh = 0;
    for (const Slot& s : slots_)
        if (s.start >= n.start && s.start < n.end) wh += slotWh(s);
    const double from =
        std::max(static_cast<double>(n.start), static_cast<double>(firstMs_) / 1000.0);
    const double seenH = (t - from) / 3600.0;
    n.runningKw = seenH > 0 ? wh / seenH / 1000.0 : lastPowerW_ / 1000.0;
    const double goneH = (t - static_cast<double>(n.start)) / 3600.0;
    const double remainingH = (static_cast<double>(n.end) - t) / 3600.0;
    n.projectedKw = (n.runningKw * goneH + lastPowerW_ / 1000.0 * remainingH) /
                    (static_cast<double>(length_) / 3600.0);
    return n;
}

std::vector<DemandWindow> Demand::takeClosed() {
    std::vector<DemandWindow> out;
    out.swap(closed_);
    return out;
}

}  // namespace vedhost::energy
