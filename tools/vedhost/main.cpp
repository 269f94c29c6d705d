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
#include "hosting/event_log.h"
#include "history/history_command.h"
#include "history/history_store.h"
#include "host/controller.h"
#include "hosting/host_services.h"
#include "web/http_server.h"
#include "lines/modbus_line.h"
#include "mqtt/mqtt_sink.h"
#include "hosting/plugin.h"
#include "lines/scheduler.h"
#include "service/service_notify.h"
#include "service/stop_signals.h"
#include "web/web_state.h"

#ifndef VEDHOST_DEFAULT_PLUGIN
#define VEDHOST_DEFAULT_PLUGIN "ved96.so"
#endif
#ifndef VED96_VERSION
#define VED96_VERSION "unknown"
#endif

namespace {

using namespace vedhost;

constexpr int kExitRuntime = 1;
constexpr int kExitConfig = 2;

int configError(const std::string& message) {
    std::cerr << "vedhost: " << message << std::endl;
    return kExitConfig;
}

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

// Creates and initialises the devices of one line. A meter whose settings the
// plug-in refuses is reported and left out; the others go on.
void createMeters(const LineConfig& config, Plugin& plugin, ModbusLine& link,
                  HostServices& services, const std::shared_ptr<SMDController>& controller,
                  Line& line) {
    for (const MeterConfig& mc : config.meters) {
        auto meter = std::make_unique<Meter>();
        meter->config = mc;
        meter->line = &config;
        meter->device.reset(plugin.provider->create());
        meter->modbus = dynamic_cast<SPModbus*>(meter->device.get());
        if (meter->modbus == nullptr) {
            std::cerr << "vedhost: data id " << mc.dataId << ": the plug-in's device is not a"
                      << " Modbus device" << std::endl;
            meter->active = false;
            line.meters.push_back(std::move(meter));
            continue;
        }
        SPModbus& d = *meter->modbus;
        d.setTransport(&link);
        d.setServices(&services);
        d.slaveId_ = mc.slave;
        d.baudRate_ = config.baud;
        d.parity_ = config.parity == 'E'   ? PARITY_EVEN
                    : config.parity == 'O' ? PARITY_ODD
                                           : PARITY_NONE;
        try {
            d.Init(controller, mc.dataId, mc.settings);
            d.InitV(nullptr, mc.dataId, mc.settings);
            d.InitSetting(mc.settings);
        } catch (const std::exception& e) {
            std::cerr << "vedhost: data id " << mc.dataId << " (" << config.name() << " slave "
                      << mc.slave << "): settings refused: " << e.what() << std::endl;
            meter->active = false;
        } catch (...) {
            std::cerr << "vedhost: data id " << mc.dataId << " (" << config.name() << " slave "
                      << mc.slave << "): settings refused" << std::endl;
            meter->active = false;
        }
        line.meters.push_back(std::move(meter));
    }
}

// Offers each meter the newest record stored for it, as a restarting host does.
// The device completes a round with it and saves it; that is the stored record
// coming back, not a new measurement, so it is not stored again.
void loadCache(std::vector<Line>& lines, HistoryStore& history, HostServices& services,
               Scheduler& scheduler) {
    for (Line& line : lines) {
        for (auto& meter : line.meters) {
            if (!meter->active) continue;
            const auto row = history.newest(meter->config.dataId);
            if (!row) continue;
            services.replayingCache(*meter->device, true);
            bool loaded = false;
            std::string failure;
            try {
                loaded = meter->device->LoadFromCache(row->record.data(),
                                                      static_cast<int>(row->record.size()));
            } catch (const std::exception& e) {
                failure = e.what();
            }
            services.replayingCache(*meter->device, false);
            std::cerr << "vedhost: data id " << meter->config.dataId << ": cached record of "
                      << row->time
                      << (!failure.empty() ? " failed: " + failure
                          : loaded         ? std::string(" loaded")
                                           : std::string(" refused by the device"))
                      << std::endl;
            if (loaded) scheduler.afterRound(*meter);
        }
    }
}

// A line whose exchanges may legitimately take about as long as the watchdog
// interval (a connect and a request on TCP, each up to the response time-out)
// gets the host restarted whenever a meter on it stops answering: say so.
void warnSlowLines(const std::vector<LineConfig>& lines, std::chrono::microseconds watchdog) {
    if (watchdog.count() == 0) return;
    const auto limit = std::chrono::duration_cast<std::chrono::milliseconds>(watchdog);
    for (const LineConfig& line : lines)
        if (2 * std::chrono::milliseconds(line.timeoutMs) >= limit)
            std::cerr << "vedhost: watchdog: " << line.name() << ": a response time-out of "
                      << line.timeoutMs << " ms is not well under the watchdog interval of "
                      << limit.count()
                      << " ms; a meter that stops answering there will look like a hung host"
                      << std::endl;
}

// The history's chart points, as the web server asks for them.
SeriesSource historySeries(HistoryStore& history) {
    return [&history](unsigned dataId, const std::string& signal, std::int64_t from,
                      std::int64_t to, std::size_t maxPoints) {
        std::vector<ChartPoint> points;
        for (const SeriesPoint& p : history.series(dataId, signal, from, to, maxPoints))
            points.push_back({p.time, p.min, p.avg, p.max});
        return points;
    };
}

// The address part of --http, as a URL names it.
std::string listenHost(const std::string& listen) {
    std::string host;
    int port = 0;
    parseListen(listen, host, port);
    return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

int runHost(const HostConfig& config) {
    LineSink events, report;
    std::string error;
    if (!config.pluginLogPath.empty() && !sendPluginConsoleTo(config.pluginLogPath, error))
        return configError(error);
    if (!config.eventsPath.empty() && !events.open(config.eventsPath, error))
        return configError(error);
    if (!config.reportPath.empty() && !report.open(config.reportPath, error))
        return configError(error);
    HistoryStore history;
    const bool keepHistory = !config.history.path.empty();
    StoreOptions storeOptions;
    storeOptions.maxBytes = static_cast<std::uint64_t>(config.history.maxMb) << 20;
    storeOptions.commitSeconds = config.history.commitSeconds;
    storeOptions.tiers = config.history.tiers;
    storeOptions.signals = config.history.signals;
    if (keepHistory && !history.open(config.history.path, false, error, storeOptions))
        return configError(error);

    Plugin plugin;
    if (!loadPlugin(config.pluginPath, plugin, error)) return configError(error);

    HostServices services(&events, keepHistory ? &history : nullptr);
    host::setDefaultServices(&services);
    auto controller = std::make_shared<SMDController>("vedhost");

    std::vector<Line> lines;
    lines.reserve(config.lines.size());
    for (const LineConfig& lc : config.lines) {
        Line line;
        line.link = std::make_unique<ModbusLine>(lc, services);
        if (!line.link->connect(error)) {
            // A serial device that is not there is a configuration error; a
            // TCP endpoint may come up later and is tried again every round.
            if (lc.kind == LineConfig::Kind::Rtu) return configError(error);
            std::cerr << "vedhost: " << error << "; trying again every round" << std::endl;
        }
        lines.push_back(std::move(line));
    }
    for (std::size_t i = 0; i < lines.size(); ++i)
        createMeters(config.lines[i], plugin, *lines[i].link, services, controller, lines[i]);

    // The web view: one more publisher, and a server that reads what it holds.
    std::unique_ptr<WebState> web;
    std::unique_ptr<HttpServer> server;
    std::string served;  // the page's HOST:PORT, as a URL names it
    if (config.http) {
        web = std::make_unique<WebState>(config.presentation);
        for (const Line& line : lines)
            for (const auto& meter : line.meters)
                if (meter->active)
                    web->addMeter(meter->config.dataId, meter->line->name(), meter->config.slave);
        SeriesSource series;
        if (keepHistory) series = historySeries(history);
        server = std::make_unique<HttpServer>(*config.http, *web, config.presentation, series);
        if (!server->start(error)) return configError(error);
        web->onChange([s = server.get()](unsigned dataId) { s->meterChanged(dataId); });
        services.addPublisher(web.get());
        served = listenHost(config.http->listen) + ":" + std::to_string(server->port());
        std::cerr << "vedhost: web view on "
                  << (config.http->tlsCertFile.empty() ? "http://" : "https://") << served << "/"
                  << std::endl;
    }

    // The broker is one more place the results go; it may be away at start.
    std::unique_ptr<MqttSink> mqtt;
    if (config.mqtt) {
        // Announced devices link to the web page when the host serves one,
        // by a name other machines reach when it listens on every address.
        const std::string link =
            !config.http ? "" : pageAddress(served, !config.http->tlsCertFile.empty());
        mqtt = std::make_unique<MqttSink>(*config.mqtt, config.presentation,
                                          DiscoverySite{link, VED96_VERSION});
        for (const Line& line : lines)
            for (const auto& meter : line.meters)
                if (meter->active && !mqtt->addMeter(meter->config.dataId, meter->line->name(),
                                                     meter->config.slave, error))
                    return configError(error);
        services.addPublisher(mqtt.get());
        mqtt->start();
    }

    int result = 0;
    {
        Scheduler scheduler(config, services, &report);
        bool any = false;
        for (const Line& line : lines)
            for (const auto& meter : line.meters) any = any || meter->active;
        if (!any) {
            std::cerr << "vedhost: no meter left to poll" << std::endl;
            result = kExitRuntime;
        } else {
            if (keepHistory) loadCache(lines, history, services, scheduler);
            // From here a stop signal stops the rounds cleanly.
            serveStopSignals();
            scheduler.start(lines);
            // Under systemd: ready now, then how many meters answer, and
            // the watchdog fed only while every line gets somewhere.
            ServiceNotify service;
            warnSlowLines(config.lines, service.watchdogInterval());
            const auto [polled, answering] = scheduler.metersAnswering();
            service.ready(answeringStatus(polled, answering));
            while (!scheduler.finished()) {
                if (stopRequested(std::chrono::milliseconds(100))) {
                    std::cerr << "vedhost: stopping" << std::endl;
                    service.stopping();
                    scheduler.requestStop();
                    break;
                }
                const auto [nowPolled, nowAnswering] = scheduler.metersAnswering();
                service.status(answeringStatus(nowPolled, nowAnswering));
                service.watchdog(scheduler.stuckLines(service.watchdogInterval()));
            }
            scheduler.join();
            if (mqtt) mqtt->stop();
            if (server) server->stop();
            if (!scheduler.allWell()) result = kExitRuntime;
        }
    }
    // Devices go before the services and lines they use.
    for (Line& line : lines) line.meters.clear();
    services.clearPublishers();
    host::setDefaultServices(nullptr);
    return result;
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
    Invocation invocation;
    std::string error;
    if (!parseInvocation(args, defaultPlugin(), invocation, error)) {
        std::cerr << "vedhost: " << error << " (see vedhost --help)" << std::endl;
        return kExitConfig;
    }
    const HostConfig& config = invocation.config;
    if (invocation.command == Invocation::Command::History)
        return runHistoryCommand(invocation.query, std::cout, std::cerr);
    if (config.version) {
        std::cout << "vedhost " VED96_VERSION "\n";
        return 0;
    }
    if (config.help) {
        std::cout << usageText();
        return 0;
    }
    if (invocation.command == Invocation::Command::CheckConfig) return checkConfig(config);
    return runHost(config);
}
