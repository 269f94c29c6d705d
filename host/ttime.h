// The host's calendar time stamp, as stored in device records.
#pragma once

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <cstdint>

#include "host/api.h"

#pragma pack(push, 1)
// Seven bytes, little-endian year first: the layout devices embed in their
// records and that history and live-data consumers decode.
struct ttime {
    std::uint16_t year;
    std::uint8_t month;
    std::uint8_t day;
    std::uint8_t hour;
    std::uint8_t minute;
    std::uint8_t second;
};
#pragma pack(pop)
static_assert(sizeof(ttime) == 7, "ttime is the 7-byte record time stamp");

// Splits a local time into the record time stamp. A special value (not a
// date-time, infinities) gives all fields zero.
HOST_API ttime get_ttime(boost::posix_time::ptime time);
