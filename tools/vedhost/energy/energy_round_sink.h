// The energy books behind the publisher seam: each round's record (the
// registers as the meter sent them; no report is needed) taken into the
// books with the time the device saved it. The cache played back at start
// is left out: the books hold those rounds already. Added before the web
// view and MQTT, so that their state messages carry the totals of the same
// round.
#pragma once

#include <chrono>

#include "energy/energy_sink.h"
#include "hosting/publisher.h"

namespace vedhost::energy {

class EnergyRoundSink : public Publisher {
  public:
    explicit EnergyRoundSink(EnergySink& sink) : sink_(sink) {}

    bool needsReport() const override { return false; }
    void round(const Round& round) override {
        if (round.replay) return;
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            round.saved.time_since_epoch())
                            .count();
        sink_.roundRecord(round.dataId, ms, round.record.data(), round.record.size());
    }

  private:
    EnergySink& sink_;
};

}  // namespace vedhost::energy
