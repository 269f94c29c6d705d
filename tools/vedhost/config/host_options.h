// The host's own settings: how often it polls, how long it waits, the
// plug-in it loads and where its outputs go (--interval, --report, ...).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "config/option_rows.h"
#include "presentation/presentation.h"

namespace vedhost {

// A register write asked for with --write REG=VALUE[,VALUE...].
struct WriteRequest {
    int address = 0;
    std::vector<std::uint16_t> values;
    std::string text;  // as given, for messages
};

// REG=VALUE[,VALUE...], register and values 0..65535, at most 123 values.
bool parseWrite(const std::string& text, WriteRequest& write, std::string& error);

struct HostSettings {
    std::string pluginPath;
    double intervalSeconds = 1.0;
    std::optional<long> rounds;  // stop after this many completed rounds
    int timeoutMs = 1000;        // response time-out of lines that give none
    std::string reportPath;      // "-" for stdout
    bool show = false;
    std::string eventsPath;     // "-" for stdout
    std::string pluginLogPath;  // the plug-in's console lines go here, not stdout
    std::optional<WriteRequest> write;
    // Labels, scales, units and classes for vedhost's outputs: the user's, else
    // the built-in one (Presentation::builtIn()).
    Presentation presentation = Presentation::builtIn();
};

// --interval, --rounds, --plugin, --report, --write, --presentation, ... and
// their members at the document's top.
const SettingTable<HostSettings>& hostOptions();

}  // namespace vedhost
