// What vedhost is asked to do: the command line and the --config document.
//
// Parsing is pure: it reads files named on the command line (settings and
// configuration documents) but opens no line and loads no plug-in, so every
// bad-configuration case can be told apart here and reported as one line.
#pragma once

#include <json/value.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "http_options.h"
#include "presentation.h"

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

// A register write asked for with --write REG=VALUE[,VALUE...].
struct WriteRequest {
    int address = 0;
    std::vector<std::uint16_t> values;
    std::string text;  // as given, for messages
};

// Where and how to publish to an MQTT broker (--mqtt and the --mqtt-* options).
struct MqttOptions {
    std::string host;
    int port = 1883;
    std::string prefix = "ved96";  // topics are PREFIX/DATA_ID/state, .../alarm, .../status
    std::string user;
    std::string password;           // the first line of --mqtt-password-file
    std::string tlsCaFile;          // set: TLS, the broker's certificate checked against this CA
    std::size_t queueLimit = 1000;  // per meter, messages kept while the broker is away
    int keepaliveSeconds = 30;
    // Set: each meter and the signals the presentation names are announced
    // for Home Assistant's MQTT discovery under this prefix ("homeassistant").
    std::string discoveryPrefix;
};

struct HostConfig {
    std::string pluginPath;
    std::vector<LineConfig> lines;
    double intervalSeconds = 1.0;
    std::optional<long> rounds;  // stop after this many completed rounds
    std::string reportPath;      // "-" for stdout
    bool show = false;
    std::string eventsPath;  // "-" for stdout
    std::string historyPath;
    std::string pluginLogPath;  // the plug-in's console lines go here, not stdout
    std::optional<WriteRequest> write;
    // Labels, scales, units and classes for vedhost's outputs: the user's, else
    // the built-in one (Presentation::builtIn()).
    Presentation presentation = Presentation::builtIn();
    std::optional<MqttOptions> mqtt;
    std::optional<HttpOptions> http;  // the web view, API and metrics; off when unset
    bool help = false;
};

// `vedhost history FILE [--data-id N] [--since T] [--until T] [--resolution R]
// [--format json|csv] [--presentation FILE | --config FILE]` or
// `vedhost history FILE --info`.
struct HistoryQuery {
    enum class Format { List, Json, Csv };
    std::string path;
    std::optional<unsigned> dataId;
    std::string since;  // stored at or after this local time, as "2024-03-07T09:05:02"
    std::string until;  // stored before this local time, the same way
    std::string resolution = "full";  // "full" or a tier's name
    bool info = false;                // sizes, cap and the span of each tier instead of rows
    Format format = Format::List;
    Presentation presentation;
};

// Parses the arguments after the program name. Returns false with a one-line
// reason in `error` when they are not a usable configuration.
bool parseCommandLine(const std::vector<std::string>& args, const std::string& defaultPlugin,
                      HostConfig& config, std::string& error);

// Parses the arguments after "history".
bool parseHistoryCommand(const std::vector<std::string>& args, HistoryQuery& query,
                         std::string& error);

// Reads the lines and meters of a --config document into `config.lines`.
// `timeoutMs` is the response time-out of lines that give none. The
// document's "presentation" (an object, or the name of a presentation file)
// goes to `presentation` when one is given.
bool parseConfigDocument(const std::string& text, int timeoutMs, std::vector<LineConfig>& lines,
                         std::string& error, Presentation* presentation = nullptr);

// A local time "2024-03-07T09:05:02" (or a space for the T, minutes or the
// date alone), as "2024-03-07T09:05:02"; false when it is not one.
bool parseLocalTime(const std::string& text, std::string& normal);

// REG=VALUE[,VALUE...], register and values 0..65535, at most 123 values.
bool parseWrite(const std::string& text, WriteRequest& write, std::string& error);

// Parses one JSON document strictly: nothing may follow it, no key may repeat
// within an object, no string may hold a NUL, nesting stops at the reader's
// limit. False with a message starting "bad JSON" otherwise.
bool parseJson(const std::string& text, Json::Value& value, std::string& error);

// The largest file vedhost reads: far above any real settings or
// configuration document.
constexpr std::size_t kMaxFileBytes = 16u << 20;

// Reads a whole file of at most kMaxFileBytes; false with a reason when it
// cannot be read or is larger.
bool readFile(const std::string& path, std::string& text, std::string& error);

extern const char kUsage[];

}  // namespace vedhost
