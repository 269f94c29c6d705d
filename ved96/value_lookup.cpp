#include <stdexcept>

#include "unidata/round_checks.h"
#include "ved96/ved96.h"

namespace {

const char kNotReady[] = "数据未就绪";
const char kTimedOut[] = "数据已超时";
const char kNotSupported[] = "不支持变量";

// Data are fresh up to 60 whole seconds after the round; both times have
// one-second resolution, so 61 s is the first stale age.
constexpr long long kFreshMicroseconds = 60999999;

}  // namespace

// The meter's values reach the host as the whole record and the report; a
// single value is never served, only the reason why not.
float ved96::Get_Value(unsigned int, const std::string&) const {
    if (!unidata::loadShared(dataReady_)) throw std::out_of_range(kNotReady);
    const boost::posix_time::ptime now = unidata::localSecondTime(timeSource_());
    const boost::posix_time::ptime round = unidata::loadShared(roundTime_);
    if (round.is_pos_infinity()) throw std::out_of_range(kNotSupported);
    if (round.is_special()) throw std::out_of_range(kTimedOut);
    if ((now - round).total_microseconds() > kFreshMicroseconds) throw std::out_of_range(kTimedOut);
    throw std::out_of_range(kNotSupported);
}
