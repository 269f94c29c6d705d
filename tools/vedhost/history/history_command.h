// `vedhost history`: the records of a history file listed, decoded or
// consolidated, or its sizes and tiers (--info).
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "history/history_query.h"

namespace vedhost {

// Parses the arguments after "history". False with a one-line reason.
bool parseHistoryCommand(const std::vector<std::string>& args, HistoryQuery& query,
                         std::string& error);

// Runs a query on its file (opened read-only): the rows go to `out`, their
// count ("vedhost: 3 records") or a refusal ("vedhost: ...") to `err`.
// Returns the exit status: 0, or 2 when the file or the resolution is not
// one that can be listed.
int runHistoryCommand(const HistoryQuery& query, std::ostream& out, std::ostream& err);

}  // namespace vedhost
