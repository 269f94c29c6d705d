// The history behind the publisher seam: every round a device completes is
// stored with the time its record was saved, except the stored record the
// device replays at start, which the store holds already.
#pragma once

#include "history/history_store.h"
#include "hosting/publisher.h"

namespace vedhost {

class HistorySink : public Publisher {
  public:
    // The store must be open for writing and outlive the sink.
    explicit HistorySink(HistoryStore& store) : store_(store) {}

    // The record is what is kept; the report is not needed.
    bool needsReport() const override { return false; }
    // Queues the round's record; a store that refuses it says why on stderr.
    void round(const Round& round) override;

  private:
    HistoryStore& store_;
};

}  // namespace vedhost
