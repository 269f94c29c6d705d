// What vedhost is asked to do: the command line and the --config document,
// joined from the concerns' option tables (options.h).
//
// Parsing is pure: it reads the files the configuration names (the document,
// settings, presentation and password files) but opens no line and loads no
// plug-in, so every bad-configuration case is told apart here and reported as
// one line. The command line wins over the document, the document over the
// defaults.
#pragma once

#include <json/value.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/local_time.h"
#include "history/history_options.h"
#include "config/host_options.h"
#include "web/http_options.h"
#include "common/json_file.h"
#include "lines/line_options.h"
#include "mqtt/mqtt_options.h"
#include "config/options.h"
#include "presentation/presentation.h"

namespace vedhost {

struct HostConfig {
    std::string pluginPath;
    std::vector<LineConfig> lines;
    double intervalSeconds = 1.0;
    std::optional<long> rounds;  // stop after this many completed rounds
    int timeoutMs = 1000;        // response time-out of lines that give none
    std::string reportPath;      // "-" for stdout
    bool show = false;
    std::string eventsPath;  // "-" for stdout
    HistoryOptions history;
    std::string pluginLogPath;  // the plug-in's console lines go here, not stdout
    std::optional<WriteRequest> write;
    // Labels, scales, units and classes for vedhost's outputs: the user's, else
    // the built-in one (Presentation::builtIn()).
    Presentation presentation = Presentation::builtIn();
    std::optional<MqttOptions> mqtt;
    std::optional<HttpOptions> http;  // the web view, API and metrics; off when unset
    bool help = false;
    bool version = false;

    std::string configPath;  // the --config document, when one was read
    // Where each setting given came from, by its document path ("mqtt.port")
    // or, for the command line's one-meter options, "lines[].baud".
    std::map<std::string, Source> sources;

    // A member's name as the user gave it, for messages: `flag` when it came
    // from the command line, else the document's `member`.
    std::string spelled(const char* member, const char* flag) const;
    // True when a member under `prefix` ("mqtt.") came from the document.
    bool givenInDocument(const std::string& prefix) const;
    // Reads the file a member names; a failure names the member as spelled().
    bool readNamedFile(const char* member, const char* flag, const std::string& path,
                       std::string& text, std::string& error) const;
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

// What the command line asks for.
struct Invocation {
    enum class Command { Run, History, CheckConfig };
    Command command = Command::Run;
    HostConfig config;   // Run and CheckConfig (config.help, config.version)
    HistoryQuery query;  // History
};

// Parses the arguments after the program name: the host's options, or
// `history ...`, or `check-config FILE [options]`. False with a one-line
// reason in `error` when they are not a usable configuration.
bool parseInvocation(const std::vector<std::string>& args, const std::string& defaultPlugin,
                     Invocation& invocation, std::string& error);

// Parses the host's options (no subcommand).
bool parseCommandLine(const std::vector<std::string>& args, const std::string& defaultPlugin,
                      HostConfig& config, std::string& error);

// Parses the arguments after "history".
bool parseHistoryCommand(const std::vector<std::string>& args, HistoryQuery& query,
                         std::string& error);

// Reads the lines and meters of a --config document into `lines`, and its
// "presentation" into `presentation` when one is given. `timeoutMs` is the
// response time-out of lines that give none (unless the document's
// "timeout_ms" says otherwise). Settings and presentation files named with
// relative names are taken from the working directory.
bool parseConfigDocument(const std::string& text, int timeoutMs, std::vector<LineConfig>& lines,
                         std::string& error, Presentation* presentation = nullptr);

// The configuration in effect as JSON for `vedhost check-config`:
// {"configuration": {members as the document spells them}, "from": {"mqtt.port":
// "document", ...}}; the MQTT password masked.
Json::Value effectiveConfiguration(const HostConfig& config);

// --help: every option with its document member, by group.
std::string usageText();

// The settings as a Markdown table (command line, document member, meaning),
// for the generated reference.
std::string optionsMarkdown();

}  // namespace vedhost
