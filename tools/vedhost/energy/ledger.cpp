#include "energy/ledger.h"

#include <algorithm>
#include <cmath>

#include "energy/counters.h"

namespace vedhost::energy {

std::int64_t possibleCounts(double power, std::int64_t elapsedMs, const LedgerRules& rules) {
    // W x ms -> kWh (or var x ms -> kvarh), then counts of a tenth.
    const double units = std::max(0.0, power) / 1000.0 * static_cast<double>(elapsedMs) / 3.6e6;
    const double counts = std::ceil(units / kUnitsPerCount * rules.margin - 1e-9);
    return static_cast<std::int64_t>(std::max(0.0, counts)) + rules.slackCounts;
}

Step advance(CounterState& state, std::uint16_t raw, double power, std::int64_t atMs,
             const LedgerRules& rules) {
    Step step;
    step.newRaw = raw;
    if (!state.known) {
        state = CounterState{true, raw, atMs, power, raw, 0};
        step.fromMs = step.toMs = atMs;
        return step;
    }
    const std::int64_t at = std::max(atMs, state.atMs);
    const std::int64_t elapsed = at - state.atMs;
    step.oldRaw = state.raw;
    step.fromMs = state.atMs;
    step.toMs = at;
    step.estimated = elapsed > rules.gapMs;
    if (raw >= state.raw) {
        step.kind = StepKind::Advance;
        step.counts = raw - state.raw;
    } else {
        const std::int64_t wrapped = raw + kCounterRange - state.raw;
        const bool possible =
            state.raw >= rules.highFrom && raw < rules.lowBelow &&
            wrapped <= possibleCounts(std::max(state.power, power), elapsed, rules);
        if (possible) {
            step.kind = StepKind::Wrap;
            step.counts = wrapped;
        } else {
            step.kind = StepKind::NewEpoch;
            ++state.epoch;
        }
    }
    state.total += step.counts;
    state.raw = raw;
    state.atMs = at;
    state.power = power;
    return step;
}

}  // namespace vedhost::energy
