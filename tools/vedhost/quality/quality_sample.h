// A round's supply-quality values taken from the record the meter saved, in
// the units the supply is judged in: volts, hertz and per cent. The record
// keeps the meter's raw registers; the factors that turn them into those
// units are the presentation's (presentation.h), the same that scale the
// values on the page, over MQTT and in the export.
//
// Which factor: a signal's own style when it names the unit the quality
// needs (V, Hz, %), else the built-in presentation's. A harmonic without a
// style of its own is in the unit of its phase's THD. A style that shows a
// value in another unit ("kV", "mHz") is refused, so a report is never made
// from values it would misread.
#pragma once

#include <array>
#include <cstddef>
#include <string>

#include "presentation/presentation.h"
#include "quality/quality_values.h"

namespace vedhost::quality {

class SampleReader {
  public:
    // The built-in presentation's factors.
    SampleReader();

    // Takes the factors from a presentation; false with a one-line reason,
    // and nothing changed, when it shows a value in a unit the quality
    // cannot judge.
    bool configure(const Presentation& presentation, std::string& error);

    // A round's values from a whole record image (1009 bytes); every value
    // NaN for anything shorter.
    Sample read(const unsigned char* record, std::size_t length, std::int64_t unixMs) const;
    // The round's registers, as the accumulator sums them with scales();
    // false for anything but a whole record.
    bool readRaw(const unsigned char* record, std::size_t length, RawRound& round) const;
    // The factor of each register of a RawRound.
    const RawScales& scales() const { return scales_; }

  private:
    // A raw value as a value: divided by its divisor when the factor is the
    // inverse of a whole number (0.1 is a tenth: 2531 gives 253.1 exactly as
    // written), else multiplied by the factor.
    double value(const unsigned char* record, int index) const;

    std::array<std::size_t, kRawValues> offsets_{};  // record places, in RawRound's order
    RawScales scales_{};
    std::array<double, kRawValues> divisors_{};  // 0: multiply instead
};

}  // namespace vedhost::quality
