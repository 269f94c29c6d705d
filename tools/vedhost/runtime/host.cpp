#include "runtime/host.h"

#include <algorithm>
#include <chrono>
#include <iostream>

#include "common/parse.h"
#include "common/wall_clock.h"
#include "lines/modbus_line.h"
#include "service/service_notify.h"
#include "service/stop_signals.h"
#include "ved96/control_codes.h"

namespace vedhost {
namespace {

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

// The address part of --http, as a URL names it.
std::string listenHost(const std::string& listen) {
    std::string host;
    int port = 0;
    parseListen(listen, host, port);
    return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

}  // namespace

int configError(const std::string& message) {
    std::cerr << "vedhost: " << message << std::endl;
    return kExitConfig;
}

Host::Host(const HostConfig& config, std::string version)
    : config_(config), version_(std::move(version)) {}

Host::~Host() {
    // The web server asks the other parts how they stand: it goes first.
    if (server_) server_->stop();
    // Devices go before the services and lines they use.
    for (Line& line : lines_) line.meters.clear();
    publishers_.clear();
    if (services_) host::setDefaultServices(nullptr);
}

int Host::run() {
    std::string error;
    if (!openOutputs(error) || !openHistory(error) || !openQuality(error) ||
        !loadPlugin(config_.pluginPath, plugin_, error))
        return configError(error);
    startServices();
    if (!openLines(error)) return configError(error);
    for (std::size_t i = 0; i < lines_.size(); ++i) createMeters(config_.lines[i], lines_[i]);
    if (!startEnergy(error)) return configError(error);
    addReportSinks();
    if (!startWeb(error) || !startMqtt(error) || !openModbusServer(error))
        return configError(error);
    raiseLimits();
    return poll();
}

bool Host::openOutputs(std::string& error) {
    if (!config_.pluginLogPath.empty() && !sendPluginConsoleTo(config_.pluginLogPath, error))
        return false;
    if (!config_.eventsPath.empty() && !events_.open(config_.eventsPath, error)) return false;
    return config_.reportPath.empty() || report_.open(config_.reportPath, error);
}

bool Host::openHistory(std::string& error) {
    if (!keepsHistory()) return true;
    StoreOptions options;
    options.maxBytes = static_cast<std::uint64_t>(config_.history.maxMb) << 20;
    options.commitSeconds = config_.history.commitSeconds;
    options.tiers = config_.history.tiers;
    options.signals = config_.history.signals;
    // The history trusts the wall clock as far as the monotonic one bears it
    // out, and not at all before this release was built.
    options.monotonicMs = monotonicMs;
    options.earliestMs = releaseBuiltMs();
    if (!history_.open(config_.history.path, false, error, options)) return false;
    historySink_ = std::make_unique<HistorySink>(history_);
    publishers_.add(historySink_.get());
    return true;
}

// The supply-quality report: its tables in the history's file, under its
// cap; it hears each round after the history has it.
bool Host::openQuality(std::string& error) {
    if (!config_.quality) return true;
    quality_ = std::make_unique<quality::QualitySink>();
    if (!quality_->open(config_.history.path,
                        static_cast<std::uint64_t>(config_.history.maxMb) << 20, *config_.quality,
                        config_.presentation, error))
        return false;
    publishers_.add(quality_.get());
    return true;
}

void Host::startServices() {
    services_ = std::make_unique<HostServices>(&events_, keepsHistory());
    host::setDefaultServices(services_.get());
    controller_ = std::make_shared<SMDController>("vedhost");
}

bool Host::openLines(std::string& error) {
    lines_.reserve(config_.lines.size());
    for (const LineConfig& lc : config_.lines) {
        Line line;
        line.link = std::make_unique<ModbusLine>(lc, *services_);
        if (!line.link->connect(error)) {
            // A serial device another process holds is refused; one that is
            // not there yet (an adapter not plugged in) is opened once it
            // is, as one that goes later is; a TCP endpoint may come up later
            // and is tried again every round.
            if (line.link->heldElsewhere()) return false;
            std::cerr << "vedhost: " << error
                      << (lc.kind == LineConfig::Kind::Rtu
                              ? "; opening it again in 1 s, then at most every 30 s"
                              : "; trying again every round")
                      << std::endl;
        }
        lines_.push_back(std::move(line));
    }
    return true;
}

// Creates and initialises the devices of one line. A meter whose settings the
// plug-in refuses is reported and left out; the others go on.
void Host::createMeters(const LineConfig& config, Line& line) {
    for (const MeterConfig& mc : config.meters) {
        auto meter = std::make_unique<Meter>();
        meter->config = mc;
        meter->line = &config;
        meter->device.reset(plugin_.provider->create());
        meter->modbus = dynamic_cast<SPModbus*>(meter->device.get());
        if (meter->modbus == nullptr) {
            std::cerr << "vedhost: data id " << mc.dataId << ": the plug-in's device is not a"
                      << " Modbus device" << std::endl;
            meter->active = false;
            line.meters.push_back(std::move(meter));
            continue;
        }
        SPModbus& d = *meter->modbus;
        d.setTransport(line.link.get());
        d.setServices(services_.get());
        d.slaveId_ = mc.slave;
        d.baudRate_ = config.baud;
        d.parity_ = config.parity == 'E'   ? PARITY_EVEN
                    : config.parity == 'O' ? PARITY_ODD
                                           : PARITY_NONE;
        try {
            d.Init(controller_, mc.dataId, mc.settings);
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

// The energy books of every meter polled; their tables in the history's
// file, committed once a minute (a crash's lost minute is counted again
// after the restart, as accrued over the gap).
bool Host::startEnergy(std::string& error) {
    if (!config_.energy || !config_.energy->enabled) return true;
    if (keepsHistory()) {
        energy::EnergyStoreOptions o;
        o.commitSeconds = std::max(60.0, config_.history.commitSeconds);
        // Hours for as long as the tiers keep a step of an hour or less, days
        // for as long as any tier; a year and ten at least.
        for (const TierShape& t : config_.history.tiers) {
            if (t.step <= 3600) o.hourSpan = std::max(o.hourSpan, t.span);
            o.daySpan = std::max(o.daySpan, t.span);
        }
        energyStore_ = std::make_unique<energy::EnergyStore>();
        if (!energyStore_->open(config_.history.path, false, error, o)) return false;
    }
    energySink_ = std::make_unique<energy::EnergySink>(
        energy::energyRules(*config_.energy, config_.intervalSeconds), energyStore_.get());
    const std::int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count();
    for (const Line& line : lines_)
        for (const auto& meter : line.meters)
            if (meter->active) energySink_->addMeter(meter->config.dataId, now);
    energyRounds_ = std::make_unique<energy::EnergyRoundSink>(*energySink_);
    publishers_.add(energyRounds_.get());
    hostValues_ = [sink = energySink_.get()](unsigned dataId) { return sink->stateValues(dataId); };
    return true;
}

// The report stream's line goes out before the table, as each round ends.
void Host::addReportSinks() {
    if (report_.isOpen()) {
        reportStream_ = std::make_unique<ReportStream>(report_);
        publishers_.add(reportStream_.get());
    }
    if (config_.show) {
        reportConsole_ = std::make_unique<ReportConsole>(config_.presentation);
        publishers_.add(reportConsole_.get());
    }
}

// The web view: one more sink, and a server that reads what it holds and
// charts from the history.
bool Host::startWeb(std::string& error) {
    if (!config_.http) return true;
    web_ = std::make_unique<WebState>(config_.presentation);
    for (const Line& line : lines_)
        for (const auto& meter : line.meters)
            if (meter->active)
                web_->addMeter(meter->config.dataId, meter->line->name(), meter->config.slave);
    server_ = std::make_unique<HttpServer>(*config_.http, *web_, config_.presentation,
                                           keepsHistory() ? &history_ : nullptr);
    if (quality_)
        server_->setQuality([q = quality_.get()](unsigned dataId, const std::string& week,
                                                 Json::Value& document, std::string& error) {
            return q->answer(dataId, week, document, error);
        });
    server_->setHealth([this] { return health(); });
    if (energySink_) {
        web_->setHostValues(hostValues_);
        server_->setEnergy([sink = energySink_.get()](const auto& arg, std::string& reply) {
            const std::int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                                         std::chrono::system_clock::now().time_since_epoch())
                                         .count();
            return energy::energyReply(*sink, arg, now, reply);
        });
    }
    if (!server_->start(error)) return false;
    web_->onChange([s = server_.get()](unsigned dataId) { s->meterChanged(dataId); });
    publishers_.add(web_.get());
    served_ = listenHost(config_.http->listen) + ":" + std::to_string(server_->port());
    std::cerr << "vedhost: web view on "
              << (config_.http->tlsCertFile.empty() ? "http://" : "https://") << served_ << "/"
              << std::endl;
    return true;
}

// The broker is one more place the results go; it may be away at start.
bool Host::startMqtt(std::string& error) {
    if (!config_.mqtt) return true;
    // Announced devices link to the web page when the host serves one, by a
    // name other machines reach when it listens on every address.
    const std::string link =
        !config_.http ? "" : pageAddress(served_, !config_.http->tlsCertFile.empty());
    mqtt_ = std::make_unique<MqttSink>(*config_.mqtt, config_.presentation,
                                       DiscoverySite{link, version_});
    if (energySink_) {
        // Home Assistant is told of the ledger's totals and the demand.
        std::vector<HostEntity> announced;
        for (const energy::StateValue& v : energy::stateValueRows())
            if (*v.stateClass != '\0')
                announced.push_back({v.id, v.label, v.unit, v.deviceClass, v.stateClass});
        mqtt_->setHostValues(hostValues_, announced);
    }
    for (const Line& line : lines_)
        for (const auto& meter : line.meters)
            if (meter->active && !mqtt_->addMeter(meter->config.dataId, meter->line->name(),
                                                  meter->config.slave, error))
                return false;
    publishers_.add(mqtt_.get());
    mqtt_->start();
    return true;
}

// The Modbus server reads the records the rounds leave: one more sink.
bool Host::openModbusServer(std::string& error) {
    if (!config_.modbusServer) return true;
    const ModbusServerOptions& o = *config_.modbusServer;
    std::vector<std::pair<unsigned, int>> meters;
    for (const LineConfig& line : config_.lines)
        for (const MeterConfig& m : line.meters) meters.emplace_back(m.dataId, m.slave);
    std::map<int, unsigned> routes;
    if (!unitRoutes(o.units, meters, routes, error)) return false;
    const double maxAge = o.maxAgeSeconds.value_or(3 * config_.intervalSeconds);
    servedRegisters_ =
        std::make_unique<ServedMeters>(routes, o.writes,
                                       std::chrono::duration_cast<ServedMeters::Clock::duration>(
                                           std::chrono::duration<double>(maxAge)));
    servedSink_ = std::make_unique<ServerSink>(*servedRegisters_);
    publishers_.add(servedSink_.get());
    return true;
}

// The server's writes are carried out on the meter's line between its
// rounds; each, allowed or not, is one event and one MQTT message.
bool Host::startModbusServer(Scheduler& scheduler, std::string& error) {
    if (!servedRegisters_) return true;
    auto runner = [&scheduler](unsigned dataId, const Request& request, ModbusServer::Done done) {
        auto reply = std::make_shared<ModbusServer::Done>(std::move(done));
        const bool queued = scheduler.runBetweenRounds(dataId, [request, reply](Meter& meter) {
            const int result = writeRegisters(meter, request.address, request.values,
                                              request.kind == Request::Kind::WriteMany);
            (*reply)(result == ved96_control::kWriteAcknowledged ? WriteOutcome::Acknowledged
                     : result == ved96_control::kWriteRefused    ? WriteOutcome::Refused
                                                                 : WriteOutcome::NoReply);
        });
        if (!queued) (*reply)(WriteOutcome::NoReply);
    };
    auto audit = [services = services_.get(), mqtt = mqtt_.get()](const WriteAudit& write) {
        const Json::Value told = auditJson(write);
        Json::Value event = makeEvent("ModbusServerWrite", write.dataId);
        for (const std::string& member : told.getMemberNames()) event[member] = told[member];
        services->log(event);
        if (mqtt != nullptr) mqtt->clientWrite(write.dataId, event);
    };
    modbusServer_ =
        std::make_unique<ModbusServer>(*config_.modbusServer, *servedRegisters_, runner, audit);
    if (!modbusServer_->start(error)) return false;
    std::cerr << "vedhost: modbus server on " << listenHost(config_.modbusServer->listen) << ":"
              << modbusServer_->port() << std::endl;
    return true;
}

// A demand limit is a vedhost alarm: on MQTT's alarm topic and the page.
void Host::raiseLimits() {
    if (!energySink_) return;
    energySink_->onLimit([w = web_.get(), m = mqtt_.get()](const energy::LimitAlarm& a) {
        for (Publisher* p : {static_cast<Publisher*>(w), static_cast<Publisher*>(m)})
            if (p != nullptr)
                p->alarmCheck(a.dataId, a.level, a.key, a.alarmId, a.valueText, a.message,
                              a.raised, 0);
    });
}

int Host::poll() {
    Scheduler scheduler(PollSettings{config_.intervalSeconds, config_.rounds, config_.write},
                        *services_, publishers_);
    bool any = false;
    for (const Line& line : lines_)
        for (const auto& meter : line.meters) any = any || meter->active;
    if (!any) {
        std::cerr << "vedhost: no meter left to poll" << std::endl;
        return kExitRuntime;
    }
    std::string error;
    if (!startModbusServer(scheduler, error)) return configError(error);
    if (keepsHistory()) offerStoredRecords(scheduler);
    polling_ = true;
    // From here a stop signal stops the rounds cleanly.
    serveStopSignals();
    scheduler.start(lines_);
    serve(scheduler);
    scheduler.join();
    if (modbusServer_) modbusServer_->stop();
    if (mqtt_) mqtt_->stop();
    if (server_) server_->stop();
    return scheduler.allWell() ? 0 : kExitRuntime;
}

// Offers each meter the newest record stored for it, as a restarting host does.
void Host::offerStoredRecords(Scheduler& scheduler) {
    for (Line& line : lines_) {
        for (auto& meter : line.meters) {
            if (!meter->active) continue;
            const auto row = history_.newest(meter->config.dataId);
            if (row) scheduler.replay(*meter, row->record, row->time);
        }
    }
}

// Under systemd: ready now, then how many meters answer, and the watchdog fed
// only while every line gets somewhere; until the lines end or a stop signal.
void Host::serve(Scheduler& scheduler) {
    ServiceNotify service;
    warnSlowLines(config_.lines, service.watchdogInterval());
    const auto [polled, answering] = scheduler.metersAnswering();
    clock_.check(readClocks(), std::cerr);
    service.ready(healthStatus(health(), polled, answering));
    while (!scheduler.finished()) {
        clock_.check(readClocks(), std::cerr);
        if (stopRequested(std::chrono::milliseconds(100))) {
            std::cerr << "vedhost: stopping" << std::endl;
            service.stopping();
            scheduler.requestStop();
            return;
        }
        const auto [nowPolled, nowAnswering] = scheduler.metersAnswering();
        service.status(healthStatus(health(), nowPolled, nowAnswering));
        service.watchdog(scheduler.stuckLines(service.watchdogInterval()));
    }
}

HostHealth Host::health() const {
    HostHealth h;
    for (const Line& line : lines_) {
        const ModbusLine::Health l = line.link->health();
        h.lines.push_back({line.link->config().name(), l.up, l.reopens, l.goneAtMs, l.error});
    }
    if (keepsHistory()) {
        const StoreHealth s = history_.health();
        HistoryHealth hh;
        // The store's reasons, in the order the store names them.
        static constexpr HistoryHealth::Stop kStops[] = {
            HistoryHealth::Stop::None, HistoryHealth::Stop::Full, HistoryHealth::Stop::ReadOnly,
            HistoryHealth::Stop::Failed};
        hh.stop = kStops[static_cast<int>(s.stop)];
        hh.stoppedAtMs = s.stoppedAtMs;
        hh.error = s.error;
        hh.stored = s.stored;
        hh.notStored = s.notStored;
        hh.bytes = s.bytes;
        hh.maxBytes = s.maxBytes;
        h.history = hh;
    }
    if (polling_ && mqtt_)
        for (const MqttSink::Health& b : mqtt_->health())
            h.brokers.push_back({b.dataId, b.connected, b.awaySinceMs, b.queued, b.dropped});
    h.clockSteps = clock_.steps();
    h.clockUnset = clock_.unset();
    return h;
}

}  // namespace vedhost
