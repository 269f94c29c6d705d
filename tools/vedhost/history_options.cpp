// The history's settings.
#include "history_options.h"

#include <cstdlib>

#include "config.h"

namespace vedhost {
namespace {

using J = const Json::Value&;

const OptionRow kRows[] = {
    {"everything", "--history", "FILE", "history.path",
     "SQLite history and cache; newest record reloaded at start (default:\n"
     "$VEDHOST_DEFAULT_HISTORY, else none)",
     ValueType::Path, 0, 0,
     [](HostConfig& c, J v, const Given&, std::string&) {
         c.history.path = v.asString();
         return true;
     },
     [](const HostConfig& c) { return textOrNull(c.history.path); }},
};

// A service names its instance's history file in the environment
// (VEDHOST_DEFAULT_HISTORY); a document or --history names another.
bool finishHistory(HostConfig& c, std::string&) {
    const char* fallback = std::getenv("VEDHOST_DEFAULT_HISTORY");
    if (c.history.path.empty() && fallback != nullptr && *fallback != '\0') {
        c.history.path = fallback;
        c.sources["history.path"] = Source::Environment;
    }
    return true;
}

const OptionTable kTable = optionTable(kRows, finishHistory);

}  // namespace

const OptionTable& historyOptions() { return kTable; }

}  // namespace vedhost
