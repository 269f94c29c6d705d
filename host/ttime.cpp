#include "host/ttime.h"

#include <boost/date_time/posix_time/posix_time.hpp>

ttime get_ttime(boost::posix_time::ptime time) {
    ttime stamp{};
    if (time.is_special()) return stamp;
    const auto date = time.date();
    const auto clock = time.time_of_day();
    stamp.year = static_cast<std::uint16_t>(date.year());
    stamp.month = static_cast<std::uint8_t>(date.month().as_number());
    stamp.day = static_cast<std::uint8_t>(date.day());
    stamp.hour = static_cast<std::uint8_t>(clock.hours());
    stamp.minute = static_cast<std::uint8_t>(clock.minutes());
    stamp.second = static_cast<std::uint8_t>(clock.seconds());
    return stamp;
}
