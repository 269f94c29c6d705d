#include "quality/quality_sample.h"

#include <cmath>
#include <cstring>

#include "quality/quality_options.h"
#include "ved96/signals.h"

namespace vedhost::quality {
namespace {

constexpr std::size_t kRecordBytes = 1009;

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
    for (const QualitySignal& q : qualitySignals()) {
        const ved96_report::Signal* signal = ved96_report::findSignal(q.id.c_str());
        if (signal == nullptr) {
            error = "quality: the meter has no signal " + q.id;
            return false;
        }
        double scale = 1;
        if (!qualityFactor(presentation, q, scale, error)) return false;
        offsets[q.index] = signal->offset;
        scales[q.index] = scale;
        const double inverse = 1 / scale;
        const double whole = std::round(inverse);
        divisors[q.index] = whole >= 1 && std::fabs(inverse - whole) < 1e-9 * whole ? whole : 0;
    }
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
