// The supply-quality report's settings and the signals it reads.
#include "quality/quality_options.h"

#include "quality/quality_values.h"

namespace vedhost {
namespace {

using J = const Json::Value&;

const SettingRow<QualityOptions> kRows[] = {
    {{"everything", "--quality-nominal-v", "V", "quality.nominal_v",
      "assess each meter's supply weekly against the low-voltage limits of\n"
      "EN 50160 around this nominal voltage (230 for 230/400 V); needs --history",
      ValueType::Real, 50, 1000},
     [](QualityOptions& q, J v, const Given&, std::string&) {
         q.nominalV = v.asDouble();
         return true;
     },
     [](const QualityOptions& q) { return Json::Value(q.nominalV); }},
    {{"everything", nullptr, nullptr, "quality.nominal_hz",
      "the supply's nominal frequency, 50 or 60 (default 50)", ValueType::Custom, 0, 0},
     [](QualityOptions& q, J v, const Given& given, std::string& error) {
         if (!v.isNumeric() || (v.asDouble() != 50 && v.asDouble() != 60)) {
             error = given.name + ": expected 50 or 60, got " + valueText(v);
             return false;
         }
         q.nominalHz = v.asDouble();
         return true;
     },
     [](const QualityOptions& q) { return Json::Value(q.nominalHz); }},
    {{"everything", nullptr, nullptr, "quality.voltages",
      "\"phase\": the phase-to-neutral voltages are judged (default); \"line\": the\n"
      "line-to-line ones, for a supply without neutral (nominal_v between lines)",
      ValueType::Custom, 0, 0},
     [](QualityOptions& q, J v, const Given& given, std::string& error) {
         if (!v.isString() || (v.asString() != "phase" && v.asString() != "line")) {
             error = given.name + ": expected \"phase\" or \"line\", got " + valueText(v);
             return false;
         }
         q.lineVoltages = v.asString() == "line";
         return true;
     },
     [](const QualityOptions& q) { return Json::Value(q.lineVoltages ? "line" : "phase"); }},
};

// The nominal voltage is the one thing that cannot be guessed: a group that
// names only the frequency or the voltages still needs it.
bool finishQuality(QualityOptions&, Sources& sources, std::string& error) {
    if (sources.has("quality.nominal_v")) return true;
    error = "quality.nominal_v: expected the supply's nominal voltage (230 for a 230/400 V supply)";
    return false;
}

const SettingTable<QualityOptions> kTable = settingTable(kRows, finishQuality);

}  // namespace

const SettingTable<QualityOptions>& qualityOptions() { return kTable; }

namespace quality {

const std::vector<QualitySignal>& qualitySignals() {
    static const std::vector<QualitySignal> signals = [] {
        static const char* const letters[] = {"a", "b", "c"};
        static const char* const phaseIds[] = {"phase_voltage_a", "phase_voltage_b",
                                               "phase_voltage_c"};
        static const char* const lineIds[] = {"line_voltage_ab", "line_voltage_bc",
                                              "line_voltage_ca"};
        static const char* const thdIds[] = {"voltage_thd_a", "voltage_thd_b", "voltage_thd_c"};
        std::vector<QualitySignal> out(kRawValues);
        for (int p = 0; p < kPhases; ++p) {
            out[Interval::kPhaseVoltage + p] = {phaseIds[p], "V", nullptr,
                                                Interval::kPhaseVoltage + p};
            out[Interval::kLineVoltage + p] = {lineIds[p], "V", nullptr,
                                               Interval::kLineVoltage + p};
            out[Interval::kThd + p] = {thdIds[p], "%", nullptr, Interval::kThd + p};
            for (int k = 0; k < kOrders; ++k) {
                const int index = Interval::kHarmonic + 3 * k + p;
                out[index] = {"voltage_h" + std::to_string(k + kFirstOrder) + "_" + letters[p], "%",
                              thdIds[p], index};
            }
        }
        out[kRawFrequency] = {"frequency", "Hz", nullptr, kRawFrequency};
        return out;
    }();
    return signals;
}

bool qualityFactor(const Presentation& presentation, const QualitySignal& signal, double& factor,
                   std::string& error) {
    const Presentation& builtIn = Presentation::builtIn();
    const SignalStyle* candidates[] = {
        presentation.find(signal.id),
        signal.fallback != nullptr ? presentation.find(signal.fallback) : nullptr,
        builtIn.find(signal.id),
        signal.fallback != nullptr ? builtIn.find(signal.fallback) : nullptr};
    for (const SignalStyle* style : candidates) {
        if (style == nullptr || style->unit.empty()) continue;
        if (style->unit != signal.unit) {
            error = "quality: the presentation shows " + signal.id + " in \"" + style->unit +
                    "\"; the supply is judged in " + signal.unit;
            return false;
        }
        factor = style->scale;
        return true;
    }
    factor = 1;
    return true;
}

bool checkQualityPresentation(const Presentation& presentation, std::string& error) {
    double factor = 1;
    for (const QualitySignal& s : qualitySignals())
        if (!qualityFactor(presentation, s, factor, error)) return false;
    return true;
}

}  // namespace quality
}  // namespace vedhost
