// Building and running the host: the plug-in, its lines and meters, the sinks
// every round goes to, the stored records offered at start, and the loop that
// tells systemd how the meters stand until the rounds end or a stop signal
// comes.
//
// Exit status of run(): 0 when every polled meter completed its rounds (a
// round at least, when stopped by SIGINT or SIGTERM) and a --write was
// acknowledged; 1 when a meter completed none or gave up under --rounds, or a
// --write was refused or got no reply, or no meter can be polled; 2 for a bad
// configuration (one line on stderr).
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "config/config.h"
#include "health/clock_watch.h"
#include "health/host_health.h"
#include "energy/energy_api.h"
#include "energy/energy_round_sink.h"
#include "energy/energy_sink.h"
#include "energy/energy_store.h"
#include "history/history_sink.h"
#include "history/history_store.h"
#include "host/controller.h"
#include "hosting/event_log.h"
#include "hosting/host_services.h"
#include "hosting/plugin.h"
#include "hosting/publisher.h"
#include "lines/scheduler.h"
#include "modbus_server/modbus_server.h"
#include "modbus_server/server_sink.h"
#include "mqtt/mqtt_sink.h"
#include "quality/quality_sink.h"
#include "runtime/report_sinks.h"
#include "web/http_server.h"
#include "web/web_state.h"

namespace vedhost {

constexpr int kExitRuntime = 1;
constexpr int kExitConfig = 2;

// "vedhost: MESSAGE" on stderr; returns kExitConfig.
int configError(const std::string& message);

class Host {
  public:
    // `config` must outlive the host; `version` is what the MQTT
    // announcements say of it.
    Host(const HostConfig& config, std::string version);
    ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    // Builds the host, then polls until the rounds are done or a stop signal
    // comes; the exit status.
    int run();

  private:
    bool openOutputs(std::string& error);
    bool openHistory(std::string& error);
    bool openQuality(std::string& error);
    void startServices();
    bool openLines(std::string& error);
    void createMeters(const LineConfig& config, Line& line);
    bool startEnergy(std::string& error);
    void addReportSinks();
    bool startWeb(std::string& error);
    bool startMqtt(std::string& error);
    bool openModbusServer(std::string& error);
    bool startModbusServer(Scheduler& scheduler, std::string& error);
    void raiseLimits();
    int poll();
    // How the lines, the history, the broker and the clock stand; any thread
    // once polling has started.
    HostHealth health() const;
    void offerStoredRecords(Scheduler& scheduler);
    void serve(Scheduler& scheduler);
    bool keepsHistory() const { return !config_.history.path.empty(); }

    const HostConfig& config_;
    const std::string version_;
    LineSink events_, report_;
    HistoryStore history_;
    Plugin plugin_;
    std::unique_ptr<HostServices> services_;
    std::shared_ptr<SMDController> controller_;
    std::vector<Line> lines_;
    // The sinks, in the order they hear each round.
    Publishers publishers_;
    std::unique_ptr<HistorySink> historySink_;
    std::unique_ptr<quality::QualitySink> quality_;  // in the history's file, after it
    // The energy books (in the history's file when one is kept), first of
    // the sinks after the history: the others show their totals.
    std::unique_ptr<energy::EnergyStore> energyStore_;
    std::unique_ptr<energy::EnergySink> energySink_;
    std::unique_ptr<energy::EnergyRoundSink> energyRounds_;
    HostValues hostValues_;
    std::unique_ptr<ReportStream> reportStream_;
    std::unique_ptr<ReportConsole> reportConsole_;
    std::unique_ptr<WebState> web_;
    std::unique_ptr<HttpServer> server_;
    std::string served_;  // the page's HOST:PORT, as a URL names it
    std::unique_ptr<MqttSink> mqtt_;
    std::unique_ptr<ServedMeters> servedRegisters_;
    std::unique_ptr<ServerSink> servedSink_;
    std::unique_ptr<ModbusServer> modbusServer_;
    ClockWatch clock_;
    std::atomic<bool> polling_{false};  // every part is made: health() may read them all
};

}  // namespace vedhost
