#include "unidata/round_checks.h"

#include <boost/date_time/gregorian/gregorian_types.hpp>
#include <charconv>
#include <cmath>
#include <cstring>
#include <stdexcept>

namespace unidata {

std::string alarmIdFor(const std::string& signalId) {
    // Signal and alarm ids share their layout; the kind digit (index 3) and
    // the sub-kind digit (index 8) say "alarm".
    struct Mark {
        std::size_t index;
        char digit;
    };
    constexpr Mark kAlarmMarks[] = {{3, '6'}, {8, '1'}};
    std::string alarmId = signalId;
    for (const auto& mark : kAlarmMarks)
        if (mark.index < alarmId.size()) alarmId[mark.index] = mark.digit;
    return alarmId;
}

std::string numberText(float value) {
    // The float widened to double, 9 significant digits as "%.9g" gives
    // them; no stream, no locale. Not-a-number and infinity keep their sign.
    if (std::isnan(value)) return std::signbit(value) ? "-nan" : "nan";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    char text[32];
    // Whole numbers of up to nine digits (register values, most limits) are
    // printed as integers by "%.9g"; minus zero keeps its sign.
    if (std::fabs(value) < 1e9f && value == std::trunc(value) &&
        !(value == 0 && std::signbit(value))) {
        const auto end = std::to_chars(text, text + sizeof text, static_cast<long>(value)).ptr;
        return std::string(text, end);
    }
    const auto end = std::to_chars(text, text + sizeof text, static_cast<double>(value),
                                   std::chars_format::general, 9)
                         .ptr;
    return std::string(text, end);
}

std::string thresholdMessage(const std::string& valueText, const std::string& thresholdText,
                             bool upper) {
    constexpr char kCurrent[] = "当前值";
    constexpr std::size_t kCurrentLength = sizeof kCurrent - 1;
    const char* relation = upper ? "高于阈值:" : "低于阈值:";
    const std::size_t relationLength = std::strlen(relation);
    std::string message;
    message.reserve(kCurrentLength + valueText.size() + relationLength + thresholdText.size());
    message.append(kCurrent, kCurrentLength)
        .append(valueText)
        .append(relation, relationLength)
        .append(thresholdText);
    return message;
}

bool thresholdActive(bool upper, bool active, float value, float threshold, float recovery) {
    if (upper) return active ? value > recovery : value >= threshold;
    return active ? value < recovery : value <= threshold;
}

bool aoReportDue(const SMDVDevice::BAOSetting& s, float value, std::int64_t now) {
    if (s.absEnable && (value > s.lastValue + s.absDelta || value < s.lastValue - s.absDelta))
        return true;
    if (s.pctEnable && ((100.0f + s.pctDelta) * s.lastValue / 100.0f < value ||
                        value < (100.0f - s.pctDelta) * s.lastValue / 100.0f))
        return true;
    if (s.periodEnable) {
        // Whole seconds in double are exact; single precision would resolve
        // today's epoch seconds only in steps of 128 s.
        const double due =
            static_cast<double>(s.lastReportTime) + static_cast<double>(s.periodMinutes) * 60.0;
        if (static_cast<double>(now) > due) return true;
    }
    return false;
}

boost::posix_time::ptime localSecondTime(std::time_t time) {
    std::tm local{};
    if (localtime_r(&time, &local) == nullptr)
        throw std::runtime_error("could not convert calendar time to local time");
    const boost::gregorian::date day(static_cast<unsigned short>(local.tm_year + 1900),
                                     static_cast<unsigned short>(local.tm_mon + 1),
                                     static_cast<unsigned short>(local.tm_mday));
    return boost::posix_time::ptime(
        day, boost::posix_time::time_duration(local.tm_hour, local.tm_min, local.tm_sec));
}

}  // namespace unidata
