// vedhost: a host runtime for device plug-ins. It loads the plug-in, makes
// one device per configured meter, and polls the meters over Modbus RTU or
// TCP through libmodbus, handing the plug-in what the host framework would.
//
// The plug-in's console lines reach stdout as it prints them; vedhost's own
// messages go to stderr, prefixed "vedhost: ". Exit status: 0 when every
// polled meter completed its rounds (a round at least, when stopped by SIGINT
// or SIGTERM) and a --write was acknowledged; 1 when a meter completed none or
// gave up under --rounds, or a --write was refused or got no reply, or no
// meter can be polled; 2 for a bad configuration.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "common/json_text.h"
#include "config/config.h"
#include "energy/energy_command.h"
#include "history/history_command.h"
#include "quality/quality_command.h"
#include "runtime/host.h"
#include "lines/scan.h"
#include "service/stop_signals.h"

#ifndef VEDHOST_DEFAULT_PLUGIN
#define VEDHOST_DEFAULT_PLUGIN "ved96.so"
#endif
#ifndef VED96_VERSION
#define VED96_VERSION "unknown"
#endif

namespace {

using namespace vedhost;

// Installed, the plug-in sits at a fixed place relative to vedhost, wherever
// the package was unpacked; in the build tree it is the one built beside it.
std::string defaultPlugin() {
#ifdef VEDHOST_INSTALLED_PLUGIN
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error) {
        const std::filesystem::path installed = self.parent_path() / VEDHOST_INSTALLED_PLUGIN;
        if (std::filesystem::exists(installed, error)) return installed.lexically_normal();
    }
#endif
    return VEDHOST_DEFAULT_PLUGIN;
}

// The configuration in effect, as `vedhost check-config` shows it.
int checkConfig(const HostConfig& config) {
    std::cout << prettyJson(effectiveConfiguration(config)) << std::flush;
    std::cerr << "vedhost: " << config.configPath << ": configuration ok" << std::endl;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // Stop signals end the host from here on: at once while it starts, cleanly
    // once it serves. A closed stdout must not kill the host mid-round.
    watchStopSignals();
    signal(SIGPIPE, SIG_IGN);
    // The plug-in's console lines (some through puts, which does not flush)
    // must reach a file or pipe as they are printed, as on a terminal.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && args[0] == "scan") {
        ScanOptions scan;
        std::string error;
        if (!parseScanCommand({args.begin() + 1, args.end()}, scan, error)) {
            std::cerr << "vedhost: " << error << " (see vedhost scan --help)" << std::endl;
            return kExitConfig;
        }
        if (scan.help) {
            std::cout << kScanUsage;
            return 0;
        }
        return runScan(scan, std::cout, std::cerr, isatty(STDERR_FILENO) != 0);
    }
    Invocation invocation;
    std::string error;
    if (!parseInvocation(args, defaultPlugin(), invocation, error)) {
        std::cerr << "vedhost: " << error << " (see vedhost --help)" << std::endl;
        return kExitConfig;
    }
    const HostConfig& config = invocation.config;
    if (invocation.command == Invocation::Command::History && !invocation.query.energy.empty()) {
        // Consumption from the energy tables, priced by the document's tariffs.
        const HistoryQuery& q = invocation.query;
        energy::EnergyListing listing{q.path,      q.dataId, q.since, q.until,
                                      q.format == HistoryQuery::Format::Json,
                                      q.energy,    q.counter, std::nullopt};
        if (!q.document.empty() && !documentEnergy(q.document, listing.options, error))
            return configError(error);
        return energy::runEnergyCommand(listing, std::cout, std::cerr);
    }
    if (invocation.command == Invocation::Command::History)
        return invocation.query.quality
                   ? quality::runQualityCommand(invocation.query, std::cout, std::cerr)
                   : runHistoryCommand(invocation.query, std::cout, std::cerr);
    if (config.version) {
        std::cout << "vedhost " VED96_VERSION "\n";
        return 0;
    }
    if (config.help) {
        std::cout << usageText();
        return 0;
    }
    if (invocation.command == Invocation::Command::CheckConfig) return checkConfig(config);
    return Host(config, VED96_VERSION).run();
}
