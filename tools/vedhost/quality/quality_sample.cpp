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

double SampleReader::value(const unsigned char* record, int index) const {
    std::uint16_t raw;
    std::memcpy(&raw, record + offsets_[index], sizeof raw);
    return divisors_[index] != 0 ? raw / divisors_[index] : raw * scales_[index];
}

SampleReader::SampleReader() {
    std::string ignored;
    configure(Presentation::builtIn(), ignored);
}

bool SampleReader::configure(const Presentation& presentation, std::string& error) {
    std::array<std::size_t, kRawValues> offsets{};
    RawScales scales{};
    std::array<double, kRawValues> divisors{};
    auto set = [&](int index, const std::string& id, const char* fallback, const char* unit) {
        const ved96_report::Signal* signal = ved96_report::findSignal(id.c_str());
        if (signal == nullptr) {
            error = "quality: the meter has no signal " + id;
            return false;
        }
        double scale = 1;
        if (!factor(presentation, id, fallback, unit, scale, error)) return false;
        offsets[index] = signal->offset;
        scales[index] = scale;
        const double inverse = 1 / scale;
        const double whole = std::round(inverse);
        divisors[index] = whole >= 1 && std::fabs(inverse - whole) < 1e-9 * whole ? whole : 0;
        return true;
    };
    bool ok = set(kRawFrequency, "frequency", nullptr, "Hz");
    for (int p = 0; ok && p < kPhases; ++p) {
        ok = set(Interval::kPhaseVoltage + p, kPhaseVoltageIds[p], nullptr, "V") &&
             set(Interval::kLineVoltage + p, kLineVoltageIds[p], nullptr, "V") &&
             set(Interval::kThd + p, kThdIds[p], nullptr, "%");
        for (int k = 0; ok && k < kOrders; ++k)
            ok = set(Interval::kHarmonic + 3 * k + p, harmonicId(k + kFirstOrder, p), kThdIds[p],
                     "%");
    }
    if (!ok) return false;
    offsets_ = offsets;
    scales_ = scales;
    divisors_ = divisors;
    return true;
}

Sample SampleReader::read(const unsigned char* record, std::size_t length,
                          std::int64_t unixMs) const {
    Sample s;
    s.unixMs = unixMs;
    if (record == nullptr || length < kRecordBytes) return s;
    for (int p = 0; p < kPhases; ++p) {
        s.phaseVoltage[p] = value(record, Interval::kPhaseVoltage + p);
        s.lineVoltage[p] = value(record, Interval::kLineVoltage + p);
        s.thd[p] = value(record, Interval::kThd + p);
        for (int k = 0; k < kOrders; ++k)
            s.harmonic[p][k] = value(record, Interval::kHarmonic + 3 * k + p);
    }
    s.frequency = value(record, kRawFrequency);
    return s;
}

bool SampleReader::readRaw(const unsigned char* record, std::size_t length, RawRound& round) const {
    if (record == nullptr || length < kRecordBytes) return false;
    for (int i = 0; i < kRawValues; ++i) std::memcpy(&round.raw[i], record + offsets_[i], 2);
    return true;
}

}  // namespace vedhost::quality
