// Control requests with any code, input bytes, input and output lengths.
// Input: byte 0 picks the code (one of the handled ones, or bytes 1-4 as it
// stands) and the scheme; bytes 5-6 and 7-8 are the input and output lengths
// (signed 16-bit, little-endian); the rest is the input. The input length
// never exceeds the bytes given, and the output buffer has exactly the
// output length, so any access beyond either is caught.
#include <cstdint>
#include <cstring>
#include <vector>

#include "../scratch_dir.h"
#include "host/seam.h"
#include "ved96/ved96.h"

namespace {

constexpr int kCodes[] = {206, 210, 310, 320, 801, 803, 900};
constexpr std::size_t kHeader = 9;

std::int16_t int16At(const std::uint8_t* p) {
    std::int16_t value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::enterScratchDirectory();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < kHeader) return 0;
    const std::uint8_t choice = data[0];
    int code = kCodes[(choice & 0x7F) % 7];
    if (choice >= 0xF0) std::memcpy(&code, data + 1, sizeof code);
    const std::size_t given = size - kHeader;
    int inLen = int16At(data + 5);
    if (inLen > static_cast<int>(given)) inLen = static_cast<int>(given);
    const int outLen = int16At(data + 7);
    std::vector<unsigned char> in(data + kHeader, data + size);
    std::vector<unsigned char> out(outLen > 0 ? static_cast<std::size_t>(outLen) : 0);

    ved96 meter;
    meter.b_mode_ = (choice & 0x80) ? 5 : 1;
    int outLenRet = 0;
    meter.DeviceIoControl(code, in.empty() ? nullptr : in.data(), inLen,
                          out.empty() ? nullptr : out.data(), outLen, outLenRet);
    // A write goes out through the host's loop (no meter here: it fails).
    host::pump(meter);
    return 0;
}
