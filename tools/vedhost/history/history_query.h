// What `vedhost history` asks for, and its options:
//   vedhost history FILE [--data-id N] [--since T] [--until T] [--resolution R]
//                   [--format json|csv] [--presentation FILE | --config FILE]
//   vedhost history FILE --energy PERIOD|audit [--counter ID] [--data-id N]
//                   [--since T] [--until T] [--format json|csv] [--config FILE]
//   vedhost history FILE --info
//   vedhost history FILE --quality [--data-id N] [--since T] [--until T]
// The invocation's parser (config/config.h) gives these options the CLI11
// subcommand they are read from; history_command.h runs the query.
#pragma once

#include <optional>
#include <string>

#include "presentation/presentation.h"

namespace CLI {
class App;
}

namespace vedhost {

struct HistoryQuery {
    enum class Format { List, Json, Csv };
    std::string path;
    std::optional<unsigned> dataId;
    std::string since;  // stored at or after this local time, as "2024-03-07T09:05:02"
    std::string until;  // stored before this local time, the same way
    std::string resolution = "full";  // "full" or a tier's name
    bool info = false;                // sizes, cap and the span of each tier instead of rows
    bool quality = false;             // the supply quality's ten-minute values, as CSV
    Format format = Format::List;
    Presentation presentation;
    std::string document;  // the --config document, when one was named
    // --energy: consumption per period ("day", ...) or the energy ledger's
    // audit ("audit") instead of records, of one --counter (the energy
    // room runs it, priced by the document's tariffs).
    std::string energy;
    std::string counter;
};

// `vedhost history`'s own options on the subcommand they are read from; the
// subcommand (and this object, which its options write into) must outlive
// the parse.
class HistoryArguments {
  public:
    explicit HistoryArguments(CLI::App& history);
    HistoryArguments(const HistoryArguments&) = delete;
    HistoryArguments& operator=(const HistoryArguments&) = delete;

    // The presentation of a --config document, read by the configuration's
    // reader; false with a one-line reason.
    using DocumentPresentation = bool (*)(const std::string& path, Presentation& presentation,
                                          std::string& error);

    // The query the parsed options ask for. False with a one-line reason.
    bool query(HistoryQuery& query, DocumentPresentation documentPresentation,
               std::string& error) const;

  private:
    const CLI::App& history_;
    std::string path_, dataId_, since_, until_, resolution_, format_, presentation_, config_,
        energy_, counter_;
    bool info_ = false, quality_ = false;
};

}  // namespace vedhost
