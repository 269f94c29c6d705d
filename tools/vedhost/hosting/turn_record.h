// What one device did during a turn at the plug-in, as the services seam and
// the device's line saw it: gathered while the turn runs, handed on to the
// publishers by the scheduler after it. A turn in which the device saved its
// record completed a round.
#pragma once

#include <chrono>
#include <string>
#include <variant>
#include <vector>

#include "hosting/publisher.h"

namespace vedhost {

// A record the device saved (SaveDeviceHistory).
struct SavedRecord {
    std::chrono::system_clock::time_point when;
    std::vector<unsigned char> bytes;
    bool replay = false;  // the host's stored record played back (LoadFromCache)
};

// The calls a publisher hears of, as the device made them.
struct AlarmCheckSeen {
    int level = 0;
    std::string key, alarmId, valueText, message;
    bool active = false;
    unsigned short serial = 0;
};
struct AnalogReportSeen {
    std::string key;
    float value = 0;
};
struct ExchangeSeen {
    Publisher::Exchange outcome = Publisher::Exchange::Failed;
};
using Seen = std::variant<AlarmCheckSeen, AnalogReportSeen, ExchangeSeen>;

struct TurnRecord {
    std::vector<Seen> seen;          // in the order they happened
    std::vector<SavedRecord> saved;  // in the order saved
    bool completed() const { return !saved.empty(); }
};

// Hands what a turn of meter `dataId` saw on to `to`, in order.
void handOn(unsigned dataId, const std::vector<Seen>& seen, Publisher& to);

}  // namespace vedhost
