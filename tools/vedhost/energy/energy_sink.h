// The energy room's sink: every completed round of a meter taken into its
// books (books.h), the changes handed to the store (when the history is
// kept, else the books live in memory from start), one stderr line per new
// epoch, and the demand limit raised and cleared as a vedhost alarm.
//
// It is fed a round's time and reading: round() with a Reading, or
// roundRecord() with the record the device saved (the registers as the
// meter sent them: nothing of the report is needed). Records played back
// from the cache are not fed to it (the books have them already). Other sinks read
// what it holds for their messages: stateValues() adds the ledger's totals
// and the demand beside a meter's raw counters, and each call is safe from
// any thread while rounds go on.
//
// A store whose file the storage refused at start (not ready()) has the
// books wait: a meter's rounds are not taken until the file opens, then its
// books are restored and go on from the last stored reading, the time between
// counted as a gap (estimated), as after a stop. Nothing stored is written
// over by books that started without it.
#pragma once

#include <json/value.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "energy/books.h"
#include "energy/energy_options.h"
#include "energy/energy_store.h"

namespace vedhost::energy {

// One value the sink adds to a meter's state, for the announcements and
// the references: its id, label, unit (empty: the tariffs' currency) and
// classes.
struct StateValue {
    const char* id;
    const char* label;
    const char* unit;
    const char* deviceClass;
    const char* stateClass;
};
// Every value stateValues() may give, in the order given.
const std::vector<StateValue>& stateValueRows();

// The demand alarm as the other sinks take an alarm check.
struct LimitAlarm {
    unsigned dataId = 0;
    bool raised = false;
    std::string alarmId, key, valueText, message;
    int level = 1;
};

class EnergySink {
  public:
    // `store` may be nullptr (no history kept); it must outlive the sink.
    EnergySink(EnergyRules rules, EnergyStore* store);

    // A meter to keep; before rounds begin. Its books are restored from the
    // store, as of `nowMs`.
    void addMeter(unsigned dataId, std::int64_t nowMs);

    // Told of each raised or cleared demand limit; set before rounds begin.
    void onLimit(std::function<void(const LimitAlarm&)> listener) {
        listener_ = std::move(listener);
    }

    // A meter's round at `unixMs`.
    void round(unsigned dataId, std::int64_t unixMs, const Reading& reading);
    // The same from the device's record (1009 bytes); false for another image.
    bool roundRecord(unsigned dataId, std::int64_t unixMs, const unsigned char* record,
                     std::size_t length);

    bool has(unsigned dataId) const { return books_.has(dataId); }
    MeterSummary summary(unsigned dataId) const { return books_.summary(dataId); }
    // {"values": {"energy_fwd_active_total": 6589, ...}, "units": {...}} for
    // a meter's state; null before its first reading.
    Json::Value stateValues(unsigned dataId) const;

    const EnergyRules& rules() const { return books_.rules(); }
    EnergyStore* store() const { return store_; }

  private:
    // Whether the meter's books are restored, restoring them once the store
    // is ready; false while they wait for it.
    bool restored(unsigned dataId, std::int64_t nowMs);
    void restore(unsigned dataId, std::int64_t nowMs);

    Books books_;
    EnergyStore* store_;
    std::mutex waitingMutex_;
    std::set<unsigned> waiting_;  // meters whose books wait for the store's file
    std::atomic<bool> anyWaiting_{false};
    std::function<void(const LimitAlarm&)> listener_;
};

// The books' rules from the settings; readings further apart than five
// poll intervals (two minutes at least) are a gap.
EnergyRules energyRules(const EnergyOptions& options, double intervalSeconds);

// The alarm id and key a demand limit is raised under.
constexpr const char* kLimitAlarmId = "vedhost_demand_limit";
constexpr const char* kLimitAlarmKey = "demand_active_projected";

}  // namespace vedhost::energy
