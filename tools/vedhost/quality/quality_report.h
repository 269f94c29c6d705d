// The supply-quality report as people and programs read it: a week's
// assessment as a JSON document (what /api/quality answers, what the page and
// the printable page show, and what the store keeps of a week), and the
// ten-minute values as CSV (`vedhost history FILE --quality`).
//
// The assessment's document, one object:
//   data_id, week ("2026-W49"), start and end (local time text, and as unix
//   seconds in start_unix and end_unix), hours (167, 168 or 169), complete
//   (false: the week so far), assessed (local time), nominal_v, nominal_hz,
//   voltages ("phase" or "line"), ten_minute_values and ten_minute_expected,
//   ten_second_values and ten_second_expected, result ("pass", "fail" or
//   "no values"), note (the sentence every view shows), and criteria: one
//   object per criterion and phase with criterion (its id), phase ("L1",
//   "L1-L2", or null for the supply's), text, unit, low and high (null where
//   there is none), required (per cent), values, held, share (per cent,
//   rounded down to hundredths; null without values), result, worst and
//   worst_at (and worst_unix), excursion_count and excursions (the first 50:
//   start, start_unix, seconds, extreme).
#pragma once

#include <json/value.h>

#include <cstddef>
#include <ostream>
#include <utility>
#include <vector>

#include "quality/quality_assessment.h"

namespace vedhost::quality {

// The one sentence every view of the report shows.
extern const char* const kPolledNote;

Json::Value assessmentJson(const Assessment& assessment);

// The ten-minute values as CSV, a header and one row per meter and interval:
// time (local, the interval's start), data_id, rounds, the three phase and
// three line voltages (V), the unbalance (%), the frequency's least, mean and
// greatest ten-second mean (Hz), the three THDs and the harmonics 2 to 31 of
// each phase (%). Returns the rows written.
std::size_t writeIntervalsCsv(const std::vector<std::pair<unsigned, Interval>>& rows,
                              std::ostream& out);

}  // namespace vedhost::quality
