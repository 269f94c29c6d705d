#include "presentation/presentation.h"

#include <json/writer.h>
#include <locale.h>
#include <wchar.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/json_file.h"

namespace vedhost {
namespace {

using ved96_report::Signal;
using ved96_report::SignalKind;

// How a status bit reads, by the word that carries it.
struct BitWords {
    const char* wordId;
    const char* set;
    const char* clear;
};
constexpr BitWords kBitWords[] = {
    {"limit_alarm_status", "ALARM", "ok"},
    {"di_status", "closed", "open"},
    {"do_status", "on", "off"},
};

std::string bitText(const Signal& signal, bool set) {
    for (const BitWords& words : kBitWords)
        if (signal.word->word.id == std::string(words.wordId)) return set ? words.set : words.clear;
    return set ? "1" : "0";
}

bool plainText(const std::string& text) {
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7f) return false;
    return true;
}

// A class name as home automation systems spell them: "voltage", "reactive_energy".
bool className(const std::string& text) {
    if (text.empty()) return false;
    for (char c : text)
        if (!((c >= 'a' && c <= 'z') || c == '_')) return false;
    return true;
}

// What a value does over time: sampled, an accumulated total, or a total
// that only grows (a meter's energy register).
constexpr const char* kStateClasses[] = {"measurement", "total", "total_increasing"};

bool stateClass(const std::string& text) {
    for (const char* known : kStateClasses)
        if (text == known) return true;
    return false;
}

// The meter's own presentation: scale factors from its register units, the
// units they give, and each quantity's class. examples/presentation.json
// holds the same rows as a file a user can start from.
struct BuiltInStyle {
    const char* id;
    const char* label;
    double scale;
    const char* unit;
    const char* deviceClass;
    const char* stateClass;
};
constexpr BuiltInStyle kBuiltIn[] = {
    // Voltages are sent in tenths of a volt.
    {"phase_voltage_a", "Va", 0.1, "V", "voltage", "measurement"},
    {"phase_voltage_b", "Vb", 0.1, "V", "voltage", "measurement"},
    {"phase_voltage_c", "Vc", 0.1, "V", "voltage", "measurement"},
    {"phase_voltage_avg", "V avg", 0.1, "V", "voltage", "measurement"},
    {"line_voltage_ab", "Vab", 0.1, "V", "voltage", "measurement"},
    {"line_voltage_bc", "Vbc", 0.1, "V", "voltage", "measurement"},
    {"line_voltage_ca", "Vca", 0.1, "V", "voltage", "measurement"},
    {"line_voltage_avg", "VLL avg", 0.1, "V", "voltage", "measurement"},
    // Currents in milliamperes.
    {"current_a", "Ia", 0.001, "A", "current", "measurement"},
    {"current_b", "Ib", 0.001, "A", "current", "measurement"},
    {"current_c", "Ic", 0.001, "A", "current", "measurement"},
    {"current_avg", "I avg", 0.001, "A", "current", "measurement"},
    {"neutral_current_calc", "In", 0.001, "A", "current", "measurement"},
    // Powers in watts, var and volt-amperes, as they come.
    {"active_power_a", "Pa", 1, "W", "power", "measurement"},
    {"active_power_b", "Pb", 1, "W", "power", "measurement"},
    {"active_power_c", "Pc", 1, "W", "power", "measurement"},
    {"reactive_power_a", "Qa", 1, "var", "reactive_power", "measurement"},
    {"reactive_power_b", "Qb", 1, "var", "reactive_power", "measurement"},
    {"reactive_power_c", "Qc", 1, "var", "reactive_power", "measurement"},
    {"apparent_power_a", "Sa", 1, "VA", "apparent_power", "measurement"},
    {"apparent_power_b", "Sb", 1, "VA", "apparent_power", "measurement"},
    {"apparent_power_c", "Sc", 1, "VA", "apparent_power", "measurement"},
    {"active_power_total", "P total", 1, "W", "power", "measurement"},
    {"reactive_power_total", "Q total", 1, "var", "reactive_power", "measurement"},
    {"apparent_power_total", "S total", 1, "VA", "apparent_power", "measurement"},
    // Power factor times 1000, frequency in hundredths of a hertz.
    {"power_factor_a", "PFa", 0.001, "", "power_factor", "measurement"},
    {"power_factor_b", "PFb", 0.001, "", "power_factor", "measurement"},
    {"power_factor_c", "PFc", 0.001, "", "power_factor", "measurement"},
    {"power_factor_total", "PF", 0.001, "", "power_factor", "measurement"},
    {"frequency", "f", 0.01, "Hz", "frequency", "measurement"},
    // Energies: the report already gives kWh and kvarh (the register / 10).
    {"energy_fwd_active", "import", 1, "kWh", "energy", "total_increasing"},
    {"energy_rev_active", "export", 1, "kWh", "energy", "total_increasing"},
    {"energy_fwd_reactive", "Q import", 1, "kvarh", "reactive_energy", "total_increasing"},
    {"energy_rev_reactive", "Q export", 1, "kvarh", "reactive_energy", "total_increasing"},
    // Distortion in hundredths of a percent of the fundamental.
    {"voltage_thd_a", "THD Va", 0.01, "%", "", "measurement"},
    {"voltage_thd_b", "THD Vb", 0.01, "%", "", "measurement"},
    {"voltage_thd_c", "THD Vc", 0.01, "%", "", "measurement"},
    {"current_thd_a", "THD Ia", 0.01, "%", "", "measurement"},
    {"current_thd_b", "THD Ib", 0.01, "%", "", "measurement"},
    {"current_thd_c", "THD Ic", 0.01, "%", "", "measurement"},
    // Status bits and settings take a label; an alarm bit is a problem when set.
    {"alarm_a_over_voltage", "A over V", 1, "", "problem", ""},
    {"wiring_mode", "wiring", 1, "", "", ""},
};

bool parseStyle(const std::string& id, const Json::Value& entry, SignalStyle& style,
                std::string& error) {
    const Signal* signal = ved96_report::findSignal(id.c_str());
    const std::string where = "presentation \"" + id + "\"";
    if (signal == nullptr || signal->kind == SignalKind::AlertArray) {
        error = where + ": no signal has this id";
        return false;
    }
    if (!entry.isObject()) {
        error = where + ": expected an object with \"label\", \"scale\" or \"unit\"";
        return false;
    }
    for (const std::string& name : entry.getMemberNames()) {
        const Json::Value& v = entry[name];
        if (name == "label" || name == "unit") {
            if (!v.isString() || !plainText(v.asString())) {
                error = where + ": \"" + name + "\" must be text on one line";
                return false;
            }
            (name == "label" ? style.label : style.unit) = v.asString();
        } else if (name == "device_class") {
            if (!v.isString() || !className(v.asString())) {
                error = where +
                        ": \"device_class\" must be a class name in lower case, such as "
                        "\"voltage\"";
                return false;
            }
            style.deviceClass = v.asString();
        } else if (name == "state_class") {
            if (!v.isString() || !stateClass(v.asString())) {
                error = where +
                        ": \"state_class\" must be \"measurement\", \"total\" or "
                        "\"total_increasing\"";
                return false;
            }
            if (signal->kind != SignalKind::Number) {
                error = where + ": only a numeric signal has a state class";
                return false;
            }
            style.stateClass = v.asString();
        } else if (name == "scale") {
            if (!v.isNumeric() || !std::isfinite(v.asDouble()) || v.asDouble() == 0) {
                error = where + ": \"scale\" must be a non-zero number";
                return false;
            }
            if (signal->kind != SignalKind::Number) {
                error = where + ": only a numeric signal has a scale";
                return false;
            }
            style.scale = v.asDouble();
        } else {
            error = where + ": unknown key \"" + name + "\"";
            return false;
        }
    }
    return true;
}

}  // namespace

bool Presentation::parse(const Json::Value& object, std::string& error) {
    if (!object.isObject()) {
        error = "presentation: expected an object keyed by signal id";
        return false;
    }
    std::map<std::string, SignalStyle> styles;
    for (const std::string& id : object.getMemberNames())
        if (!parseStyle(id, object[id], styles[id], error)) return false;
    styles_ = std::move(styles);
    builtIn_ = false;
    return true;
}

const Presentation& Presentation::builtIn() {
    static const Presentation meter = [] {
        Presentation p;
        for (const BuiltInStyle& row : kBuiltIn)
            p.styles_[row.id] = {row.label, row.scale, row.unit, row.deviceClass, row.stateClass};
        p.builtIn_ = true;
        return p;
    }();
    return meter;
}

bool Presentation::load(const std::string& path, std::string& error) {
    std::string text;
    if (!readFile(path, text, error)) return false;
    // The vedhost documents' reader: comments allowed, one document, no
    // repeated key, bounded nesting.
    Json::Value object;
    if (!parseJson(text, object, error)) {
        error = "presentation " + path + ": " + error;
        return false;
    }
    if (!parse(object, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

const SignalStyle* Presentation::find(const std::string& id) const {
    const auto it = styles_.find(id);
    return it == styles_.end() ? nullptr : &it->second;
}

std::vector<std::string> Presentation::ids() const {
    std::vector<std::string> out;
    for (const auto& entry : styles_) out.push_back(entry.first);
    return out;
}

std::string Presentation::label(const Signal& signal) const {
    const SignalStyle* style = find(signal.id);
    return style != nullptr && !style->label.empty() ? style->label : signal.id;
}

std::string Presentation::unit(const Signal& signal) const {
    const SignalStyle* style = find(signal.id);
    return style != nullptr ? style->unit : std::string();
}

Json::Value Presentation::value(const SignalValue& v) const {
    if (v.signal->kind != SignalKind::Number || !v.value.isNumeric()) return v.value;
    const SignalStyle* style = find(v.signal->id);
    return roundToSingle(v.value.asDouble() * (style != nullptr ? style->scale : 1.0));
}

Json::Value Presentation::values(const std::vector<SignalValue>& list) const {
    Json::Value object(Json::objectValue);
    for (const SignalValue& v : list) object[v.signal->id] = value(v);
    return object;
}

std::string Presentation::text(const SignalValue& v) const {
    std::string out;
    const Json::Value shown = value(v);
    if (shown.isBool() && v.signal->kind == SignalKind::Bit)
        out = bitText(*v.signal, shown.asBool());
    else if (shown.isNumeric())
        out = numberText(shown.asDouble());
    else if (shown.isString())
        out = shown.asString();
    else
        out = "-";
    const std::string u = unit(*v.signal);
    return u.empty() ? out : out + " " + u;
}

std::string numberText(double value) {
    const double single = static_cast<float>(value);
    if (!std::isfinite(single)) return single != single ? "nan" : single > 0 ? "inf" : "-inf";
    // The fewest significant digits that read back as the same single value.
    char text[64];
    int digits = 1;
    for (; digits < 9; ++digits) {
        std::snprintf(text, sizeof text, "%.*e", digits - 1, single);
        if (static_cast<float>(std::strtod(text, nullptr)) == static_cast<float>(single)) break;
    }
    std::snprintf(text, sizeof text, "%.*e", digits - 1, single);
    // Written out in plain decimals ("230", "0.001"), not as 2.3e+02.
    const int exponent = std::atoi(std::strchr(text, 'e') + 1);
    if (exponent < -6 || exponent > 15) return text;
    std::snprintf(text, sizeof text, "%.*f", std::max(0, digits - 1 - exponent), single);
    return text;
}

double roundToSingle(double value) {
    if (!std::isfinite(value)) return value;
    return std::strtod(numberText(value).c_str(), nullptr);
}

std::size_t displayWidth(const std::string& text) {
    // The width of a character is the C library's, read in its UTF-8 locale.
    static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    const bool haveLocale = utf8 != static_cast<locale_t>(0);
    const locale_t previous = haveLocale ? uselocale(utf8) : static_cast<locale_t>(0);
    std::size_t width = 0;
    const auto* at = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = at + text.size();
    while (at < end) {
        const unsigned char lead = *at;
        std::size_t n = lead < 0x80         ? 1
                        : (lead >> 5) == 6  ? 2
                        : (lead >> 4) == 14 ? 3
                        : (lead >> 3) == 30 ? 4
                                            : 0;
        bool valid = n != 0 && static_cast<std::size_t>(end - at) >= n;
        for (std::size_t k = 1; valid && k < n; ++k) valid = (at[k] & 0xC0) == 0x80;
        if (!valid) {
            // A byte that is not UTF-8 shows as one replacement character.
            width += 1;
            at += 1;
            continue;
        }
        char32_t code = n == 1 ? lead : lead & (0x7F >> n);
        for (std::size_t k = 1; k < n; ++k) code = (code << 6) | (at[k] & 0x3F);
        // Without the locale, three- and four-byte characters (CJK) count two.
        const int w = haveLocale ? wcwidth(static_cast<wchar_t>(code)) : n >= 3 ? 2 : 1;
        width += w < 0 ? 1 : static_cast<std::size_t>(w);
        at += n;
    }
    if (haveLocale) uselocale(previous);
    return width;
}

}  // namespace vedhost
