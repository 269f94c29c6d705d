#include "modbus_server/register_map.h"

#include "ved96/polling.h"

namespace vedhost {

const std::size_t kRecordBytes = sizeof(ved96_Data_t);

std::optional<std::size_t> registerOffset(unsigned reg) {
    for (const PollBlock& block : kPollBlocks) {
        const unsigned start = static_cast<unsigned>(block.start);
        if (reg >= start && reg < start + static_cast<unsigned>(block.count))
            return block.offset + 2 * (reg - start);
    }
    return std::nullopt;
}

bool polledRange(unsigned first, unsigned count) {
    if (count == 0) return false;
    for (unsigned reg = first; reg < first + count; ++reg)
        if (!registerOffset(reg)) return false;
    return true;
}

std::vector<std::uint16_t> registersFromRecord(const std::uint8_t* record, unsigned first,
                                               unsigned count) {
    std::vector<std::uint16_t> words;
    words.reserve(count);
    // The record is little-endian whatever the host's byte order.
    for (unsigned reg = first; reg < first + count; ++reg) {
        const std::size_t at = *registerOffset(reg);
        words.push_back(static_cast<std::uint16_t>(record[at] | record[at + 1] << 8));
    }
    return words;
}

}  // namespace vedhost
