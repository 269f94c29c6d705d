// `vedhost history FILE --quality`: the supply quality's ten-minute values
// of a history file as CSV (quality_report.h), of one meter or all, those
// starting in [--since, --until).
#pragma once

#include <ostream>

#include "history/history_query.h"

namespace vedhost::quality {

// Runs the query on its file (opened read-only): the CSV to `out`; to
// `err` the sentence every view of the report says of its values and the
// count ("vedhost: 1008 ten-minute values"), or a refusal ("vedhost: ..."). Returns the exit
// status: 0, or 2 when the file cannot be read.
int runQualityCommand(const HistoryQuery& query, std::ostream& out, std::ostream& err);

}  // namespace vedhost::quality
