// vedhost's settings as rows. Each row is one setting: its command-line
// spelling, its member in the --config document, one line of help, how its
// value is checked and where it goes. The command line (CLI11), the document
// reader, --help, `vedhost check-config` and the generated reference all walk
// the same rows, so the two spellings of a setting cannot drift apart.
//
// Each concern keeps its rows beside its code and writes only into its own
// settings (line_options.cpp into the lines, mqtt_options.cpp into
// MqttOptions, ...); the configuration room (config/options.cpp) joins the
// tables and places each concern's settings in HostConfig. A new setting is
// one row of its concern's table:
//
//   {{"MQTT", "--mqtt-queue", "N", "mqtt.queue",
//     "messages kept per meter while the broker is away (default 1000)",
//     ValueType::Integer, 1, 1000000},
//    storeQueue, showQueue},
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

namespace vedhost {

// Where a setting's value came from.
enum class Source { Default, Environment, Document, CommandLine };
// "default", "environment", "document", "command line".
const char* sourceName(Source source);

// Where each setting given came from, by its document path ("mqtt.port") or,
// for the command line's one-meter options, "lines[].baud". Kept by the
// reader as it stores each value; the concerns' checks ask it how a member
// was spelled.
class Sources {
  public:
    void note(const std::string& member, Source source) { given_[member] = source; }
    bool has(const std::string& member) const { return given_.count(member) != 0; }
    // A member's name as the user gave it, for messages: `flag` when it came
    // from the command line, else the document's `member`.
    std::string spelled(const char* member, const char* flag) const;
    // True when a member under `prefix` ("mqtt.") came from the document.
    bool givenInDocument(const std::string& prefix) const;
    // Reads the file a member names; a failure names the member as spelled().
    bool readNamedFile(const char* member, const char* flag, const std::string& path,
                       std::string& text, std::string& error) const;

    std::map<std::string, Source>::const_iterator begin() const { return given_.begin(); }
    std::map<std::string, Source>::const_iterator end() const { return given_.end(); }

  private:
    std::map<std::string, Source> given_;
};

// What a row's value is; both spellings are checked the same way.
enum class ValueType {
    Flag,     // on when given (--show); true or false in the document
    Text,     // any text
    Path,     // a file name; the document's are taken from its folder
    Integer,  // a whole number min..max
    Real,     // a number min..max
    Custom,   // store() checks it: the text from the command line, any JSON from the document
};

// What a row says about its setting, whatever settings it writes into.
struct OptionRow {
    const char* group;      // the --help group: "one meter", "MQTT", ...
    const char* flag;       // "--mqtt-queue"; nullptr: the document only
    const char* valueName;  // "N" in --help; nullptr for a flag without a value
    const char* member;     // "mqtt.queue"; nullptr: the command line only
    const char* help;       // for --help and the reference; "\n" starts a further line
    ValueType type;
    double min, max;  // Integer and Real
};

// How a value was given, for store() and its messages.
struct Given {
    Source source = Source::Default;
    std::string name;    // what a message names: "--mqtt-queue" or "mqtt.queue"
    std::string folder;  // the document's folder, for Custom rows that name files
    // What was given before this value; a row that stands for two members
    // (--mqtt HOST:PORT gives the port too) notes the other here.
    Sources* sources = nullptr;
    const OptionRow* row = nullptr;  // the row the value is for
};

// A row of one concern, writing into that concern's settings.
template <class Settings>
struct SettingRow {
    OptionRow option;
    // Keeps a checked value: Integer as a 64-bit integer, Real as a double,
    // Text and Path as a string (a document's path already taken from its
    // folder), Flag as a bool. A Custom row checks the value first. False
    // with a one-line reason in `error`, naming `given.name`.
    bool (*store)(Settings& settings, const Json::Value& value, const Given& given,
                  std::string& error);
    // The value in effect, for check-config; null when the setting is off.
    // nullptr: never shown.
    Json::Value (*show)(const Settings& settings);
};

// One concern's rows.
template <class Settings>
struct SettingTable {
    const SettingRow<Settings>* rows;
    std::size_t count;
    // Checks that need the concern's settings whole, once the document and
    // the command line are both read (a password file, a member that needs
    // another); nullptr when there are none.
    bool (*finish)(Settings& settings, Sources& sources, std::string& error);

    const SettingRow<Settings>* begin() const { return rows; }
    const SettingRow<Settings>* end() const { return rows + count; }
};

template <class Settings, std::size_t N>
constexpr SettingTable<Settings> settingTable(const SettingRow<Settings> (&rows)[N],
                                              bool (*finish)(Settings&, Sources&,
                                                             std::string&) = nullptr) {
    return SettingTable<Settings>{rows, N, finish};
}

// Small helpers for rows.
// Text of a value as a message shows it: 70000, "fast", true.
std::string valueText(const Json::Value& value);
// A JSON value or null when the text is empty.
Json::Value textOrNull(const std::string& text);

}  // namespace vedhost
