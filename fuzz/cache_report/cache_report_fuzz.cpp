// A cache image of any bytes, then the report as text and as a document and
// a value lookup, as a host does after restoring a device.
#include <json/value.h>
#include <json/writer.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "../scratch_dir.h"
#include "ved96/ved96.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::enterScratchDirectory();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ved96 meter;
    if (size % 2 == 0)
        meter.LoadFromCache(data, static_cast<int>(size));
    else
        meter.LoadFromCache(std::string(reinterpret_cast<const char*>(data), size));

    std::vector<char> text(65536);
    int length = 0;
    meter.DeviceIoControl(801, nullptr, 0, text.data(), static_cast<int>(text.size()), length);
    const Json::Value* document = nullptr;
    meter.DeviceIoControl(803, nullptr, 0, &document, sizeof document, length);
    if (document != nullptr) Json::FastWriter().write(*document);
    try {
        meter.Get_Value(0, "A相电压");
    } catch (const std::out_of_range&) {
        // Every lookup is refused with its reason.
    }
    return 0;
}
