#include "ved96/polling.h"

#include <cstring>

#include "ved96/ved96.h"

namespace {

const PollBlock* blockForStage(int stage) {
    for (const auto& block : kPollBlocks)
        if (block.stage == stage) return &block;
    return nullptr;
}

}  // namespace

int ved96::RefreshStatus() {
    SMDSPDevice::RefreshStatus();
    const PollBlock& first = kPollBlocks.front();
    curTab_ = first.stage;
    modbus_read_registers(first.start, first.count);
    return 1;
}

int ved96::process_payload(tab_type, unsigned int) {
    if (const PollBlock* block = blockForStage(curTab_)) {
        // Plain copy of the block's words: registers stay raw in the record.
        std::memcpy(reinterpret_cast<unsigned char*>(&data_) + block->offset, respBuf_,
                    2 * static_cast<std::size_t>(block->count));
        if (block->stage == kLastPollStage) {
            RoundDone();
            return 0;
        }
        const PollBlock& next = *(block + 1);
        curTab_ = next.stage;
        modbus_read_registers(next.start, next.count);
        return 1;
    }
    switch (curTab_) {
        case kWriteSingleStage:
            writeResult_ = static_cast<int>(respBuf_[0]) == writeExpected_ ? 1 : 3;
            Reset();
            return 0;
        case kWriteMultipleStage:
            writeResult_ =
                respBuf_[0] == 16 && static_cast<int>(respBuf_[1]) == writeExpected_ ? 1 : 3;
            Reset();
            return 0;
        default:
            return 1;  // no reply is awaited under this stage
    }
}
