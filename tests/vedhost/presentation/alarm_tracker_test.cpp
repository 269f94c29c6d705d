// Which alarm checks are news, one meter's checks in the order the device
// reports them. The keys and the ASCII ids they give are the meter's report
// members as its report table names them ("A相电压" is phase_voltage_a,
// "A相过压告警" the meter's own phase A over-voltage alarm).
#include "presentation/alarm_tracker.h"

#include <gtest/gtest.h>

#include <string>

namespace vedhost {
namespace {

using News = AlarmTracker::News;

const char* newsText(News news) {
    static const char* const texts[] = {"none", "raised", "cleared"};
    return texts[static_cast<int>(news)];
}

TEST(AlarmTracker, OnlyAChangeIsNews) {
    struct Step {
        const char* alarmId;
        const char* key;
        const char* valueText;
        bool active;
        News news;
        const char* signal;  // nullptr: none, or not news
        const char* why;
    };
    const Step steps[] = {
        {"A01", "A相电压", "2561", false, News::None, nullptr, "first seen inactive: never raised"},
        {"A01", "A相电压", "2561", false, News::None, nullptr, "still never raised"},
        {"A01", "A相电压", "2561", true, News::Raised, "phase_voltage_a", "raised"},
        {"A01", "A相电压", "2570", true, News::None, nullptr, "raised again: no news"},
        {"A01", "B相电压", "2562", true, News::Raised, "phase_voltage_b", "a second key, one id"},
        {"A01", "A相电压", "2300", false, News::Cleared, "phase_voltage_a", "cleared"},
        {"A01", "A相电压", "2300", false, News::None, nullptr, "cleared again: no news"},
        {"A01", "B相电压", "2562", true, News::None, nullptr, "the other key is still raised"},
        {"A02", "A相电压", "2561", true, News::Raised, "phase_voltage_a", "one key, a second id"},
        {"A01", "A相电压", "2561", true, News::Raised, "phase_voltage_a", "raised once more"},
        {"A01", "B相电压", "2300", false, News::Cleared, "phase_voltage_b",
         "the second key clears"},
        // The meter's own alarms: the key is the configured signal id, the
        // value text the report member.
        {"0400101", "0400101", "A相过压告警", true, News::Raised, "alarm_a_over_voltage",
         "named by the value text"},
        {"0400101", "0400101", "A相过压告警", false, News::Cleared, "alarm_a_over_voltage",
         "cleared, named again"},
        {"T9", "B相电压", "A相过压告警", true, News::Raised, "phase_voltage_b",
         "the key before the value text"},
        {"T8", "no such member", "1", true, News::Raised, nullptr, "no signal to name"},
        {"T8", "no such member", "1", false, News::Cleared, nullptr, "cleared without one"},
    };
    AlarmTracker tracker;
    for (const Step& s : steps) {
        SCOPED_TRACE(std::string(s.alarmId) + " " + s.key + ": " + s.why);
        const AlarmTracker::Check c = tracker.check(s.alarmId, s.key, s.valueText, s.active);
        EXPECT_STREQ(newsText(c.news), newsText(s.news));
        EXPECT_STREQ(c.signal, s.signal);
    }
}

// The id and the key are one name together, and the same name every time.
TEST(AlarmTracker, NamesKeepIdAndKeyApart) {
    AlarmTracker tracker;
    const AlarmTracker::Check ab = tracker.check("A", "BC", "", true);
    const AlarmTracker::Check a = tracker.check("AB", "C", "", true);
    EXPECT_EQ(ab.news, News::Raised);
    EXPECT_EQ(a.news, News::Raised);
    EXPECT_NE(ab.name, a.name);
    EXPECT_EQ(tracker.check("A", "BC", "", true).name, ab.name);
    EXPECT_EQ(tracker.check("A", "BC", "", false).name, ab.name);
    // Ordered by alarm id first: the order the raised alarms are listed in.
    EXPECT_LT(tracker.check("A01", "Z", "", false).name, tracker.check("A02", "A", "", false).name);
}

TEST(AlarmSignal, KeyThenValueText) {
    struct Case {
        const char* key;
        const char* valueText;
        const char* id;
    };
    const Case cases[] = {
        {"A相电压", "", "phase_voltage_a"},
        {"C相电压", "A相过压告警", "phase_voltage_c"},
        {"0400105", "C相欠压告警", "alarm_c_under_voltage"},
        {"", "", nullptr},
        {"phase_voltage_a", "2561", nullptr},  // an ASCII id is not a report key
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.key) + " / " + c.valueText);
        EXPECT_STREQ(alarmSignal(c.key, c.valueText), c.id);
    }
}

}  // namespace
}  // namespace vedhost
