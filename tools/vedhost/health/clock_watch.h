// Steps of the wall clock, as the operator hears of them: the host reads
// both clocks every tenth of a second or so and says in one line when the
// wall clock stepped away from what the monotonic clock counts, forward or
// back, and by how much. A wall clock that reads a time before this release
// was built has not been set yet (a board without a real-time clock); that
// too is said once.
#pragma once

#include <atomic>
#include <cstdint>
#include <ostream>

#include "common/wall_clock.h"

namespace vedhost {

class ClockWatch {
  public:
    // `earliestMs`: a wall time before this is a clock not set.
    explicit ClockWatch(std::int64_t earliestMs = releaseBuiltMs()) : earliest_(earliestMs) {}

    // Compares this reading with the last; a step is one line on `out`.
    void check(const ClockReading& now, std::ostream& out);
    // Steps seen since the host started, and whether the latest reading was
    // of a clock not set; any thread.
    long steps() const { return steps_.load(); }
    bool unset() const { return unset_.load(); }

  private:
    std::int64_t earliest_;
    ClockSteps detector_;
    bool unsetSaid_ = false;
    std::atomic<long> steps_{0};
    std::atomic<bool> unset_{false};
};

}  // namespace vedhost
