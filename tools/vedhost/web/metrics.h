// Meters in Prometheus' text format (version 0.0.4): measurements in base
// units (volts, amperes, watts, hertz; energy counters in joules and
// var-seconds, as `..._total`), each sample labelled with its meter's data
// id, beside each meter's `ved96_meter_up` and its round and exchange
// counters. Where the host keeps an energy ledger, the energy counters are
// its totals (they never decrease where the registers wrap), and the demand
// is given beside them.
//
// The report carries raw register values; a measurement is shown only when
// the user's presentation gives it a unit this file knows how to bring to
// the base unit (kV, mA, kW, kWh, ...), and a power factor only when the
// presentation names it (so its scale is the user's). A meter that does not
// answer shows no measurements, only its counters and up 0.
#pragma once

#include <json/value.h>

#include <cstdint>
#include <string>
#include <vector>

#include "presentation/presentation.h"

namespace vedhost {

struct MeterReading {
    unsigned dataId = 0;
    bool up = false;
    std::uint64_t rounds = 0, exchanges = 0, timeouts = 0, errors = 0;
    double lastRound = -1;                // unix seconds; negative: none yet
    const Json::Value* values = nullptr;  // presented values by id (the state's "values")
};

std::string metricsText(const std::vector<MeterReading>& meters, const Presentation& presentation);

}  // namespace vedhost
