// What every fuzz target needs around the code it feeds: a scratch working
// directory (removed at exit) and the device's console lines out of the way.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace fuzz {

inline std::string& scratchPath() {
    static std::string path;
    return path;
}

inline void enterScratchDirectory() {
    char pattern[] = "/tmp/ved96-fuzz-XXXXXX";
    if (mkdtemp(pattern) == nullptr || chdir(pattern) != 0) std::abort();
    scratchPath() = pattern;
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(scratchPath(), ignored);
    });
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
}

}  // namespace fuzz
