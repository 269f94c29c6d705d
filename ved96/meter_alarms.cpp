#include <cstdint>

#include "ved96/ved96.h"

namespace {

// The meter's own voltage limit alarms, in the order they are forwarded, with
// their bit in the limit alarm status word (register 102).
struct MeterAlarm {
    const char* name;
    int bit;
};
constexpr MeterAlarm kMeterAlarms[] = {
    {"A相过压告警", 0}, {"A相欠压告警", 1}, {"B相过压告警", 2},
    {"B相欠压告警", 3}, {"C相过压告警", 4}, {"C相欠压告警", 5},
};

}  // namespace

void ved96::RunCheckThreshold() {
    if (b_mode_ != 1) return;  // only the configuration file maps them
    const std::uint16_t status = data_.limit_alarm_status;
    for (const auto& alarm : kMeterAlarms) {
        const auto mapped = alarmSignalIdMap_.find(alarm.name);
        if (mapped == alarmSignalIdMap_.end() || mapped->second.empty()) continue;
        const std::string& signalId = mapped->second;
        // Serials count the forwarded alarms of the round, from 1.
        const unsigned short serial = alarmSerial_++;
        CheckThresholdBool(2, signalId, signalId, alarm.name, alarm.name,
                           ((status >> alarm.bit) & 1u) != 0, serial);
    }
}
