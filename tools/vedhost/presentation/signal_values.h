// A meter's values by ASCII id, taken from the JSON report the plug-in returns
// or decoded from a stored record, for vedhost's own outputs (MQTT state,
// --show, history export). The plug-in's report itself is never changed.
//
// Value types by signal: measurements, energies, harmonics, ratings and the
// status words are reals (as the report has them); a status bit is a boolean
// (true when set: an alarm raised, an input closed, an output operated); a
// setting is the report's text of its code; "update_time" is local time as
// "2024-03-07T09:05:02". The nested alarm object is not a value of its own:
// its members are the alarm bits.
#pragma once

#include <json/value.h>

#include <cstddef>
#include <string>
#include <vector>

#include "ved96/signals.h"

namespace vedhost {

struct SignalValue {
    const ved96_report::Signal* signal;  // signal->id is the ASCII id
    Json::Value value;
};

// The signals present in a report, in report order; a member that is missing
// or of an unexpected type is left out.
std::vector<SignalValue> reportValues(const Json::Value& report);

// The signals of a stored record image; empty unless it is a whole record.
std::vector<SignalValue> recordValues(const unsigned char* record, std::size_t length);

// The ASCII id of a report key ("A相电压" gives "phase_voltage_a"), or
// nullptr when the key is not a report member.
const char* signalIdOfKey(const std::string& key);

// {"phase_voltage_a": 220, ...}
Json::Value valuesById(const std::vector<SignalValue>& values);

}  // namespace vedhost
