#include "quality/quality_command.h"

#include "common/local_time.h"
#include "quality/quality_report.h"
#include "quality/quality_store.h"

namespace vedhost::quality {

int runQualityCommand(const HistoryQuery& query, std::ostream& out, std::ostream& err) {
    QualityStore store;
    std::string error;
    if (!store.open(query.path, true, 0, error)) {
        err << "vedhost: " << error << std::endl;
        return 2;
    }
    // Times on the command line are local; intervals are kept by unix time.
    const auto unixOf = [](const std::string& local) -> std::optional<std::int64_t> {
        if (local.empty()) return std::nullopt;
        const auto ms = localTextToUnixMs(local.c_str());
        return ms ? std::optional<std::int64_t>(*ms / 1000) : std::nullopt;
    };
    const std::size_t rows = writeIntervalsCsv(
        store.intervals(query.dataId, unixOf(query.since), unixOf(query.until)), out);
    out << std::flush;
    // The CSV stays a table; what its values are is said beside the count.
    err << "vedhost: " << kPolledNote << "\n"
        << "vedhost: " << rows << " ten-minute values" << std::endl;
    return 0;
}

}  // namespace vedhost::quality
