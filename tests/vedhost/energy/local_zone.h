// The energy tests' clocks: a time zone set for one test and put back after,
// and UTC texts made unix times by hand (timegm), never by the code under
// test.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

#include "tests/support/local_zone.h"

namespace vedhost::energy::test {

using testzone::LocalZone;

// "2024-03-30T23:00:00" read as UTC.
inline std::int64_t utc(const char* text) {
    std::tm tm{};
    std::sscanf(text, "%d-%d-%dT%d:%d:%d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
                &tm.tm_min, &tm.tm_sec);
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    return static_cast<std::int64_t>(timegm(&tm));
}

constexpr std::int64_t kHour = 3600, kDay = 86400;

}  // namespace vedhost::energy::test
