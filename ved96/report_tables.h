// The signals of the ved96 JSON report: one constant row per signal, naming
// its key, where its register sits in the meter record and how the register
// becomes a report value. ved96::GenJsonData walks these tables in the order
// the report is written.
//
// Record places are byte offsets into ved96_Data_t rather than member
// pointers: the record is packed, so every register is read with a byte copy
// that is safe at any alignment.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "ved96/record.h"

namespace ved96_report {

// The register at `offset` of the record, as the meter sent it.
inline std::uint16_t registerAt(const ved96_Data_t& record, std::size_t offset) {
    std::uint16_t value;
    std::memcpy(&value, reinterpret_cast<const unsigned char*>(&record) + offset, sizeof value);
    return value;
}

enum class Conversion {
    Raw,     // the unsigned register value, unscaled
    Tenths,  // energy counters: register / 10 in single precision
};

// Every signal has a key, the name the report is written with (UTF-8, as the
// host's configuration refers to it), and an id: a stable ASCII name for
// integrators, taken from the record's field names, never part of the report.
struct NumericSignal {
    const char* key;
    const char* id;
    std::size_t offset;
    Conversion conversion;
};

// The report value of a numeric signal; always a real, never an integer.
inline double convert(std::uint16_t raw, Conversion conversion) {
    // Energies are kept in tenths; the division is done in single precision,
    // as the meter's consumers expect (1 reports as 0.100000001490116...).
    if (conversion == Conversion::Tenths)
        return static_cast<double>(static_cast<float>(raw) / 10.0f);
    return static_cast<double>(raw);
}

// Instantaneous measurements, registers 0 to 35.
extern const NumericSignal kMeasurements[36];
// Sequence-of-events pointer total: register 100 alone (101 is not part of it).
extern const NumericSignal kSoePointerTotal;
// Energy counters, registers 500 to 503.
extern const NumericSignal kEnergies[4];
// Primary and secondary ratings, registers 6000 to 6003.
extern const NumericSignal kRatings[4];

// A status word reported whole, followed by one text per bit it carries.
struct BitSignal {
    const char* key;
    const char* id;
    unsigned bit;
};

struct StatusWord {
    NumericSignal word;
    const BitSignal* bits;
    std::size_t bitCount;
    const char* setText;    // text of a bit that is 1
    const char* clearText;  // text of a bit that is 0
    bool alsoInAlertArray;  // the bits are repeated as booleans in "AlertArray"
};

// Nested object holding the voltage alarms as booleans.
extern const char* const kAlertArrayKey;
extern const char* const kAlertArrayId;
// Limit-alarm word with the six voltage alarms, DI word, DO word, in order.
extern const StatusWord kStatusWords[3];

// A meter setting reported as the text of its code. Codes run from 0 without
// gaps, so a code is the index into its texts; any other code is invalid.
struct SettingSignal {
    const char* key;
    const char* id;
    std::size_t offset;
    const char* const* texts;
    std::size_t textCount;
};

extern const char* const kInvalidCodeText;
extern const SettingSignal kSettings[10];

// The text of a setting code; the whole 16-bit code is compared.
inline const char* settingText(const SettingSignal& setting, std::uint16_t code) {
    return code < setting.textCount ? setting.texts[code] : kInvalidCodeText;
}

// Harmonic signals: for current then voltage, items THD, TOHD, TEHD, H2 to
// H31, each for phases A, B, C; 198 in all. The keys follow one pattern
// (phase, "相", quantity, item) and are generated when the plug-in is
// compiled, so a build formats none of them. Their ids follow the pattern
// quantity_item_phase: "current_thd_a", "voltage_tohd_b", "current_h19_c".
struct HarmonicSignal {
    char key[16];  // UTF-8, NUL-terminated; the longest is "A相电压TOHD"
    char id[16];   // ASCII, NUL-terminated; the longest is "voltage_tehd_a"
    std::size_t offset;
};

extern const std::array<HarmonicSignal, 198> kHarmonics;

// Local time at which the round ended, as text.
extern const char* const kUpdateTimeKey;
extern const char* const kUpdateTimeId;

}  // namespace ved96_report
