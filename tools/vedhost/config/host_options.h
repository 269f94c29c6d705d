// The host's own settings: how often it polls, how long it waits, the
// plug-in it loads and where its outputs go (--interval, --report, ...).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vedhost {

// A register write asked for with --write REG=VALUE[,VALUE...].
struct WriteRequest {
    int address = 0;
    std::vector<std::uint16_t> values;
    std::string text;  // as given, for messages
};

// REG=VALUE[,VALUE...], register and values 0..65535, at most 123 values.
bool parseWrite(const std::string& text, WriteRequest& write, std::string& error);

}  // namespace vedhost
