#include "web/metrics.h"

#include <cstdio>

namespace vedhost {
namespace {

enum class Quantity {
    Voltage,
    Current,
    ActivePower,
    ReactivePower,
    ApparentPower,
    Frequency,
    Ratio,
    ActiveEnergy,
    ReactiveEnergy,
    Time
};

// Units a presentation may give and what one of them is in the base unit.
struct UnitFactor {
    const char* unit;
    Quantity quantity;
    double factor;
};
constexpr UnitFactor kUnits[] = {
    {"V", Quantity::Voltage, 1},
    {"kV", Quantity::Voltage, 1e3},
    {"mV", Quantity::Voltage, 1e-3},
    {"A", Quantity::Current, 1},
    {"mA", Quantity::Current, 1e-3},
    {"kA", Quantity::Current, 1e3},
    {"W", Quantity::ActivePower, 1},
    {"kW", Quantity::ActivePower, 1e3},
    {"MW", Quantity::ActivePower, 1e6},
    {"var", Quantity::ReactivePower, 1},
    {"kvar", Quantity::ReactivePower, 1e3},
    {"Mvar", Quantity::ReactivePower, 1e6},
    {"VA", Quantity::ApparentPower, 1},
    {"kVA", Quantity::ApparentPower, 1e3},
    {"MVA", Quantity::ApparentPower, 1e6},
    {"Hz", Quantity::Frequency, 1},
    {"", Quantity::Ratio, 1},
    {"Wh", Quantity::ActiveEnergy, 3600},
    {"kWh", Quantity::ActiveEnergy, 3.6e6},
    {"MWh", Quantity::ActiveEnergy, 3.6e9},
    {"varh", Quantity::ReactiveEnergy, 3600},
    {"kvarh", Quantity::ReactiveEnergy, 3.6e6},
    {"Mvarh", Quantity::ReactiveEnergy, 3.6e9},
};

// One metric family: its samples are the rows of kSamples that name it.
struct Family {
    const char* name;
    const char* type;
    const char* help;
    Quantity quantity;
    const char* label;  // the label that tells its samples apart, or nullptr
};
constexpr Family kFamilies[] = {
    {"ved96_phase_voltage_volts", "gauge", "Phase to neutral voltage.", Quantity::Voltage, "phase"},
    {"ved96_line_voltage_volts", "gauge", "Line to line voltage.", Quantity::Voltage, "phases"},
    {"ved96_current_amperes", "gauge", "Phase current; phase n is the calculated neutral.",
     Quantity::Current, "phase"},
    {"ved96_active_power_watts", "gauge", "Active power.", Quantity::ActivePower, "phase"},
    {"ved96_reactive_power_volt_amperes_reactive", "gauge", "Reactive power.",
     Quantity::ReactivePower, "phase"},
    {"ved96_apparent_power_volt_amperes", "gauge", "Apparent power.", Quantity::ApparentPower,
     "phase"},
    {"ved96_power_factor_ratio", "gauge", "Power factor.", Quantity::Ratio, "phase"},
    {"ved96_frequency_hertz", "gauge", "Line frequency.", Quantity::Frequency, nullptr},
    {"ved96_active_energy_joules_total", "counter", "Active energy counter.",
     Quantity::ActiveEnergy, "direction"},
    {"ved96_reactive_energy_var_seconds_total", "counter", "Reactive energy counter.",
     Quantity::ReactiveEnergy, "direction"},
    {"ved96_active_power_demand_watts", "gauge",
     "Average active power over the demand window: so far, projected to its end, and this "
     "month's peak.",
     Quantity::ActivePower, "window"},
    {"ved96_active_power_demand_peak_timestamp_seconds", "gauge",
     "Unix time the window of this month's peak demand began.", Quantity::Time, nullptr},
};

// A sample is the host's own value where it keeps one (the energy ledger's
// total, which does not wrap with the register), else the signal's as the
// presentation gives it.
struct Sample {
    std::size_t family;            // index into kFamilies
    const char* id;                // the signal's ASCII id, or nullptr
    const char* label;             // the family label's value
    const char* hostId = nullptr;  // the host's value in the state
    double hostFactor = 0;         // from its unit (kWh, kW) to the base unit
};
constexpr Sample kSamples[] = {
    {0, "phase_voltage_a", "a"},
    {0, "phase_voltage_b", "b"},
    {0, "phase_voltage_c", "c"},
    {1, "line_voltage_ab", "ab"},
    {1, "line_voltage_bc", "bc"},
    {1, "line_voltage_ca", "ca"},
    {2, "current_a", "a"},
    {2, "current_b", "b"},
    {2, "current_c", "c"},
    {2, "neutral_current_calc", "n"},
    {3, "active_power_a", "a"},
    {3, "active_power_b", "b"},
    {3, "active_power_c", "c"},
    {3, "active_power_total", "total"},
    {4, "reactive_power_a", "a"},
    {4, "reactive_power_b", "b"},
    {4, "reactive_power_c", "c"},
    {4, "reactive_power_total", "total"},
    {5, "apparent_power_a", "a"},
    {5, "apparent_power_b", "b"},
    {5, "apparent_power_c", "c"},
    {5, "apparent_power_total", "total"},
    {6, "power_factor_a", "a"},
    {6, "power_factor_b", "b"},
    {6, "power_factor_c", "c"},
    {6, "power_factor_total", "total"},
    {7, "frequency", nullptr},
    {8, "energy_fwd_active", "import", "energy_fwd_active_total", 3.6e6},
    {8, "energy_rev_active", "export", "energy_rev_active_total", 3.6e6},
    {9, "energy_fwd_reactive", "import", "energy_fwd_reactive_total", 3.6e6},
    {9, "energy_rev_reactive", "export", "energy_rev_reactive_total", 3.6e6},
    {10, nullptr, "running", "demand_active", 1e3},
    {10, nullptr, "projected", "demand_active_projected", 1e3},
    {10, nullptr, "peak", "demand_active_max", 1e3},
    {11, nullptr, nullptr, "demand_active_max_at", 1},
};
constexpr std::size_t kFamilyCount = sizeof kFamilies / sizeof kFamilies[0];

// Per meter: whether it answers, and its counters. A negative value is not
// shown (no round completed yet).
struct MeterFamily {
    const char* name;
    const char* type;
    const char* help;
    double (*value)(const MeterReading&);
};
constexpr MeterFamily kMeterFamilies[] = {
    {"ved96_meter_up", "gauge", "1 while the meter answers, 0 otherwise.",
     [](const MeterReading& m) { return m.up ? 1.0 : 0.0; }},
    {"ved96_rounds_total", "counter", "Rounds completed since the host started.",
     [](const MeterReading& m) { return static_cast<double>(m.rounds); }},
    {"ved96_exchanges_total", "counter",
     "Modbus requests sent to the meter since the host started.",
     [](const MeterReading& m) { return static_cast<double>(m.exchanges); }},
    {"ved96_exchange_timeouts_total", "counter", "Requests the meter did not answer in time.",
     [](const MeterReading& m) { return static_cast<double>(m.timeouts); }},
    {"ved96_exchange_errors_total", "counter",
     "Requests answered with an exception or not usable (other than a time-out).",
     [](const MeterReading& m) { return static_cast<double>(m.errors); }},
    {"ved96_last_round_timestamp_seconds", "gauge", "Unix time the meter's last round completed.",
     [](const MeterReading& m) { return m.lastRound; }},
};

// The factor to the base unit of a signal's presented value, or 0 when it
// cannot be shown in that family's unit.
double baseFactor(const Presentation& presentation, const char* id, Quantity quantity) {
    const SignalStyle* style = presentation.find(id);
    // Without the user's word, a raw register has no known unit or scale.
    if (style == nullptr) return 0;
    for (const UnitFactor& u : kUnits)
        if (u.quantity == quantity && style->unit == u.unit) return u.factor;
    return 0;
}

void number(std::string& out, double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.15g", value);
    out += text;
}

void head(std::string& out, const char* name, const char* type, const char* help) {
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

void meterLabel(std::string& out, const char* name, unsigned dataId) {
    out += name;
    out += "{meter=\"";
    out += std::to_string(dataId);
    out += '"';
}

}  // namespace

std::string metricsText(const std::vector<MeterReading>& meters, const Presentation& presentation) {
    std::string out;
    out.reserve(1024 + meters.size() * 3072);
    for (std::size_t f = 0; f < kFamilyCount; ++f) {
        const Family& family = kFamilies[f];
        bool headed = false;
        for (const MeterReading& m : meters) {
            if (!m.up || m.values == nullptr) continue;
            for (const Sample& s : kSamples) {
                if (s.family != f) continue;
                const Json::Value* v = nullptr;
                double factor = 0;
                if (s.hostId != nullptr && (*m.values)[s.hostId].isNumeric()) {
                    v = &(*m.values)[s.hostId];
                    factor = s.hostFactor;
                } else if (s.id != nullptr && (*m.values)[s.id].isNumeric()) {
                    v = &(*m.values)[s.id];
                    factor = baseFactor(presentation, s.id, family.quantity);
                }
                if (v == nullptr || factor == 0) continue;
                if (!headed) head(out, family.name, family.type, family.help);
                headed = true;
                meterLabel(out, family.name, m.dataId);
                if (family.label != nullptr) {
                    out += ',';
                    out += family.label;
                    out += "=\"";
                    out += s.label;
                    out += '"';
                }
                out += "} ";
                number(out, v->asDouble() * factor);
                out += '\n';
            }
        }
    }
    for (const MeterFamily& family : kMeterFamilies) {
        bool headed = false;
        for (const MeterReading& m : meters) {
            const double value = family.value(m);
            if (value < 0) continue;
            if (!headed) head(out, family.name, family.type, family.help);
            headed = true;
            meterLabel(out, family.name, m.dataId);
            out += "} ";
            number(out, value);
            out += '\n';
        }
    }
    return out;
}

}  // namespace vedhost
