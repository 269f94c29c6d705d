// What the web view, the JSON API and /metrics show of each meter: its state
// after the latest completed round (the MQTT state message), whether it
// answers, when its last round completed, its exchanges, time-outs and errors
// since start, and its alarms now raised and recently cleared.
//
// A publisher like MQTT: the line threads tell it of rounds, answering
// meters, alarm checks and exchanges; the HTTP server's thread reads it. Each
// call holds the one lock for a few copies, never for any I/O.
#pragma once

#include <json/value.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "common/wall_clock.h"
#include "hosting/publisher.h"
#include "presentation/alarm_tracker.h"
#include "presentation/presentation.h"
#include "presentation/state_message.h"

namespace vedhost {

class WebState : public Publisher {
  public:
    // Cleared alarms kept per meter, newest first.
    static constexpr std::size_t kClearedKept = 10;

    // The presentation scales the values and names their units; it must
    // outlive the state.
    explicit WebState(const Presentation& presentation) : presentation_(presentation) {}

    // A meter to show; before polling starts.
    void addMeter(unsigned dataId, const std::string& line, int slave);

    // Told the data id of a meter whose shown state changed (a round, the
    // meter answering or falling silent, an alarm raised or cleared); on the
    // line thread that changed it, after the lock is released. Set before
    // polling starts.
    void onChange(std::function<void(unsigned dataId)> listener) {
        listener_ = std::move(listener);
    }

    // Values the host adds to each meter's state (the energy ledger's); set
    // before polling starts, called on the line thread of the round.
    void setHostValues(HostValues values) { hostValues_ = std::move(values); }

    // A round shows the meter's state from its report.
    void round(const Round& round) override { this->round(round.dataId, round.report); }
    void round(unsigned dataId, const Json::Value& report);
    void answering(unsigned dataId, bool answering) override;
    void alarmCheck(unsigned dataId, int level, const std::string& key, const std::string& alarmId,
                    const std::string& valueText, const std::string& message, bool active,
                    unsigned short serial) override;
    void analogReport(unsigned, const std::string&, float) override {}
    void exchange(unsigned dataId, Exchange outcome) override;

    bool has(unsigned dataId) const { return meters_.count(dataId) != 0; }
    // The meter's state message plus "status" ("online", "offline" or
    // "unknown" before its first round), "last_round" (unix seconds),
    // "age_seconds", "rounds", "exchanges", "timeouts", "errors" and
    // "alarms": {"raised": [...], "cleared": [...]}. Null for an unknown id.
    Json::Value meter(unsigned dataId) const;
    // Every meter's, in data id order.
    Json::Value meters() const;
    // The same as JSON text on one line: what the server sends. The state
    // message is written once per round; a request only adds the rest.
    std::string meterText(unsigned dataId) const;
    std::string metersText() const;
    // {"raised": [...], "cleared": [...]} of every meter, each with its data_id.
    Json::Value alarms() const;
    // Every meter in Prometheus' text format.
    std::string metrics() const;

    // The clock the times shown are read from; tests set their own, which
    // then counts the ages too.
    void setClock(std::function<std::chrono::system_clock::time_point()> clock) {
        clock_ = std::move(clock);
        monotonic_ = [c = clock_] {
            return std::chrono::duration_cast<std::chrono::milliseconds>(c().time_since_epoch())
                .count();
        };
    }
    // The clock ages are counted by (milliseconds), apart from the wall
    // clock, so a step of the wall clock never shows a negative age or one of
    // decades.
    void setMonotonic(std::function<std::int64_t()> monotonic) {
        monotonic_ = std::move(monotonic);
    }

  private:
    struct Alarm {
        std::string alarmId, key, signal, value, message;
        int level = 0;
        std::int64_t since = 0;    // unix seconds it was raised
        std::int64_t cleared = 0;  // unix seconds it was cleared; 0 while raised
    };
    struct View {
        Json::Value state;
        std::string stateText;  // presentedJson(state)
        enum class Status { Unknown, Online, Offline } status = Status::Unknown;
        std::optional<std::chrono::system_clock::time_point> lastRound;
        std::int64_t lastRoundMono = 0;  // the monotonic clock's time of it
        std::uint64_t rounds = 0, exchanges = 0, timeouts = 0, errors = 0;
        AlarmTracker alarms;                  // which alarm checks are news
        std::map<std::string, Alarm> raised;  // under the tracker's names, in their order
        std::deque<Alarm> cleared;
    };

    std::string viewText(const View& view, std::chrono::system_clock::time_point now,
                         std::int64_t monoNow) const;
    void changed(unsigned dataId) const {
        if (listener_) listener_(dataId);
    }

    const Presentation& presentation_;
    std::function<void(unsigned)> listener_;
    HostValues hostValues_;
    std::function<std::chrono::system_clock::time_point()> clock_ = [] {
        return std::chrono::system_clock::now();
    };
    std::function<std::int64_t()> monotonic_ = monotonicMs;
    mutable std::mutex mutex_;
    std::map<unsigned, View> meters_;  // the set of meters is fixed before polling
};

}  // namespace vedhost
