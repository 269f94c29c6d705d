#include "ved96/signals.h"

#include <cstring>
#include <iterator>

#include "ved96/polling.h"

namespace ved96_report {
namespace {

struct Builder {
    std::array<Signal, kSignalCount> rows{};
    std::size_t next = 0;

    void number(const NumericSignal& s) {
        rows[next++] = {s.key, s.id, SignalKind::Number, s.offset, s.conversion};
    }
    template <std::size_t N>
    void numbers(const NumericSignal (&list)[N]) {
        for (const NumericSignal& s : list) number(s);
    }
};

std::array<Signal, kSignalCount> build() {
    Builder b;
    b.numbers(kMeasurements);
    b.number(kSoePointerTotal);
    for (const StatusWord& word : kStatusWords) {
        b.number(word.word);
        for (std::size_t i = 0; i < word.bitCount; ++i) {
            Signal& s = b.rows[b.next++];
            s = {word.bits[i].key, word.bits[i].id, SignalKind::Bit, word.word.offset};
            s.word = &word;
            s.bit = word.bits[i].bit;
        }
        if (word.alsoInAlertArray)
            b.rows[b.next++] = {kAlertArrayKey, kAlertArrayId, SignalKind::AlertArray,
                                word.word.offset};
    }
    b.numbers(kEnergies);
    for (const HarmonicSignal& h : kHarmonics)
        b.rows[b.next++] = {h.key, h.id, SignalKind::Number, h.offset};
    b.numbers(kRatings);
    for (const SettingSignal& setting : kSettings) {
        Signal& s = b.rows[b.next++];
        s = {setting.key, setting.id, SignalKind::Setting, setting.offset};
        s.setting = &setting;
    }
    b.rows[b.next++] = {kUpdateTimeKey, kUpdateTimeId, SignalKind::UpdateTime,
                        offsetof(ved96_Data_t, update_time)};
    return b.rows;
}

}  // namespace

const std::array<Signal, kSignalCount>& signals() {
    static const std::array<Signal, kSignalCount> rows = build();
    return rows;
}

const Signal* findSignal(const char* id) {
    for (const Signal& s : signals())
        if (std::strcmp(s.id, id) == 0) return &s;
    return nullptr;
}

int registerNumber(std::size_t offset) {
    for (const PollBlock& block : kPollBlocks) {
        const std::size_t end = block.offset + 2 * static_cast<std::size_t>(block.count);
        if (offset >= block.offset && offset < end)
            return block.start + static_cast<int>((offset - block.offset) / 2);
    }
    return -1;
}

}  // namespace ved96_report
