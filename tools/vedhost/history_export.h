// `vedhost history`: stored records listed, or decoded into the meter's
// signals by ASCII id (presented as the user's presentation says) as JSON
// lines or CSV.
#pragma once

#include <ostream>
#include <vector>

#include "config.h"
#include "history_store.h"

namespace vedhost {

// The rows the query asks for (meter, stored at or after --since), oldest
// first, written in its format. Returns the number of rows written.
//
// json: one object per line, {"record": 7, "data_id": 1, "time": "...",
//       "values": {"phase_voltage_a": 220.1, ...}}; a stored image that is
//       not a meter record has "values": null and its "bytes".
// csv:  a header "record,data_id,time,<ids in report order>", then one row
//       per record; booleans as 1 and 0, texts quoted where they need it.
std::size_t writeHistory(const std::vector<HistoryRow>& rows, const HistoryQuery& query,
                         std::ostream& out);

}  // namespace vedhost
