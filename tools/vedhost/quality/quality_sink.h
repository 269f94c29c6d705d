// The supply-quality report as the host runs it: a sink behind the
// publisher seam whose recorder hears every round's record, its tables in
// the history file, and the weeks the web view answers (/api/quality). One
// per host, on when "quality" is configured.
#pragma once

#include <json/value.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "hosting/publisher.h"
#include "presentation/presentation.h"
#include "quality/quality_options.h"
#include "quality/quality_recorder.h"
#include "quality/quality_store.h"

namespace vedhost::quality {

class QualitySink : public Publisher {
  public:
    // Opens the tables in the history file (the history opened it first)
    // under its cap; the presentation's scales turn the registers into
    // volts, hertz and per cent. False with a one-line reason.
    bool open(const std::string& historyPath, std::uint64_t maxBytes, const QualityOptions& options,
              const Presentation& presentation, std::string& error);

    // The record is what is read; the report is not needed.
    bool needsReport() const override { return false; }
    // A completed round: the record the device saved and when. A replay (the
    // host's own stored record offered back at start) is no new measurement
    // and is left out.
    void round(const Round& round) override;

    // What /api/quality answers (QualityRecorder::answer); any thread.
    bool answer(unsigned dataId, const std::string& week, Json::Value& document,
                std::string& error);

    // Waits until every ended interval is stored and week assessed.
    void flush();

  private:
    QualityStore store_;
    std::unique_ptr<QualityRecorder> recorder_;  // after store_: it goes first
};

}  // namespace vedhost::quality
