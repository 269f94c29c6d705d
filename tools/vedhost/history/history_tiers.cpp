#include "history/history_tiers.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <set>

#include "ved96/report_tables.h"

namespace vedhost {
namespace {

using ved96_report::Signal;
using ved96_report::SignalKind;

constexpr std::int64_t kDay = 86400;

// Counters and status words: the last value is the one that means something.
bool countsOrStatus(const Signal& signal) {
    if (signal.kind == SignalKind::Bit) return true;
    if (signal.conversion == ved96_report::Conversion::Tenths) return true;
    if (signal.offset == ved96_report::kSoePointerTotal.offset) return true;
    for (const auto& word : ved96_report::kStatusWords)
        if (signal.offset == word.word.offset) return true;
    return false;
}

}  // namespace

const std::vector<TierShape>& defaultTiers() {
    // Ten years and a year are counted with their leap days.
    static const std::vector<TierShape> tiers = {
        {"1m", 60, 7 * kDay},
        {"15m", 15 * 60, 366 * kDay},
        {"1d", kDay, 3653 * kDay},
    };
    return tiers;
}

bool checkTiers(const std::vector<TierShape>& tiers, std::string& error) {
    std::set<std::string> names;
    std::int64_t previous = 0;
    for (const TierShape& tier : tiers) {
        const std::string what = "tier \"" + tier.name + "\": ";
        if (tier.name.empty() || tier.name == "full" || !names.insert(tier.name).second) {
            error = what + "needs a name of its own other than \"full\"";
            return false;
        }
        if (tier.step <= previous || (previous > 0 && tier.step % previous != 0)) {
            error = what + "each step must be a whole multiple of the step before, and larger";
            return false;
        }
        if (tier.span < tier.step) {
            error = what + "the span must hold at least one step";
            return false;
        }
        previous = tier.step;
    }
    return true;
}

Consolidation consolidationOf(const Signal& signal) {
    return countsOrStatus(signal) ? Consolidation::Last : Consolidation::MinAvgMax;
}

bool consolidatedSignals(const std::vector<std::string>& extra,
                         std::vector<ConsolidatedSignal>& out, std::string& error) {
    std::vector<ConsolidatedSignal> layout;
    std::set<const Signal*> seen;
    auto add = [&](const Signal* signal) {
        if (seen.insert(signal).second) layout.push_back({signal, consolidationOf(*signal)});
    };
    for (const auto& m : ved96_report::kMeasurements) add(ved96_report::findSignal(m.id));
    for (const auto& e : ved96_report::kEnergies) add(ved96_report::findSignal(e.id));
    for (const std::string& id : extra) {
        const Signal* signal = ved96_report::findSignal(id.c_str());
        if (signal == nullptr) {
            error = "history signal \"" + id + "\": no such signal id";
            return false;
        }
        if (signal->kind != SignalKind::Number && signal->kind != SignalKind::Bit) {
            error = "history signal \"" + id + "\": only numbers and bits are consolidated";
            return false;
        }
        add(signal);
    }
    out = std::move(layout);
    return true;
}

std::string layoutText(const std::vector<ConsolidatedSignal>& layout) {
    std::string text;
    for (const ConsolidatedSignal& c : layout) {
        if (!text.empty()) text += ',';
        text += c.signal->id;
        text += c.how == Consolidation::Last ? ":last" : ":mma";
    }
    return text;
}

std::vector<ConsolidatedSignal> parseLayout(const std::string& text) {
    std::vector<ConsolidatedSignal> layout;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find(',', at);
        if (end == std::string::npos) end = text.size();
        const std::string item = text.substr(at, end - at);
        at = end + 1;
        const std::size_t colon = item.find(':');
        if (colon == std::string::npos) continue;
        const Signal* signal = ved96_report::findSignal(item.substr(0, colon).c_str());
        const std::string how = item.substr(colon + 1);
        // An unknown id still takes its place in the row: keep the width.
        static const Signal unknown{"", "", SignalKind::Number, 0};
        layout.push_back({signal != nullptr ? signal : &unknown,
                          how == "last" ? Consolidation::Last : Consolidation::MinAvgMax});
    }
    return layout;
}

std::size_t layoutWidth(const std::vector<ConsolidatedSignal>& layout) {
    std::size_t width = 0;
    for (const ConsolidatedSignal& c : layout) width += c.how == Consolidation::Last ? 1 : 3;
    return width;
}

double recordNumber(const unsigned char* record, const Signal& signal) {
    std::uint16_t raw;
    std::memcpy(&raw, record + signal.offset, sizeof raw);
    if (signal.kind == SignalKind::Bit) return (raw >> signal.bit) & 1u;
    return ved96_report::convert(raw, signal.conversion);
}

StepAccumulator::StepAccumulator(const std::vector<ConsolidatedSignal>& layout)
    : layout_(layout), slots_(layout.size()) {}

void StepAccumulator::add(std::size_t slot, double min, double avg, double max, double last,
                          std::int64_t n) {
    if (std::isnan(avg) && std::isnan(last)) return;
    Slot& s = slots_[slot];
    if (s.weight == 0) {
        s.min = min;
        s.max = max;
        s.sum = 0;
    } else {
        s.min = std::fmin(s.min, min);
        s.max = std::fmax(s.max, max);
    }
    s.sum += avg * static_cast<double>(n);
    s.last = last;
    s.weight += n;
}

void StepAccumulator::addRecord(const unsigned char* record) {
    for (std::size_t i = 0; i < layout_.size(); ++i) {
        if (layout_[i].signal->id[0] == '\0') continue;
        const double v = recordNumber(record, *layout_[i].signal);
        add(i, v, v, v, v, 1);
    }
    ++count_;
}

void StepAccumulator::addRow(const std::vector<ConsolidatedSignal>& source, const float* values,
                             std::int64_t count) {
    std::size_t at = 0;
    for (const ConsolidatedSignal& from : source) {
        const float* v = values + at;
        at += from.how == Consolidation::Last ? 1 : 3;
        for (std::size_t i = 0; i < layout_.size(); ++i) {
            if (layout_[i].signal != from.signal) continue;
            if (from.how == Consolidation::Last)
                add(i, v[0], v[0], v[0], v[0], count);
            else
                add(i, v[0], v[1], v[2], v[1], count);
        }
    }
    count_ += count;
}

std::vector<float> StepAccumulator::values() const {
    constexpr float nan = std::numeric_limits<float>::quiet_NaN();
    std::vector<float> out;
    out.reserve(layoutWidth(layout_));
    for (std::size_t i = 0; i < layout_.size(); ++i) {
        const Slot& s = slots_[i];
        const bool any = s.weight > 0;
        if (layout_[i].how == Consolidation::Last) {
            out.push_back(any ? static_cast<float>(s.last) : nan);
        } else {
            out.push_back(any ? static_cast<float>(s.min) : nan);
            out.push_back(any ? static_cast<float>(s.sum / static_cast<double>(s.weight)) : nan);
            out.push_back(any ? static_cast<float>(s.max) : nan);
        }
    }
    return out;
}

}  // namespace vedhost
