// What the web view reads of the history: a signal's chart between two
// times. The web server holds a HistoryReader, or none when no history is
// kept; HistoryStore is the one behind it in vedhost.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vedhost {

// A point of a chart: time is unix seconds at the start of the point's span;
// values in the signal's own unit as decoded from the record.
struct SeriesPoint {
    std::int64_t time;
    double min, avg, max;
};

class HistoryReader {
  public:
    virtual ~HistoryReader() = default;
    // One signal (by ASCII id) of one meter in [from, to) unix seconds, at
    // most maxPoints points, oldest first. Called on the web server's thread
    // while the line threads store rounds.
    virtual std::vector<SeriesPoint> series(unsigned dataId, const std::string& signalId,
                                            std::int64_t from, std::int64_t to,
                                            std::size_t maxPoints) = 0;
};

}  // namespace vedhost
