// The host's own two sinks of a round's report, behind the publisher seam
// like the others: the report stream (--report), one line per round, and the
// console table (--show).
#pragma once

#include "hosting/event_log.h"
#include "hosting/publisher.h"
#include "presentation/presentation.h"

namespace vedhost {

// One line per round: {"data_id":..,"line":..,"slave":..,"report":<the
// plug-in's report text as it gave it>}.
class ReportStream : public Publisher {
  public:
    // `out` must be open and outlive the stream.
    explicit ReportStream(LineSink& out) : out_(out) {}
    void round(const Round& round) override;

  private:
    LineSink& out_;
};

// The report as a table on stdout (reportTable), after each round.
class ReportConsole : public Publisher {
  public:
    // The table shows what the meter sends unless the user chose a
    // presentation for it.
    explicit ReportConsole(const Presentation& presentation)
        : presentation_(presentation.isBuiltIn() ? Presentation() : presentation) {}
    void round(const Round& round) override;

  private:
    const Presentation presentation_;
};

}  // namespace vedhost
