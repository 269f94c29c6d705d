// The energy accounting's settings: --energy and the document's "energy"
// object. Off unless configured; any energy setting turns it on.
#pragma once

#include <string>
#include <vector>

#include "config/option_rows.h"
#include "energy/tariffs.h"

namespace vedhost {

struct EnergyOptions {
    bool enabled = true;  // "energy": {"enabled": false} keeps the settings but turns it off
    std::string currency = "EUR";
    int billingDay = 1;      // 1..28
    int demandMinutes = 15;  // 15, 30 or 60
    bool demandSliding = false;
    double demandLimitKw = 0;  // 0: no limit
    std::vector<energy::Tariff> tariffs;
};

// --energy, --energy-* and --demand-*, the document's "energy" members.
const SettingTable<EnergyOptions>& energyOptions();

}  // namespace vedhost
