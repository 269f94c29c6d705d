// The time the history stamps its rows with and keeps its tiers by: the wall
// clock, as long as the monotonic clock bears it out.
//
// Each round's wall time is read beside the monotonic clock. While the two
// move alike, a row is stamped with the wall time, and the history follows
// the wall clock's slow corrections. When the wall clock steps away from
// what the monotonic clock counts (a bad NTP or GPS answer, 20 years ahead or
// back), rows are stamped with the time the monotonic clock bears out: the
// last trusted reading plus the time since. A step that holds for an hour is
// the clock set right, and rows follow it from then on; one the clock comes
// back from within the hour never reaches the history at all. Nothing is
// trimmed by age until the time kept to has held for an hour, so a step
// forward cannot make old rows look expired.
//
// A wall time before this release was built is a clock not set yet (a board
// without a real-time clock boots in 1970): until a later one is read, rows
// have no time to be stamped with and are not stored.
#pragma once

#include <cstdint>
#include <optional>

#include "common/wall_clock.h"

namespace vedhost {

class HistoryClock {
  public:
    static constexpr std::int64_t kHoldMs = 3600 * 1000;

    // `earliestMs`: a wall time before this is a clock not set.
    explicit HistoryClock(std::int64_t earliestMs = 0, std::int64_t holdMs = kHoldMs)
        : earliest_(earliestMs), hold_(holdMs) {}

    struct Stamp {
        bool keep = false;    // false: the clock was never set; the row has no time
        std::int64_t ms = 0;  // the row's time, unix milliseconds
        bool borne = false;   // the wall clock read otherwise: the monotonic clock's time
    };
    // What happened to the time kept to with this reading.
    enum class Change {
        None,
        Set,       // the first reading of a set clock, after readings of one not set
        Away,      // the wall clock stepped away from the monotonic clock's time
        Back,      // it came back within the hour
        Followed,  // it held its step for an hour: rows follow it from now on
    };

    // Judges the time of a round.
    Stamp stamp(const ClockReading& reading);
    Change lastChange() const { return change_; }
    // The size of the step held, for Followed (positive: forward).
    std::int64_t lastStepMs() const { return step_; }

    // True once the time kept to has held for the hold time (an hour): only
    // then may rows be trimmed by their age against it.
    bool settled(std::int64_t monoMs) const {
        return reference_.has_value() && monoMs - since_ >= hold_;
    }

  private:
    std::int64_t earliest_, hold_;
    std::optional<std::int64_t> reference_;  // trusted wall minus monotonic
    std::int64_t since_ = 0;                 // monotonic time the reference was taken
    struct Away {
        std::int64_t offset;  // the wall clock's, away from the reference
        std::int64_t since;   // monotonic time it stepped there
    };
    std::optional<Away> away_;
    bool unset_ = false;  // the latest reading was of a clock not set
    Change change_ = Change::None;
    std::int64_t step_ = 0;
};

}  // namespace vedhost
