// `vedhost history`, parsed as part of the invocation and run on the store.
#include "history/history_command.h"

#include "common/local_time.h"
#include "config/config.h"
#include "history/history_export.h"
#include "history/history_store.h"

namespace vedhost {
namespace {

// A file or resolution that cannot be listed is a configuration error.
constexpr int kExitConfig = 2;

int refuse(std::ostream& err, const std::string& message) {
    err << "vedhost: " << message << std::endl;
    return kExitConfig;
}

// Times on the command line are local; the tiers are kept by unix time.
std::optional<std::int64_t> unixOf(const std::string& local) {
    if (local.empty()) return std::nullopt;
    const auto ms = localTextToUnixMs(local.c_str());
    return ms ? std::optional<std::int64_t>(*ms / 1000) : std::nullopt;
}

std::optional<std::int64_t> msOf(std::optional<std::int64_t> seconds) {
    return seconds ? std::optional<std::int64_t>(*seconds * 1000) : std::nullopt;
}

}  // namespace

bool parseHistoryCommand(const std::vector<std::string>& args, HistoryQuery& query,
                         std::string& error) {
    std::vector<std::string> all{"history"};
    all.insert(all.end(), args.begin(), args.end());
    Invocation invocation;
    if (!parseInvocation(all, "", invocation, error)) return false;
    query = std::move(invocation.query);
    return true;
}

int runHistoryCommand(const HistoryQuery& query, std::ostream& out, std::ostream& err) {
    std::string error;
    HistoryStore store;
    if (!store.open(query.path, true, error)) return refuse(err, error);
    if (query.info) {
        writeStoreInfo(store.info(), out);
        return 0;
    }
    std::size_t written = 0;
    if (query.resolution == "full") {
        written = writeHistory(
            store.list(query.dataId, msOf(unixOf(query.since)), msOf(unixOf(query.until))), query,
            out);
    } else {
        bool known = false;
        std::string names = "full";
        for (const TierShape& tier : store.tiers()) {
            known = known || tier.name == query.resolution;
            names += ", " + tier.name;
        }
        if (!known)
            return refuse(err, "history: --resolution \"" + query.resolution +
                                   "\" is not kept in this file (it keeps " + names + ")");
        written = writeConsolidated(store.consolidated(query.resolution, query.dataId,
                                                       unixOf(query.since), unixOf(query.until)),
                                    query, out);
    }
    out << std::flush;
    err << "vedhost: " << written << (query.resolution == "full" ? " records" : " rows")
        << std::endl;
    return 0;
}

}  // namespace vedhost
