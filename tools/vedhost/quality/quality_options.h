// The supply-quality report's settings (the document's "quality" group and
// --quality-nominal-v), and the signals a round's quality values come from,
// with the unit each is judged in. Off unless configured; it keeps its values
// in the history, so it needs --history.
#pragma once

#include <string>
#include <vector>

#include "config/option_rows.h"
#include "presentation/presentation.h"

namespace vedhost {

struct QualityOptions {
    double nominalV = 230;      // V: phase to neutral, or between lines (lineVoltages)
    double nominalHz = 50;      // Hz
    bool lineVoltages = false;  // "voltages": "line", a supply without neutral
};

// --quality-nominal-v and the document's "quality" members.
const SettingTable<QualityOptions>& qualityOptions();

namespace quality {

// A signal a round's quality values come from: its ASCII id, the unit it is
// judged in, the signal whose style stands in when it has none of its own
// (a harmonic's phase THD), and its place in a RawRound (quality_values.h).
struct QualitySignal {
    std::string id;
    const char* unit;
    const char* fallback;  // nullptr: none
    int index;
};
// The 100 of them: voltages, THDs and harmonics in Interval's order, then
// the frequency.
const std::vector<QualitySignal>& qualitySignals();

// The factor that makes the signal's register a value in its unit: the
// first of its style in the presentation, its fallback's there, its
// built-in style and the built-in fallback's that names a unit. False with
// a one-line reason when that style names another unit ("kV").
bool qualityFactor(const Presentation& presentation, const QualitySignal& signal, double& factor,
                   std::string& error);

// Every signal's factor found; false with the first refusal.
bool checkQualityPresentation(const Presentation& presentation, std::string& error);

}  // namespace quality
}  // namespace vedhost
