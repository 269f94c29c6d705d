#include "quality/quality_sample.h"

#include <cmath>
#include <cstring>

#include "ved96/signals.h"

namespace vedhost::quality {
namespace {

constexpr std::size_t kRecordBytes = 1009;
constexpr const char* kPhaseLetters[] = {"a", "b", "c"};
constexpr const char* kPhaseVoltageIds[] = {"phase_voltage_a", "phase_voltage_b",
                                            "phase_voltage_c"};
constexpr const char* kLineVoltageIds[] = {"line_voltage_ab", "line_voltage_bc", "line_voltage_ca"};
constexpr const char* kThdIds[] = {"voltage_thd_a", "voltage_thd_b", "voltage_thd_c"};

std::string harmonicId(int order, int phase) {
    return "voltage_h" + std::to_string(order) + "_" + kPhaseLetters[phase];
}

// The factor for a signal in `unit`: the first of the presentation's style,
// the fallback's style there, the built-in style and the built-in fallback
// that names a unit decides.
bool factor(const Presentation& presentation, const std::string& id, const char* fallback,
            const char* unit, double& scale, std::string& error) {
    const Presentation& builtIn = Presentation::builtIn();
    const SignalStyle* candidates[] = {
        presentation.find(id), fallback ? presentation.find(fallback) : nullptr, builtIn.find(id),
        fallback ? builtIn.find(fallback) : nullptr};
    for (const SignalStyle* style : candidates) {
        if (style == nullptr || style->unit.empty()) continue;
        if (style->unit != unit) {
            error = "quality: the presentation shows " + id + " in \"" + style->unit +
                    "\"; the supply is judged in " + unit;
            return false;
        }
        scale = style->scale;
        return true;
    }
    scale = 1;
    return true;
}

}  // namespace

double SampleReader::Source::value(const unsigned char* record) const {
    std::uint16_t raw;
    std::memcpy(&raw, record + offset, sizeof raw);
    return divisor != 0 ? raw / divisor : raw * scale;
}

SampleReader::SampleReader() {
    std::string ignored;
    configure(Presentation::builtIn(), ignored);
}

bool SampleReader::configure(const Presentation& presentation, std::string& error) {
    Sources next;
    auto set = [&](Source& source, const std::string& id, const char* fallback, const char* unit) {
        const ved96_report::Signal* signal = ved96_report::findSignal(id.c_str());
        double scale = 1;
        if (signal == nullptr) {
            error = "quality: the meter has no signal " + id;
            return false;
        }
        if (!factor(presentation, id, fallback, unit, scale, error)) return false;
        source.offset = signal->offset;
        source.scale = scale;
        const double inverse = 1 / scale;
        const double whole = std::round(inverse);
        source.divisor = whole >= 1 && std::fabs(inverse - whole) < 1e-9 * whole ? whole : 0;
        return true;
    };
    bool ok = set(next.frequency, "frequency", nullptr, "Hz");
    for (int p = 0; ok && p < kPhases; ++p) {
        ok = set(next.phaseVoltage[p], kPhaseVoltageIds[p], nullptr, "V") &&
             set(next.lineVoltage[p], kLineVoltageIds[p], nullptr, "V") &&
             set(next.thd[p], kThdIds[p], nullptr, "%");
        for (int k = 0; ok && k < kOrders; ++k)
            ok = set(next.harmonic[p][k], harmonicId(k + kFirstOrder, p), kThdIds[p], "%");
    }
    if (!ok) return false;
    sources_ = next;
    return true;
}

Sample SampleReader::read(const unsigned char* record, std::size_t length,
                          std::int64_t unixMs) const {
    Sample s;
    s.unixMs = unixMs;
    if (record == nullptr || length < kRecordBytes) return s;
    for (int p = 0; p < kPhases; ++p) {
        s.phaseVoltage[p] = sources_.phaseVoltage[p].value(record);
        s.lineVoltage[p] = sources_.lineVoltage[p].value(record);
        s.thd[p] = sources_.thd[p].value(record);
        for (int k = 0; k < kOrders; ++k) s.harmonic[p][k] = sources_.harmonic[p][k].value(record);
    }
    s.frequency = sources_.frequency.value(record);
    return s;
}

}  // namespace vedhost::quality
