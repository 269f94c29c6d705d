// Where the SQLite history (history_store.h) is kept: --history and the
// "history" group of the --config document.
#pragma once

#include <string>

namespace vedhost {

struct HistoryOptions {
    std::string path;  // empty: no history
};

}  // namespace vedhost
