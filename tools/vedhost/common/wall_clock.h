// The wall clock beside the monotonic one. A controller's wall clock can
// step (a bad NTP or GPS answer, one set by hand, a board without a
// real-time clock that boots in 1970); the monotonic clock only ever counts
// the time that passed. Reading both at once tells a step of the wall clock
// from time going by: between two readings both should have moved alike.
//
// The monotonic clock here is the boot-time clock, which also counts the
// time a suspended system slept, so a resume is not taken for a step.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vedhost {

struct ClockReading {
    std::int64_t wallMs = 0;  // unix milliseconds
    std::int64_t monoMs = 0;  // milliseconds since boot
};

// Both clocks, now.
ClockReading readClocks();
// The monotonic clock alone, now.
std::int64_t monotonicMs();

// Wall and monotonic time that disagree by more than this between two
// readings are a step of the wall clock; less is the clock being slewed, or
// the time between taking one reading and the other.
constexpr std::int64_t kClockStepMs = 5000;

// Unix milliseconds of the start of the day before this release was built:
// a wall clock earlier than that has not been set.
std::int64_t releaseBuiltMs();

// A span of time as a console line says it: "12 s", "5 min", "3 h", "7305 days".
std::string spanText(std::int64_t ms);

// Steps of the wall clock between successive readings.
class ClockSteps {
  public:
    // How far the wall clock stepped since the previous reading (positive:
    // forward), when it disagrees with the monotonic clock by more than
    // kClockStepMs; nothing on the first reading.
    std::optional<std::int64_t> next(const ClockReading& now);

  private:
    std::optional<ClockReading> last_;
};

}  // namespace vedhost
