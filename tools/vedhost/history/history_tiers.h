// The history's consolidated tiers: beside the full records of the recent
// past, each tier keeps one row per meter and step (a minute, a quarter of an
// hour, a day) for its span, holding each consolidated signal as the step's
// minimum, average and maximum (measurements) or its last value (energy
// counters, status words and bits). A tier is made from the tier before it
// (the first from the full records), so a value stored once is consolidated
// once, and nothing of a step in progress needs to live outside the database.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ved96/signals.h"

namespace vedhost {

enum class Consolidation {
    MinAvgMax,  // three numbers: the step's least, mean and greatest value
    Last,       // one number: the value of the step's last round
};

// One tier: its name on the command line and in the document, its step and
// how long its rows are kept, both in seconds.
struct TierShape {
    std::string name;
    std::int64_t step = 0;
    std::int64_t span = 0;
};

// 1 minute for 7 days, 15 minutes for a year, 1 day for ten years.
const std::vector<TierShape>& defaultTiers();

// Checks a tier list: names unique and not "full", steps growing, each step
// a whole multiple of the one before (a tier is made from the tier before
// it), each span at least a step. False with a one-line reason.
bool checkTiers(const std::vector<TierShape>& tiers, std::string& error);

struct ConsolidatedSignal {
    const ved96_report::Signal* signal;
    Consolidation how;
};

// How a signal is consolidated when it is: energies, status words and bits by
// their last value, every other number by minimum, average and maximum.
Consolidation consolidationOf(const ved96_report::Signal& signal);

// The measurements and energy counters, then the named extra signals (by
// ASCII id; settings and the round time cannot be consolidated). False with
// a one-line reason for an unknown or unusable id.
bool consolidatedSignals(const std::vector<std::string>& extra,
                         std::vector<ConsolidatedSignal>& out, std::string& error);

// A layout as stored beside the rows it describes:
// "phase_voltage_a:mma,...,energy_fwd_active:last". Parsing skips ids this
// build does not know, so rows written by another version still read.
std::string layoutText(const std::vector<ConsolidatedSignal>& layout);
std::vector<ConsolidatedSignal> parseLayout(const std::string& text);

// Numbers a layout's row holds: three per MinAvgMax signal, one per Last.
std::size_t layoutWidth(const std::vector<ConsolidatedSignal>& layout);

// The value of a numeric or bit signal in a whole record image, as the
// report gives it (bits as 0 and 1).
double recordNumber(const unsigned char* record, const ved96_report::Signal& signal);

// One step of one meter being consolidated into a layout's numbers.
class StepAccumulator {
  public:
    explicit StepAccumulator(const std::vector<ConsolidatedSignal>& layout);

    // A full record (1009 bytes).
    void addRecord(const unsigned char* record);
    // A row of a finer tier: `values` laid out by `source`, standing for
    // `count` rounds. Signals the source does not hold are left out.
    void addRow(const std::vector<ConsolidatedSignal>& source, const float* values,
                std::int64_t count);

    std::int64_t count() const { return count_; }
    // The layout's numbers; NaN for a signal no input held.
    std::vector<float> values() const;

  private:
    struct Slot {
        double min, sum, max, last;
        std::int64_t weight = 0;
    };
    void add(std::size_t slot, double min, double avg, double max, double last, std::int64_t n);

    const std::vector<ConsolidatedSignal>& layout_;
    std::vector<Slot> slots_;
    std::int64_t count_ = 0;
};

}  // namespace vedhost
