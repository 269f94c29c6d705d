#include "health/clock_watch.h"

#include <chrono>

#include "common/local_time.h"

namespace vedhost {

void ClockWatch::check(const ClockReading& now, std::ostream& out) {
    const auto when = std::chrono::system_clock::time_point(std::chrono::milliseconds(now.wallMs));
    unset_ = now.wallMs < earliest_;
    if (now.wallMs < earliest_ && !unsetSaid_) {
        unsetSaid_ = true;
        out << "vedhost: clock: the wall clock reads " << timestamp(when)
            << ", before this release was built; it has not been set" << std::endl;
    }
    const auto step = detector_.next(now);
    if (!step) return;
    ++steps_;
    if (now.wallMs >= earliest_) unsetSaid_ = false;
    out << "vedhost: clock: the wall clock stepped " << spanText(*step)
        << (*step > 0 ? " forward" : " back") << ", to " << timestamp(when) << std::endl;
}

}  // namespace vedhost
