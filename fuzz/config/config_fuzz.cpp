// vedhost's --config reader with any document. Settings files it names are
// looked for in a scratch directory.
#include <cstdint>
#include <string>
#include <vector>

#include "../scratch_dir.h"
#include "config/config.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::enterScratchDirectory();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<vedhost::LineConfig> lines;
    std::string error;
    vedhost::parseConfigDocument(std::string(reinterpret_cast<const char*>(data), size), 1000,
                                 lines, error);
    return 0;
}
