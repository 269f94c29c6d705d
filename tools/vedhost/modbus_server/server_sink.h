// The Modbus server as one more sink behind the publisher seam: each
// completed round's record, and each change of a meter's answering, reach the
// served meters. A record played back from the host's store at start is not a
// measurement of now and is not served. The reports, alarms and analog
// reports are not its concern.
#pragma once

#include "hosting/publisher.h"
#include "modbus_server/served_meters.h"

namespace vedhost {

class ServerSink : public Publisher {
  public:
    // `meters` must outlive the sink.
    explicit ServerSink(ServedMeters& meters) : meters_(meters) {}

    bool needsReport() const override { return false; }
    void round(const Round& round) override {
        if (!round.replay) meters_.round(round.dataId, round.record.data(), round.record.size());
    }
    void answering(unsigned dataId, bool answering) override {
        meters_.answering(dataId, answering);
    }

  private:
    ServedMeters& meters_;
};

}  // namespace vedhost
