// `vedhost history`'s options and the query they make.
#include "history/history_query.h"

#include <CLI/CLI.hpp>

#include "common/local_time.h"
#include "common/parse.h"

namespace vedhost {

HistoryArguments::HistoryArguments(CLI::App& history) : history_(history) {
    history.add_option("FILE", path_, "the history file");
    history.add_option("--data-id", dataId_, "one meter's records");
    history.add_option("--since", since_, "records stored at or after this local time");
    history.add_option("--until", until_, "records stored before this local time");
    history.add_option("--resolution", resolution_, "full or a tier's name");
    history.add_flag("--info", info_, "sizes, cap and the span of each tier");
    history.add_flag("--quality", quality_, "the supply quality's ten-minute values, as CSV");
    history.add_option("--format", format_, "json or csv");
    history.add_option("--presentation", presentation_, "labels, scales and units");
    history.add_option("--config", config_,
                       "the presentation (and the tariffs) of this --config document");
    history.add_option("--energy", energy_,
                       "consumption per hour, day, week, month, year or billing period, or audit");
    history.add_option("--counter", counter_, "the energy counter (default energy_fwd_active)");
    history.allow_extras();
}

bool HistoryArguments::query(HistoryQuery& query, DocumentPresentation documentPresentation,
                             std::string& error) const {
    HistoryQuery q;
    q.path = path_;
    if (q.path.empty()) {
        error = "history: give the history FILE";
        return false;
    }
    if (history_.count("--data-id")) {
        long n = 0;
        if (!parseLong(dataId_, 1, 2147483647, n)) {
            error = "--data-id: expected a number 1..2147483647";
            return false;
        }
        q.dataId = static_cast<unsigned>(n);
    }
    // --since and --until: a local time each, kept in one spelling.
    const struct {
        const char* flag;
        const std::string& given;
        std::string& kept;
    } times[] = {{"--since", since_, q.since}, {"--until", until_, q.until}};
    for (const auto& time : times)
        if (history_.count(time.flag) && !parseLocalTime(time.given, time.kept)) {
            error = std::string(time.flag) +
                    ": expected a local time such as 2024-03-07T09:05:02 or"
                    " \"2024-03-07 09:05\", got \"" +
                    time.given + "\"";
            return false;
        }
    if (history_.count("--resolution")) q.resolution = resolution_;
    q.info = info_;
    q.quality = quality_;
    // The ten-minute values are one table of their own, in volts, hertz
    // and per cent: nothing to resolve, present or format otherwise.
    if (q.quality && (q.info || history_.count("--resolution") ||
                      (history_.count("--format") && format_ != "csv") ||
                      !presentation_.empty() || !config_.empty())) {
        error =
            "history: --quality gives the ten-minute values as CSV; it goes with --data-id,"
            " --since and --until only";
        return false;
    }
    if (history_.count("--energy")) {
        if (history_.count("--resolution") || info_ || quality_) {
            error = std::string("history: --energy and ") +
                    (info_ ? "--info" : quality_ ? "--quality" : "--resolution") +
                    " exclude each other";
            return false;
        }
        q.energy = energy_;
    }
    if (history_.count("--counter")) {
        if (q.energy.empty()) {
            error = "history: --counter needs --energy";
            return false;
        }
        q.counter = counter_;
    }
    if (history_.count("--format")) {
        if (format_ == "json") {
            q.format = HistoryQuery::Format::Json;
        } else if (format_ == "csv") {
            q.format = HistoryQuery::Format::Csv;
        } else {
            error = "--format: expected json or csv, got \"" + format_ + "\"";
            return false;
        }
    }
    if (!presentation_.empty() && !config_.empty()) {
        error = "history: --presentation and --config exclude each other";
        return false;
    }
    if (!presentation_.empty() && !q.presentation.load(presentation_, error)) return false;
    // Only the document's presentation is wanted: its files (a password,
    // say) need not be readable by whoever lists the history.
    if (!config_.empty() && !documentPresentation(config_, q.presentation, error)) return false;
    q.document = config_;
    query = std::move(q);
    return true;
}

}  // namespace vedhost
