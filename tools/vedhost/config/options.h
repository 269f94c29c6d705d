// vedhost's settings as rows. Each row is one setting: its command-line
// spelling, its member in the --config document, one line of help, how its
// value is checked and where it goes. The command line (CLI11), the document
// reader, --help, `vedhost check-config` and the generated reference all walk
// the same rows, so the two spellings of a setting cannot drift apart.
//
// Each concern keeps its rows beside its code (line_options.cpp,
// host_options.cpp, history_options.cpp, mqtt_options.cpp) and hands them to
// config.cpp, which joins them. A new setting is one row:
//
//   {"MQTT", "--mqtt-queue", "N", "mqtt.queue",
//    "messages kept per meter while the broker is away (default 1000)",
//    ValueType::Integer, 1, 1000000, storeQueue, showQueue},
//
// A member path is dotted ("mqtt.queue"); every object on the way is made a
// group of the document, so nested objects need no code. A row of type Custom
// reads any JSON value itself (an array of objects, say); a path with "[]"
// ("lines[].baud") names a member read by its array's row ("lines") and is
// listed for reference only.
#pragma once

#include <json/value.h>

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "common/parse.h"

namespace vedhost {

struct HostConfig;

// Where a setting's value came from.
enum class Source { Default, Environment, Document, CommandLine };
// "default", "environment", "document", "command line".
const char* sourceName(Source source);

// What a row's value is; both spellings are checked the same way.
enum class ValueType {
    Flag,     // on when given (--show); true or false in the document
    Text,     // any text
    Path,     // a file name; the document's are taken from its folder
    Integer,  // a whole number min..max
    Real,     // a number min..max
    Custom,   // store() checks it: the text from the command line, any JSON from the document
};

// How a value was given, for store() and its messages.
struct Given {
    Source source = Source::Default;
    std::string name;    // what a message names: "--mqtt-queue" or "mqtt.queue"
    std::string folder;  // the document's folder, for Custom rows that name files
};

struct OptionRow {
    const char* group;      // the --help group: "one meter", "MQTT", ...
    const char* flag;       // "--mqtt-queue"; nullptr: the document only
    const char* valueName;  // "N" in --help; nullptr for a flag without a value
    const char* member;     // "mqtt.queue"; nullptr: the command line only
    const char* help;       // for --help and the reference; "\n" starts a further line
    ValueType type;
    double min, max;  // Integer and Real
    // Keeps a checked value: Integer as a 64-bit integer, Real as a double,
    // Text and Path as a string (a document's path already taken from its
    // folder), Flag as a bool. A Custom row checks the value first. False
    // with a one-line reason in `error`, naming `given.name`.
    bool (*store)(HostConfig& config, const Json::Value& value, const Given& given,
                  std::string& error);
    // The value in effect, for check-config; null when the setting is off.
    Json::Value (*show)(const HostConfig& config);
};

// One concern's rows.
struct OptionTable {
    const OptionRow* rows;
    std::size_t count;
    // Checks that need the whole configuration, once the document and the
    // command line are both read (a password file, a member that needs
    // another); nullptr when there are none.
    bool (*finish)(HostConfig& config, std::string& error);

    const OptionRow* begin() const { return rows; }
    const OptionRow* end() const { return rows + count; }
};

template <std::size_t N>
constexpr OptionTable optionTable(const OptionRow (&rows)[N],
                                  bool (*finish)(HostConfig&, std::string&) = nullptr) {
    return OptionTable{rows, N, finish};
}

// Every concern's table, in --help order.
const std::vector<const OptionTable*>& optionTables();

// The concerns' tables (each defined beside its code). A new concern declares
// its table here and lists it in optionTables() (config.cpp); its rows then
// reach the command line, the document, --help, check-config and the
// reference with no further code.
const OptionTable& lineOptions();
const OptionTable& hostOptions();
const OptionTable& historyOptions();
const OptionTable& mqttOptions();
const OptionTable& httpOptions();

// Small helpers for rows.
// Text of a value as a message shows it: 70000, "fast", true.
std::string valueText(const Json::Value& value);
// A JSON value or null when the text is empty.
Json::Value textOrNull(const std::string& text);
}  // namespace vedhost
