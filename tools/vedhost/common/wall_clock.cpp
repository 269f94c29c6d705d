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

std::int64_t releaseBuiltMs() { return static_cast<std::int64_t>(VED_BUILD_UNIX) * 1000; }

std::string spanText(std::int64_t ms) {
    const std::int64_t s = std::llabs(ms) / 1000;
    if (s < 120) return std::to_string(s) + " s";
    if (s < 2 * 3600) return std::to_string(s / 60) + " min";
    if (s < 2 * 86400) return std::to_string(s / 3600) + " h";
    return std::to_string(s / 86400) + " days";
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
