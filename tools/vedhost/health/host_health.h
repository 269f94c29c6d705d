// The host's condition beside its meters, as an operator of many controllers
// watches it: the lines whose adapter is gone, a history that does not
// store, a broker that is away, steps of the wall clock. The host fills a
// HostHealth from its parts; the functions here say it as /metrics lines
// (Prometheus' names, base units), as the service's status and as the page's
// header lines.
#pragma once

#include <json/value.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vedhost {

struct LineHealth {
    std::string line;           // "rtu /dev/ttyUSB0"
    bool up = true;             // its device is open (or not tried yet)
    long reopens = 0;           // times it came back after going
    std::int64_t goneAtMs = 0;  // unix ms it went, while it is gone
    std::string error;          // why, while it is gone
};

struct HistoryHealth {
    enum class Stop { None, Full, ReadOnly, Failed };
    Stop stop = Stop::None;  // why storing stopped, while it is stopped
    std::int64_t stoppedAtMs = 0;
    std::string error;  // what the store was told, while it is stopped
    std::uint64_t stored = 0, notStored = 0;
    std::uint64_t bytes = 0, maxBytes = 0;
};

struct BrokerHealth {
    unsigned dataId = 0;  // each meter has its own connection
    bool connected = false;
    std::int64_t awaySinceMs = 0;  // unix ms, while it is away
    std::uint64_t queued = 0, dropped = 0;
};

struct HostHealth {
    std::vector<LineHealth> lines;
    std::optional<HistoryHealth> history;  // none: no history is kept
    std::vector<BrokerHealth> brokers;     // empty: no MQTT
    long clockSteps = 0;
    bool clockUnset = false;  // the wall clock reads a time before this release was built
};

// The host's families in Prometheus' text format (version 0.0.4).
std::string healthMetrics(const HostHealth& health);

// The service's status: "3 of 3 meters answering", then what is wrong in a
// few words: "; history read-only", "; adapter gone on rtu /dev/ttyUSB0",
// "; broker away".
std::string healthStatus(const HostHealth& health, int polled, int answering);

// What /api/health adds for the page: "problems", one {"text", "since"} per
// thing wrong (since: unix seconds), and the parts' figures.
Json::Value healthJson(const HostHealth& health);

}  // namespace vedhost
