// `vedhost history`: stored records listed, or decoded into the meter's
// signals by ASCII id (presented as the user's presentation says) as JSON
// lines or CSV.
#pragma once

#include <ostream>
#include <vector>

#include "history/history_query.h"
#include "history/history_store.h"

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

// The rows of a consolidated tier in the query's format.
//
// json: {"data_id": 1, "time": "2024-03-07T09:15:00", "resolution": "15m",
//        "count": 900, "values": {"phase_voltage_a": {"min": 229.5, "avg":
//        230.1, "max": 231}, "energy_fwd_active": 1234.5, ...}}
// csv:  "data_id,time,count,phase_voltage_a_min,phase_voltage_a_avg,
//        phase_voltage_a_max,...,energy_fwd_active" (the first row's layout),
//        a value no round held left empty.
// list: data id, time, rounds.
std::size_t writeConsolidated(const std::vector<ConsolidatedRow>& rows, const HistoryQuery& query,
                              std::ostream& out);

// `vedhost history FILE --info`: one line for the files and the cap, one per
// tier with its rows and the span they cover.
void writeStoreInfo(const StoreInfo& info, std::ostream& out);

}  // namespace vedhost
