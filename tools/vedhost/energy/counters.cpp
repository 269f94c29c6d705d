#include "energy/counters.h"

#include <cmath>
#include <cstring>

#include "presentation/signal_values.h"
#include "ved96/signals.h"

namespace vedhost::energy {
namespace {

constexpr std::size_t kRecordBytes = 1009;

std::uint16_t registerAt(const unsigned char* record, const char* id) {
    const ved96_report::Signal* s = ved96_report::findSignal(id);
    std::uint16_t v = 0;
    std::memcpy(&v, record + s->offset, sizeof v);  // little-endian, as the record is
    return v;
}

}  // namespace

std::optional<std::size_t> counterIndex(const std::string& id) {
    for (std::size_t i = 0; i < kCounters; ++i)
        if (id == kCounterInfo[i].id) return i;
    return std::nullopt;
}

bool readingFromRecord(const unsigned char* record, std::size_t length, Reading& out) {
    if (record == nullptr || length != kRecordBytes) return false;
    for (std::size_t i = 0; i < kCounters; ++i) {
        out.raw[i] = registerAt(record, kCounterInfo[i].id);
        out.power[i] = registerAt(record, kCounterInfo[i].powerId);
    }
    out.activePowerW = registerAt(record, "active_power_total");
    return true;
}

bool readingFromReport(const Json::Value& report, Reading& out) {
    bool seen[kCounters] = {};
    for (const SignalValue& v : reportValues(report)) {
        const std::string id = v.signal->id;
        for (std::size_t i = 0; i < kCounters; ++i) {
            if (id == kCounterInfo[i].id) {
                // The report gives count / 10 in single precision: the nearest
                // whole count is the register.
                const double counts = std::round(v.value.asDouble() * 10.0);
                if (!(counts >= 0 && counts < kCounterRange)) return false;
                out.raw[i] = static_cast<std::uint16_t>(counts);
                seen[i] = true;
            }
            if (id == kCounterInfo[i].powerId) out.power[i] = v.value.asDouble();
        }
        if (id == "active_power_total") out.activePowerW = v.value.asDouble();
    }
    for (bool s : seen)
        if (!s) return false;
    return true;
}

}  // namespace vedhost::energy
