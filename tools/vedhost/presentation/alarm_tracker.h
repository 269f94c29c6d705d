// Which of a meter's alarm checks are news. The device reports every alarm it
// evaluates in every round, raised or not; only a change is news: an alarm
// raised that was not, or cleared that was. An alarm is one alarm id and one
// key together (a threshold's alarm id may watch several report members), and
// an alarm first seen inactive was never raised, so it is not news either.
//
// One tracker per meter. It is not locked: the publisher that keeps it calls
// it under its own lock.
#pragma once

#include <set>
#include <string>

namespace vedhost {

class AlarmTracker {
  public:
    enum class News { None, Raised, Cleared };

    struct Check {
        News news = News::None;
        // The alarm id and key as one name: the same name for every check
        // of one alarm, and the order a meter's raised alarms are listed in.
        std::string name;
        // The ASCII id of the report member the alarm is about, or nullptr
        // when there is none; static text. Set only when news.
        const char* signal = nullptr;
    };

    // Takes one check as the device reports it. `valueText` names the
    // signal of the meter's own alarms, whose key is not a report member.
    Check check(const std::string& alarmId, const std::string& key, const std::string& valueText,
                bool active);

  private:
    std::set<std::string> raised_;  // names of the alarms now raised
};

// The ASCII id of the signal an alarm is about: a threshold names its report
// member in the key, the meter's own alarms name theirs in the value text.
// nullptr when neither is a report member.
const char* alarmSignal(const std::string& key, const std::string& valueText);

}  // namespace vedhost
