#include "meanings.h"

#include <map>

namespace docgen {
namespace {

const std::map<std::string, std::string> kMeanings = {
    {"phase_voltage_a", "phase A voltage"},
    {"phase_voltage_b", "phase B voltage"},
    {"phase_voltage_c", "phase C voltage"},
    {"phase_voltage_avg", "average phase voltage"},
    {"line_voltage_ab", "line voltage AB"},
    {"line_voltage_bc", "line voltage BC"},
    {"line_voltage_ca", "line voltage CA"},
    {"line_voltage_avg", "average line voltage"},
    {"current_a", "phase A current"},
    {"current_b", "phase B current"},
    {"current_c", "phase C current"},
    {"current_avg", "average phase current"},
    {"active_power_a", "phase A active power"},
    {"active_power_b", "phase B active power"},
    {"active_power_c", "phase C active power"},
    {"active_power_total", "total active power"},
    {"reactive_power_a", "phase A reactive power"},
    {"reactive_power_b", "phase B reactive power"},
    {"reactive_power_c", "phase C reactive power"},
    {"reactive_power_total", "total reactive power"},
    {"apparent_power_a", "phase A apparent power"},
    {"apparent_power_b", "phase B apparent power"},
    {"apparent_power_c", "phase C apparent power"},
    {"apparent_power_total", "total apparent power"},
    {"power_factor_a", "phase A power factor"},
    {"power_factor_b", "phase B power factor"},
    {"power_factor_c", "phase C power factor"},
    {"power_factor_total", "total power factor"},
    {"frequency", "frequency"},
    {"voltage_angle_a", "voltage phase angle A (or AB)"},
    {"voltage_angle_b", "voltage phase angle B (or BC)"},
    {"voltage_angle_c", "voltage phase angle C (or CA)"},
    {"current_angle_a", "phase A current angle"},
    {"current_angle_b", "phase B current angle"},
    {"current_angle_c", "phase C current angle"},
    {"neutral_current_calc", "calculated neutral current"},
    {"soe_pointer_total", "sequence-of-events record pointer total"},
    {"limit_alarm_status", "limit-alarm status word"},
    {"alarm_a_over_voltage", "phase A over-voltage alarm"},
    {"alarm_a_under_voltage", "phase A under-voltage alarm"},
    {"alarm_b_over_voltage", "phase B over-voltage alarm"},
    {"alarm_b_under_voltage", "phase B under-voltage alarm"},
    {"alarm_c_over_voltage", "phase C over-voltage alarm"},
    {"alarm_c_under_voltage", "phase C under-voltage alarm"},
    {"alert_array", "the six voltage alarms again, as booleans"},
    {"di_status", "digital input status word"},
    {"di1", "digital input 1"},
    {"di2", "digital input 2"},
    {"di3", "digital input 3"},
    {"di4", "digital input 4"},
    {"do_status", "digital (relay) output status word"},
    {"do1", "digital output 1"},
    {"do2", "digital output 2"},
    {"energy_fwd_active", "forward active energy"},
    {"energy_rev_active", "reverse active energy"},
    {"energy_fwd_reactive", "forward reactive energy"},
    {"energy_rev_reactive", "reverse reactive energy"},
    {"voltage_primary_rated", "voltage primary-side rated value"},
    {"voltage_secondary_rated", "voltage secondary-side rated value"},
    {"current_primary_rated", "current primary-side rated value"},
    {"current_secondary_rated", "current secondary-side rated value"},
    {"wiring_mode", "wiring mode"},
    {"pf_algorithm", "power-factor algorithm"},
    {"apparent_power_algorithm", "apparent-power algorithm"},
    {"current_direction_a", "phase A current direction"},
    {"current_direction_b", "phase B current direction"},
    {"current_direction_c", "phase C current direction"},
    {"pulse_constant", "energy pulse constant"},
    {"contact_pulse_type", "contact (relay) pulse type"},
    {"harmonic_algorithm", "harmonic algorithm"},
    {"remote_control_preset", "remote-control preset"},
    {"update_time", "local time at which the round ended"},
};

const std::map<std::string, std::string> kEnglish = {
    {"告警", "alarm"},
    {"正常", "normal"},
    {"闭合", "closed"},
    {"断开", "open"},
    {"动作", "operated"},
    {"返回", "released"},
    {"无效值", "invalid value"},
    {"矢量法", "vector method"},
    {"标量法", "scalar method"},
    {"正向", "forward"},
    {"反向", "reverse"},
    {"无脉冲", "no pulse"},
    {"正向有功电能脉冲", "forward active energy pulse"},
    {"反向有功电能脉冲", "reverse active energy pulse"},
    {"正向无功电能脉冲", "forward reactive energy pulse"},
    {"反向无功电能脉冲", "reverse reactive energy pulse"},
    {"退出", "off"},
    {"使能", "enabled"},
    {"THDf", "distortion referred to the fundamental"},
    {"THDr", "distortion referred to the total RMS value"},
};

// Harmonic ids follow quantity_item_phase.
std::string harmonicMeaning(const std::string& id) {
    const std::size_t first = id.find('_');
    const std::size_t last = id.rfind('_');
    if (first == std::string::npos || last == first) return "";
    const std::string quantity = id.substr(0, first);
    const std::string item = id.substr(first + 1, last - first - 1);
    const std::string phase = id.substr(last + 1);
    if ((quantity != "current" && quantity != "voltage") || phase.size() != 1 || phase[0] < 'a' ||
        phase[0] > 'c')
        return "";
    std::string what;
    if (item == "thd")
        what = "total harmonic distortion";
    else if (item == "tohd")
        what = "total odd harmonic distortion";
    else if (item == "tehd")
        what = "total even harmonic distortion";
    else if (item.size() >= 2 && item[0] == 'h')
        what = "harmonic content of order " + item.substr(1);
    else
        return "";
    return "phase " + std::string(1, static_cast<char>(phase[0] - 'a' + 'A')) + " " + quantity +
           ", " + what;
}

}  // namespace

std::string meaning(const std::string& id) {
    const auto it = kMeanings.find(id);
    return it != kMeanings.end() ? it->second : harmonicMeaning(id);
}

std::string english(const std::string& text) {
    const auto it = kEnglish.find(text);
    if (it != kEnglish.end()) return it->second;
    for (unsigned char c : text)
        if (c >= 0x80) return "";
    return text;
}

}  // namespace docgen
