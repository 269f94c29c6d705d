// Where the SQLite history (history_store.h) is kept: --history and the
// "history" group of the --config document.
#pragma once

#include <string>
#include <vector>

#include "config/option_rows.h"
#include "history/history_tiers.h"

namespace vedhost {

struct HistoryOptions {
    std::string path;           // empty: no history
    long maxMb = 128;           // database, WAL and shared-memory index together
    double commitSeconds = 10;  // rounds committed together: the most a crash loses
    std::vector<TierShape> tiers = defaultTiers();
    std::vector<std::string> signals;  // consolidated beside the measurements and energies
};

// --history and the --history-* options, the document's "history" members.
const SettingTable<HistoryOptions>& historyOptions();

}  // namespace vedhost
