// The limits a low-voltage supply is held to over a week (EN 50160), as one
// table: a row per criterion, walked by the assessment. Voltages and the
// frequency are judged by their deviation from nominal, in per cent; the
// unbalance, the THD and each harmonic by their value, in per cent (of the
// positive sequence, of the fundamental). A criterion holds when at least its
// share of the week's values lies within its limits.
//
// The standard's table of individual harmonics stops at the 25th order: the
// ten-minute values of orders 26 to 31 are kept and shown, but no criterion
// judges them.
#pragma once

#include <cstddef>
#include <string>

namespace vedhost::quality {

// What a criterion judges, and from which of the week's values.
enum class Quantity {
    Voltage,    // each phase's (or line's) ten-minute mean, against nominal
    Frequency,  // the ten-second means, against nominal
    Unbalance,  // the ten-minute unbalance, negative over positive sequence
    Thd,        // each phase's ten-minute voltage THD
    Harmonic,   // each phase's ten-minute voltage harmonic of one order
};

struct Criterion {
    const char* id;  // "voltage_95", "h5"; the name integrators read
    Quantity quantity;
    int order;  // Harmonic: 2 ... 25; otherwise 0
    // Limits in per cent. Voltage and Frequency: of deviation from nominal,
    // below and above (-10, +10). The others: the most allowed (low unused).
    double low, high;
    // The share of the week's values that must lie within, in hundredths of
    // a per cent: 9500 for 95 %, 9950 for 99.5 %, 10000 for all of them.
    int share;
};

// Every criterion, in the order they are shown.
extern const Criterion kCriteria[];
extern const std::size_t kCriterionCount;

// The row of an id, or nullptr.
const Criterion* findCriterion(const char* id);

// One line a person reads: "within ±10 % of nominal for 95 % of the
// ten-minute means", "5th harmonic at most 6 % for 95 % of the ten-minute
// means".
std::string criterionText(const Criterion& criterion);

// Whether the criterion is judged per phase (voltage, THD, harmonics) or once
// for the supply (frequency, unbalance).
bool perPhase(const Criterion& criterion);

}  // namespace vedhost::quality
