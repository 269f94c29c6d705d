// The energy ledger of one counter: a 64-bit total, in counts, that runs on
// where the meter's 16-bit register wraps or is reset.
//
// Each reading is one step. The register going up adds the difference. The
// register going down is a wrap only when all three hold: the previous value
// was high in the range, the new one is low, and the advance the wrap implies
// (new + 65536 - old counts) is possible in the time since the previous
// reading at the power the meter measured, with a margin; then the advance is
// added. Any other decrease is a reset or a replaced meter: a new epoch
// begins, the total runs on without a jump (nothing is added), and the
// caller writes one line and an audit row with the old and new values.
//
// Readings further apart than the gap (the meter offline, the host stopped)
// still add what the register says, but the step is marked estimated: the
// energy is known, when it accrued is not, so it is spread evenly over the
// gap. A reading older than the previous one (the clock set back) is taken
// as at the previous one's time.
#pragma once

#include <cstdint>

namespace vedhost::energy {

struct LedgerRules {
    // A wrap's advance may be this much more than the measured power gives ...
    double margin = 1.5;
    // ... plus this many counts, for a power read between two ticks.
    std::int64_t slackCounts = 2;
    // Readings further apart than this: what accrued between them is estimated.
    std::int64_t gapMs = 120000;
    // A wrap runs from the top quarter of the range into the bottom quarter.
    std::uint16_t highFrom = 49152;
    std::uint16_t lowBelow = 16384;
};

// What the ledger keeps of one counter between readings; persisted as it is.
struct CounterState {
    bool known = false;       // a reading has been taken
    std::uint16_t raw = 0;    // the register at the latest reading
    std::int64_t atMs = 0;    // unix ms of the latest reading
    double power = 0;         // the power measured with it, W or var
    std::int64_t total = 0;   // the ledger's total in counts: the register plus 65536 a wrap
    std::uint32_t epoch = 0;  // resets and replaced meters so far
};

enum class StepKind {
    First,     // the first reading: the total starts at the register
    Advance,   // the register went up (or stayed)
    Wrap,      // it wrapped past 65535
    NewEpoch,  // it went down otherwise: reset or replaced
};

struct Step {
    StepKind kind = StepKind::First;
    std::int64_t counts = 0;            // added to the total
    std::int64_t fromMs = 0, toMs = 0;  // the span they accrued over
    bool estimated = false;             // accrued over a gap
    std::uint16_t oldRaw = 0, newRaw = 0;
};

// The most counts a register can advance in `elapsedMs` at `power` (W or
// var) under the rules' margin and slack.
std::int64_t possibleCounts(double power, std::int64_t elapsedMs, const LedgerRules& rules);

// Takes a reading into the state and says what it added.
Step advance(CounterState& state, std::uint16_t raw, double power, std::int64_t atMs,
             const LedgerRules& rules);

}  // namespace vedhost::energy
