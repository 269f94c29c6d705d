#include "common/wall_clock.h"

#include <time.h>

#include <chrono>
#include <cstdlib>

#ifndef VED_BUILD_UNIX
#define VED_BUILD_UNIX 0
#endif

namespace vedhost {

std::int64_t monotonicMs() {
    timespec t{};
    clock_gettime(CLOCK_BOOTTIME, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

ClockReading readClocks() {
    ClockReading r;
    r.monoMs = monotonicMs();
    r.wallMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::system_clock::now().time_since_epoch())
                   .count();
    return r;
}

// The day before the one the release was built on (UTC), so that no time
// zone, and no clock a little behind, reads as a clock not set.
std::int64_t releaseBuiltMs() {
    constexpr std::int64_t kDay = 86400;
    const std::int64_t built = static_cast<std::int64_t>(VED_BUILD_UNIX);
    return (built / kDay * kDay - kDay) * 1000;
}

std::string spanText(std::int64_t ms) {
    // To the nearest unit: a step of a day measured between two readings a
    // few milliseconds apart is "24 h", not "23 h".
    const std::int64_t s = (std::llabs(ms) + 500) / 1000;
    auto in = [s](std::int64_t unit) { return std::to_string((s + unit / 2) / unit); };
    if (s < 120) return std::to_string(s) + " s";
    if (s < 2 * 3600) return in(60) + " min";
    if (s < 2 * 86400) return in(3600) + " h";
    return in(86400) + " days";
}

std::optional<std::int64_t> ClockSteps::next(const ClockReading& now) {
    std::optional<std::int64_t> step;
    if (last_) {
        const std::int64_t moved = (now.wallMs - last_->wallMs) - (now.monoMs - last_->monoMs);
        if (std::llabs(moved) > kClockStepMs) step = moved;
    }
    last_ = now;
    return step;
}

}  // namespace vedhost
