// The serial lines and TCP endpoints vedhost polls, with their meters: the
// one-meter options of the command line (--rtu, --baud, --slave, ...) and the
// "lines" array of the --config document.
#pragma once

#include <json/value.h>

#include <string>
#include <vector>

#include "config/option_rows.h"

namespace vedhost {

struct MeterConfig {
    int slave = 1;
    unsigned dataId = 1;
    Json::Value settings{Json::objectValue};  // the meter's settings document
};

// One RS-485 line or one TCP endpoint with the meters reached through it.
struct LineConfig {
    enum class Kind { Rtu, Tcp };
    Kind kind = Kind::Rtu;
    std::string device;  // RTU: serial device path
    int baud = 9600;
    char parity = 'N';  // N, E or O
    int dataBits = 8;
    int stopBits = 1;
    std::string host;  // TCP
    int port = 502;
    int timeoutMs = 1000;  // response time-out per request
    int frameGapMs = 0;    // requested pause between frames; never below 3.5 characters
    std::vector<MeterConfig> meters;

    // "rtu /dev/ttyUSB0" or "tcp 127.0.0.1:502", for messages.
    std::string name() const;
};

// The one-meter options (--rtu, --baud, --slave, ...) and the document's
// "lines" array, both read through one table of the line and meter members.
const SettingTable<std::vector<LineConfig>>& lineOptions();

// Reads a document's "lines" array. Relative settings file names are taken
// from `folder`. A line without "timeout_ms" gets `timeoutMs`. False with a
// one-line reason naming the member ("lines[0].meters[1]: ...").
bool parseLines(const Json::Value& lines, const std::string& folder, int timeoutMs,
                std::vector<LineConfig>& out, std::string& error);

// The lines as the document spells them, for check-config.
Json::Value linesJson(const std::vector<LineConfig>& lines);

}  // namespace vedhost
