#include "presentation/report_table.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <set>

namespace vedhost {
namespace {

struct Section {
    const char* title;
    std::vector<const char*> ids;
};

// The signals a person usually looks at; any other signal the presentation
// names is shown under "more".
const Section kSections[] = {
    {"voltage",
     {"phase_voltage_a", "phase_voltage_b", "phase_voltage_c", "phase_voltage_avg",
      "line_voltage_ab", "line_voltage_bc", "line_voltage_ca", "line_voltage_avg"}},
    {"current", {"current_a", "current_b", "current_c", "current_avg", "neutral_current_calc"}},
    {"power",
     {"active_power_a", "active_power_b", "active_power_c", "active_power_total",
      "reactive_power_a", "reactive_power_b", "reactive_power_c", "reactive_power_total",
      "apparent_power_a", "apparent_power_b", "apparent_power_c", "apparent_power_total",
      "power_factor_a", "power_factor_b", "power_factor_c", "power_factor_total", "frequency"}},
    {"angles",
     {"voltage_angle_a", "voltage_angle_b", "voltage_angle_c", "current_angle_a", "current_angle_b",
      "current_angle_c"}},
    {"energy",
     {"energy_fwd_active", "energy_rev_active", "energy_fwd_reactive", "energy_rev_reactive"}},
    {"harmonics",
     {"current_thd_a", "current_thd_b", "current_thd_c", "voltage_thd_a", "voltage_thd_b",
      "voltage_thd_c"}},
    {"status",
     {"alarm_a_over_voltage", "alarm_a_under_voltage", "alarm_b_over_voltage",
      "alarm_b_under_voltage", "alarm_c_over_voltage", "alarm_c_under_voltage", "di1", "di2", "di3",
      "di4", "do1", "do2", "soe_pointer_total"}},
    {"ratings",
     {"voltage_primary_rated", "voltage_secondary_rated", "current_primary_rated",
      "current_secondary_rated"}},
    {"settings",
     {"wiring_mode", "pf_algorithm", "apparent_power_algorithm", "current_direction_a",
      "current_direction_b", "current_direction_c", "pulse_constant", "contact_pulse_type",
      "harmonic_algorithm", "remote_control_preset"}},
};

bool sameText(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// "A相电压 phase_voltage_a 220.1 V"; the label is left out where it only
// repeats the key ("DI1 closed").
std::string field(const SignalValue& value, const Presentation& presentation) {
    const std::string key = value.signal->key;
    const std::string label = presentation.label(*value.signal);
    return (sameText(key, label) ? key : key + " " + label) + " " + presentation.text(value);
}

std::string padded(const std::string& text, std::size_t width) {
    const std::size_t used = displayWidth(text);
    return used >= width ? text : text + std::string(width - used, ' ');
}

// The fields in as many columns as fit, filled row by row; each column as
// wide as its widest field, two spaces between columns.
void setInColumns(std::string& out, const std::vector<std::string>& fields, std::size_t width) {
    if (fields.empty()) return;
    std::vector<std::size_t> widths;
    for (const std::string& f : fields) widths.push_back(displayWidth(f));
    std::vector<std::size_t> columns;
    for (std::size_t count = fields.size(); count >= 1; --count) {
        columns.assign(count, 0);
        for (std::size_t i = 0; i < fields.size(); ++i)
            columns[i % count] = std::max(columns[i % count], widths[i]);
        std::size_t total = 2 * (count - 1);
        for (std::size_t w : columns) total += w;
        if (total <= width || count == 1) break;
    }
    const std::size_t count = columns.size();
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const bool last = i % count == count - 1 || i + 1 == fields.size();
        out += last ? fields[i] : padded(fields[i], columns[i % count]) + "  ";
        if (last) out += "\n";
    }
}

}  // namespace

std::string reportTable(const Json::Value& report, unsigned dataId,
                        const Presentation& presentation, std::size_t width) {
    std::map<std::string, SignalValue> byId;
    for (SignalValue& v : reportValues(report)) byId.emplace(v.signal->id, std::move(v));

    std::string out = "meter data id " + std::to_string(dataId);
    const auto time = byId.find("update_time");
    out += "   updated " + (time != byId.end() ? time->second.value.asString() : "-") + "\n";

    std::set<std::string> shown{"update_time"};
    auto section = [&](const std::string& title, const std::vector<std::string>& ids) {
        std::vector<std::string> fields;
        for (const std::string& id : ids) {
            shown.insert(id);
            const auto it = byId.find(id);
            if (it != byId.end()) fields.push_back(field(it->second, presentation));
        }
        if (fields.empty()) return;
        out += title + ":\n";
        setInColumns(out, fields, width);
    };
    for (const Section& s : kSections) section(s.title, {s.ids.begin(), s.ids.end()});
    std::vector<std::string> more;
    for (const std::string& id : presentation.ids())
        if (!shown.count(id)) more.push_back(id);
    section("more", more);
    return out;
}

}  // namespace vedhost
