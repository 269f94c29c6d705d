// Local time as vedhost writes and reads it: "2024-03-07T09:05:02" in the
// controller's time zone (TZ), with milliseconds where events need them.
// Every conversion between that text, unix time and a clock reading is here.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace vedhost {

// "2024-03-07T09:05:02.123", as the event log and the record times say it.
std::string timestamp(std::chrono::system_clock::time_point when);

// "2024-03-07T09:05:02".
std::string localText(std::int64_t unixSeconds);

// The time of day alone, "14:03:07", for console lines.
std::string clockTime(std::chrono::system_clock::time_point when);

// "2024-03-07T09:05:02.123" (or with a space for the T, seconds and
// milliseconds optional) as local time to unix milliseconds; nullopt when it
// is not one.
std::optional<std::int64_t> localTextToUnixMs(const char* text);

// A local time a person typed, "2024-03-07T09:05:02" (or a space for the T,
// minutes or the date alone), as "2024-03-07T09:05:02"; false when it is
// not one.
bool parseLocalTime(const std::string& text, std::string& normal);

}  // namespace vedhost
