// Polling rounds: one thread per serial line or TCP endpoint. Meters on one
// line are polled in turn, never at the same time; separate lines run in
// parallel, so a dead meter only costs its own line one time-out per request.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "config.h"
#include "event_log.h"
#include "host/spmodbus.h"
#include "host_services.h"
#include "modbus_line.h"

namespace vedhost {

struct Meter {
    MeterConfig config;
    std::unique_ptr<SMDVDevice> device;
    SPModbus* modbus = nullptr;  // the same object as device
    bool active = true;          // false once its settings were refused
    bool writeDone = false;
    long polledRounds = 0;  // rounds completed from the meter's replies
};

struct Line {
    std::unique_ptr<ModbusLine> link;
    std::vector<std::unique_ptr<Meter>> meters;
};

// True when --rounds N is reached: at least one meter completed a round, and
// every meter that completed any has completed N. Meters that never answered
// do not keep the host running.
bool roundsReached(const std::vector<long>& completed, long target);

// The text printed for a write outcome read back from the device.
std::string writeOutcome(int result);

class Scheduler {
  public:
    Scheduler(const HostConfig& config, HostServices& services, LineSink* report)
        : config_(config), services_(services), report_(report) {}
    ~Scheduler();

    // Hands the report of a completed round to --report and --show.
    void afterRound(Meter& meter);
    // Starts one thread per line.
    void start(std::vector<Line>& lines);
    void requestStop();
    // True when every line thread has ended.
    bool finished() const { return running_ == 0; }
    void join();

  private:
    void runLine(Line& line);
    void pollOnce(Meter& meter);
    void write(Meter& meter);
    bool done();
    std::optional<std::string> fetchReport(SMDVDevice& device);

    const HostConfig& config_;
    HostServices& services_;
    LineSink* report_;
    std::vector<Line>* lines_ = nullptr;
    std::vector<std::thread> threads_;
    std::atomic<int> running_{0};
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::condition_variable wake_;
};

}  // namespace vedhost
