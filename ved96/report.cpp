// The meter's JSON report: one flat object keyed by the meter's signal names,
// rebuilt from the record once per completed round.
#include <json/value.h>

#include <cstdint>
#include <mutex>
#include <sstream>
#include <string>

#include "ved96/report_tables.h"
#include "ved96/ved96.h"

namespace {

using namespace ved96_report;

// Each key is looked up in place (inserted on the first build only) and gets a
// value made on the stack and moved in: a warm build allocates nothing for a
// numeric signal.
void writeNumber(Json::Value& report, const ved96_Data_t& record, const NumericSignal& signal) {
    report[signal.key] = Json::Value(convert(registerAt(record, signal.offset), signal.conversion));
}

template <std::size_t N>
void writeNumbers(Json::Value& report, const ved96_Data_t& record,
                  const NumericSignal (&signals)[N]) {
    for (const NumericSignal& signal : signals) writeNumber(report, record, signal);
}

// The word as a number, then each of its bits as text; the voltage alarms are
// also kept as booleans in "AlertArray".
void writeStatusWord(Json::Value& report, const ved96_Data_t& record, const StatusWord& status) {
    writeNumber(report, record, status.word);
    const std::uint16_t word = registerAt(record, status.word.offset);
    for (std::size_t i = 0; i < status.bitCount; ++i) {
        const BitSignal& bit = status.bits[i];
        const bool set = ((word >> bit.bit) & 1u) != 0;
        report[bit.key] = Json::Value(set ? status.setText : status.clearText);
        if (status.alsoInAlertArray) report[kAlertArrayKey][bit.key] = Json::Value(set);
    }
}

// "2024-3-7 9:5:2": plain decimal parts, no padding; the 8-bit parts are
// printed as numbers, not as characters.
std::string updateTimeText(const ttime& time) {
    std::ostringstream text;
    text << static_cast<unsigned>(time.year) << '-' << static_cast<unsigned>(time.month) << '-'
         << static_cast<unsigned>(time.day) << ' ' << static_cast<unsigned>(time.hour) << ':'
         << static_cast<unsigned>(time.minute) << ':' << static_cast<unsigned>(time.second);
    return text.str();
}

}  // namespace

void ved96::GenJsonData() {
    std::lock_guard<std::mutex> lock(jsonMutex_);
    // Once per round: later calls for the same round (report requests) keep
    // the report as it is, even if the record has changed since.
    if (roundTime_ == reportTime_) return;

    Json::Value& report = jsonData_;
    writeNumbers(report, data_, kMeasurements);
    writeNumber(report, data_, kSoePointerTotal);
    for (const StatusWord& status : kStatusWords) writeStatusWord(report, data_, status);
    writeNumbers(report, data_, kEnergies);
    for (const HarmonicSignal& harmonic : kHarmonics)
        report[harmonic.key] = Json::Value(static_cast<double>(registerAt(data_, harmonic.offset)));
    writeNumbers(report, data_, kRatings);
    for (const SettingSignal& setting : kSettings)
        report[setting.key] = Json::Value(settingText(setting, registerAt(data_, setting.offset)));
    report[kUpdateTimeKey] = Json::Value(updateTimeText(data_.update_time));

    // Stamped only once every member holds this round's value: if a build is
    // cut short (out of memory), the next call for the same round builds again
    // instead of leaving a report that mixes two rounds.
    reportTime_ = roundTime_;
}
