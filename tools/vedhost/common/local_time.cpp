#include "common/local_time.h"

#include <cstdio>
#include <ctime>

namespace vedhost {
namespace {

std::string localFormat(std::time_t seconds, const char* format) {
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[32];
    const std::size_t n = std::strftime(text, sizeof text, format, &local);
    return std::string(text, n);
}

}  // namespace

std::string timestamp(std::chrono::system_clock::time_point when) {
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count() %
        1000;
    char fraction[8];
    std::snprintf(fraction, sizeof fraction, ".%03d", static_cast<int>(millis));
    return localFormat(std::chrono::system_clock::to_time_t(when), "%Y-%m-%dT%H:%M:%S") +
           fraction;
}

std::string localText(std::int64_t unixSeconds) {
    return localFormat(static_cast<std::time_t>(unixSeconds), "%Y-%m-%dT%H:%M:%S");
}

std::string clockTime(std::chrono::system_clock::time_point when) {
    return localFormat(std::chrono::system_clock::to_time_t(when), "%H:%M:%S");
}

std::optional<std::int64_t> localTextToUnixMs(const char* text) {
    if (text == nullptr) return std::nullopt;
    std::tm tm{};
    unsigned ms = 0;
    char sep = 0;
    const int n = std::sscanf(text, "%d-%d-%d%c%d:%d:%d.%3u", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                              &sep, &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &ms);
    if (n < 6 || (sep != 'T' && sep != ' ')) return std::nullopt;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    tm.tm_isdst = -1;
    const std::time_t t = std::mktime(&tm);
    if (t == static_cast<std::time_t>(-1)) return std::nullopt;
    return static_cast<std::int64_t>(t) * 1000 + ms;
}

bool parseLocalTime(const std::string& text, std::string& normal) {
    unsigned y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    char sep = 0, tail = 0;
    const int n = std::sscanf(text.c_str(), "%4u-%2u-%2u%c%2u:%2u:%2u%c", &y, &mo, &d, &sep, &h,
                              &mi, &s, &tail);
    const bool dateOnly = n == 3;
    const bool minutes = n == 6 && (sep == 'T' || sep == ' ');
    const bool seconds = n == 7 && (sep == 'T' || sep == ' ');
    if (!dateOnly && !minutes && !seconds) return false;
    if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 59) return false;
    char out[32];
    std::snprintf(out, sizeof out, "%04u-%02u-%02uT%02u:%02u:%02u", y, mo, d, h, mi, s);
    normal = out;
    return true;
}

}  // namespace vedhost
