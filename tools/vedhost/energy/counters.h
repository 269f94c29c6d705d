// The meter's four energy counters as the energy ledger reads them: each one
// 16-bit register on its own, in tenths of a kWh (active) or kvarh
// (reactive), wrapping from 65535 to 0, and beside each the power register
// whose measurement bounds how fast that counter can advance.
#pragma once

#include <json/value.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace vedhost::energy {

// A register holds 0..65535 and wraps back to 0.
constexpr std::int64_t kCounterRange = 65536;
// One count of a register is a tenth of a kWh or kvarh.
constexpr double kUnitsPerCount = 0.1;

constexpr std::size_t kCounters = 4;

struct CounterInfo {
    const char* id;       // the register's ASCII id: "energy_fwd_active"
    const char* totalId;  // the ledger's total beside it: "energy_fwd_active_total"
    const char* unit;     // "kWh" or "kvarh"
    const char* powerId;  // the power register it grows with (W or var, as the meter sends)
    bool active;          // active energy: what tariffs price
    bool import;          // drawn from the grid (fwd) rather than sent to it (rev)
};

// In register order (500..503). The reverse counters grow with the same
// power registers' magnitude: the registers carry no sign the host reads.
constexpr CounterInfo kCounterInfo[kCounters] = {
    {"energy_fwd_active", "energy_fwd_active_total", "kWh", "active_power_total", true, true},
    {"energy_rev_active", "energy_rev_active_total", "kWh", "active_power_total", true, false},
    {"energy_fwd_reactive", "energy_fwd_reactive_total", "kvarh", "reactive_power_total", false,
     true},
    {"energy_rev_reactive", "energy_rev_reactive_total", "kvarh", "reactive_power_total", false,
     false},
};
constexpr std::size_t kImportActive = 0;
constexpr std::size_t kExportActive = 1;

// The counter with this register id ("energy_fwd_active"); nullopt for any other.
std::optional<std::size_t> counterIndex(const std::string& id);

// What one round says of the counters: the four registers and the power each
// grows with, and the active power for demand, all as the meter sends them.
struct Reading {
    std::uint16_t raw[kCounters] = {};
    double power[kCounters] = {};  // W or var
    double activePowerW = 0;
};

// From a whole record image (1009 bytes); false for anything else.
bool readingFromRecord(const unsigned char* record, std::size_t length, Reading& out);
// From the plug-in's report (energies in tenths back to counts); false when
// it lacks a counter.
bool readingFromReport(const Json::Value& report, Reading& out);

}  // namespace vedhost::energy
