// Round-completion helpers that need no device: alarm ids, number texts,
// threshold hysteresis, the analog report decision and the round clock.
#pragma once

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <cstdint>
#include <ctime>
#include <string>

#include "host/vdevice.h"

namespace unidata {

// The alarm id of an AI signal: its signal id with the character at index 3
// made '6' and the one at index 8 made '1'. A shorter id keeps the positions
// it has; it is never lengthened.
std::string alarmIdFor(const std::string& signalId);

// A float as the host's alarm texts show it, byte for byte as Boost
// lexical_cast<std::string> makes it: "%.*g" with 9 significant digits, "nan"
// and "inf" with a minus sign when negative.
std::string numberText(float value);

// "当前值<value>高于阈值:<threshold>" for an upper limit, "…低于阈值:…" for a
// lower one.
std::string thresholdMessage(const std::string& valueText, const std::string& thresholdText,
                             bool upper);

// The alarm state after one value, with hysteresis: an upper alarm is raised
// at value >= threshold and held while value > recovery; a lower alarm is
// raised at value <= threshold and held while value < recovery.
bool thresholdActive(bool upper, bool active, float value, float threshold, float recovery);

// Whether an analog value is due to be reported under its setting at `now`
// (seconds since the epoch): it left the absolute or the percentage band
// around the last reported value (single precision, strict), or the period has
// run out since the last report (exact, whole seconds).
bool aoReportDue(const SMDVDevice::BAOSetting& setting, float value, std::int64_t now);

// The local time of a calendar time at one-second resolution, as Boost's
// second clock makes it. Throws std::runtime_error("could not convert
// calendar time to local time") when the C library cannot convert it.
boost::posix_time::ptime localSecondTime(std::time_t time);

// The round state (data present, round time) is written at the end of a round
// and read by value lookup on other host threads without a lock; these keep
// each access whole, also for the 64-bit round time on the 32-bit target.
template <typename T>
T loadShared(const T& member) {
    T copy;
    __atomic_load(&member, &copy, __ATOMIC_ACQUIRE);
    return copy;
}

template <typename T>
void storeShared(T& member, T value) {
    __atomic_store(&member, &value, __ATOMIC_RELEASE);
}

}  // namespace unidata
