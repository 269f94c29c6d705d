// Meter replies at every poll stage with any response contents, one after
// the other on one device, then the report of what they left in the record.
// Input: a sequence of replies, each a stage byte (one of the device's stages,
// or the byte itself as an unknown stage), a word count byte, then that many
// words (missing bytes read as 0).
#include <cstdint>
#include <cstring>
#include <vector>

#include "../scratch_dir.h"
#include "ved96/ved96.h"

namespace {

constexpr int kStages[] = {11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 206, 210, 310, 320};
constexpr std::size_t kStageCount = sizeof kStages / sizeof kStages[0];

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::enterScratchDirectory();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ved96 meter;
    std::size_t at = 0;
    while (at + 2 <= size) {
        const std::uint8_t stage = data[at];
        const std::size_t words = data[at + 1];
        at += 2;
        meter.curTab_ = stage < 0xE0 ? kStages[stage % kStageCount] : stage;
        std::memset(meter.respBuf_, 0, sizeof meter.respBuf_);
        const std::size_t bytes = std::min(2 * words, size - at);
        std::memcpy(meter.respBuf_, data + at, bytes);
        at += bytes;
        meter.writeExpected_ = meter.respBuf_[0];
        meter.process_payload(meter.curTab_, static_cast<unsigned>(words));
        meter.takeRequest();
    }
    std::vector<char> text(65536);
    int length = 0;
    meter.DeviceIoControl(801, nullptr, 0, text.data(), static_cast<int>(text.size()), length);
    return 0;
}
