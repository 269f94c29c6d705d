// A meter's state after a completed round: what MQTT's `state` message and
// the web API's meters carry, built in one place so the two never differ.
//   {"data_id", "time", "line", "slave", "values": {ASCII id: value},
//    "units": {ASCII id: unit}}
// The values are scaled and the units named as the user's presentation says;
// "units" is left out when no value has one. Values the host adds of its own
// (the energy ledger's totals beside the raw counters) follow the meter's.
#pragma once

#include <json/value.h>

#include <functional>
#include <string>

#include "presentation/presentation.h"

namespace vedhost {

// `time` is the local time the round was taken, as event_log's timestamp()
// writes it; `line` names the line as LineConfig::name() does.
Json::Value stateMessage(unsigned dataId, const std::string& time, const std::string& line,
                         int slave, const Json::Value& report, const Presentation& presentation);
// The same with the host's values: {"values": {id: value}, "units": {id:
// unit}}, or null for none.
Json::Value stateMessage(unsigned dataId, const std::string& time, const std::string& line,
                         int slave, const Json::Value& report, const Presentation& presentation,
                         const Json::Value& hostValues);

// Where a sink asks for the host's values of a meter's state; empty: none.
using HostValues = std::function<Json::Value(unsigned dataId)>;

}  // namespace vedhost
