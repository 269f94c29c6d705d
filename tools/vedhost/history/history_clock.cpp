#include "history/history_clock.h"

#include <cstdlib>

namespace vedhost {

HistoryClock::Stamp HistoryClock::stamp(const ClockReading& r) {
    const std::int64_t offset = r.wallMs - r.monoMs;
    const bool set = r.wallMs >= earliest_;
    const bool wasUnset = unset_;
    change_ = Change::None;
    if (!reference_) {
        if (!set) {
            unset_ = true;
            return {};
        }
        reference_ = offset;
        since_ = r.monoMs;
        unset_ = false;
        if (wasUnset) change_ = Change::Set;
        return {true, r.wallMs, false};
    }
    if (std::llabs(offset - *reference_) <= kClockStepMs) {
        // The clock as the monotonic clock counts it, give or take a slew.
        reference_ = offset;
        if (away_) change_ = Change::Back;
        away_.reset();
        return {true, r.wallMs, false};
    }
    if (!away_ || std::llabs(offset - away_->offset) > kClockStepMs) {
        if (!away_) change_ = Change::Away;
        away_ = Away{offset, r.monoMs};
    } else {
        away_->offset = offset;
    }
    // A clock not set never becomes the time kept to, however long it reads so.
    if (set && r.monoMs - away_->since > hold_) {
        step_ = offset - *reference_;
        reference_ = offset;
        since_ = r.monoMs;
        away_.reset();
        change_ = Change::Followed;
        return {true, r.wallMs, false};
    }
    return {true, *reference_ + r.monoMs, true};
}

}  // namespace vedhost
