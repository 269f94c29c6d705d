// What vedhost is asked to do: the command line and the --config document,
// joined from the concerns' option tables (config/options.h).
//
// Parsing is pure: it reads the files the configuration names (the document,
// settings, presentation and password files) but opens no line and loads no
// plug-in, so every bad-configuration case is told apart here and reported as
// one line. The command line wins over the document, the document over the
// defaults.
#pragma once

#include <json/value.h>

#include <optional>
#include <string>
#include <vector>

#include "config/host_options.h"
#include "config/option_rows.h"
#include "energy/energy_options.h"
#include "history/history_options.h"
#include "history/history_query.h"
#include "lines/line_options.h"
#include "modbus_server/modbus_server_options.h"
#include "mqtt/mqtt_options.h"
#include "presentation/presentation.h"
#include "quality/quality_options.h"
#include "web/http_options.h"

namespace vedhost {

// Every concern's settings in one place: the host's own (HostSettings) and
// each concern's, as its table wrote them.
struct HostConfig : HostSettings {
    std::vector<LineConfig> lines;
    HistoryOptions history;
    std::optional<QualityOptions> quality;  // the supply-quality report; off when unset
    std::optional<MqttOptions> mqtt;
    std::optional<HttpOptions> http;  // the web view, API and metrics; off when unset
    // The Modbus TCP server of the meters' registers; off when unset.
    std::optional<ModbusServerOptions> modbusServer;
    std::optional<EnergyOptions> energy;  // the energy ledger, demand, tariffs; off when unset
    bool help = false;
    bool version = false;

    std::string configPath;  // the --config document, when one was read
    // Where each setting given came from.
    Sources sources;
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

// The energy settings of a --config document (nullopt when it gives none),
// for `vedhost history --energy`. False with a one-line reason.
bool documentEnergy(const std::string& path, std::optional<EnergyOptions>& energy,
                    std::string& error);

// --help: every option with its document member, by group.
std::string usageText();

// The settings as a Markdown table (command line, document member, meaning),
// for the generated reference.
std::string optionsMarkdown();

}  // namespace vedhost
