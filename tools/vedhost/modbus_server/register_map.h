// The meter's holding registers as the server finds them in a round's record:
// the ten polled blocks, each register at its own place in the 1009 bytes,
// the value exactly as the meter sent it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace vedhost {

// The size of a round's record.
extern const std::size_t kRecordBytes;

// The byte offset in the record of register `reg`; nullopt when no polled
// block holds it.
std::optional<std::size_t> registerOffset(unsigned reg);

// True when every register first..first+count-1 lies in a polled block
// (count >= 1). A range may run on from one block into the next where their
// addresses meet (100..104, 1400..1797, 6000..6017).
bool polledRange(unsigned first, unsigned count);

// Registers first..first+count-1 from a record of kRecordBytes bytes, in
// register order; the caller has checked polledRange().
std::vector<std::uint16_t> registersFromRecord(const std::uint8_t* record, unsigned first,
                                               unsigned count);

}  // namespace vedhost
