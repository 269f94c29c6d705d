#include "presentation/alarm_tracker.h"

#include "presentation/signal_values.h"

namespace vedhost {

AlarmTracker::Check AlarmTracker::check(const std::string& alarmId, const std::string& key,
                                        const std::string& valueText, bool active) {
    Check c;
    // A separator no alarm id contains, so that ("A", "BC") and ("AB", "C")
    // stay two alarms.
    c.name = alarmId + '\x1f' + key;
    const auto it = raised_.find(c.name);
    const bool wasRaised = it != raised_.end();
    if (active == wasRaised) return c;
    if (active) {
        raised_.insert(c.name);
        c.news = News::Raised;
    } else {
        raised_.erase(it);
        c.news = News::Cleared;
    }
    c.signal = alarmSignal(key, valueText);
    return c;
}

const char* alarmSignal(const std::string& key, const std::string& valueText) {
    const char* id = signalIdOfKey(key);
    return id != nullptr ? id : signalIdOfKey(valueText);
}

}  // namespace vedhost
