// The --show table: a meter's JSON report laid out for a person, phases side
// by side. Values are shown as the report carries them (raw meter units);
// a key the report lacks is shown as "-".
#pragma once

#include <json/value.h>

#include <string>

namespace vedhost {

std::string reportTable(const Json::Value& report, unsigned dataId);

}  // namespace vedhost
