// Polling rounds: one thread per serial line or TCP endpoint. Meters on one
// line are polled in turn, never at the same time; separate lines run in
// parallel, so a dead meter only costs its own line one time-out per request.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "config/config.h"
#include "hosting/event_log.h"
#include "host/spmodbus.h"
#include "hosting/host_services.h"
#include "lines/modbus_line.h"

namespace vedhost {

struct Meter {
    MeterConfig config;
    const LineConfig* line = nullptr;  // the line or endpoint it is reached through
    std::unique_ptr<SMDVDevice> device;
    SPModbus* modbus = nullptr;  // the same object as device
    bool active = true;          // false once its settings were refused
    bool writeDone = false;
    bool writeFailed = false;   // the --write was refused or got no reply
    long polledRounds = 0;      // rounds completed from the meter's replies
    long silentRounds = 0;      // rounds in a row that completed nothing
    long unansweredRounds = 0;  // rounds in a row in which the meter answered nothing
    bool silent = false;        // "no reply since" printed, "answering again" not yet
    bool done = false;          // --rounds: nothing left to poll
    // Its latest round completed; read by other threads (the service status).
    std::atomic<bool> answering{false};
};

// "data id 2 (slave 2 on /dev/ttyS1)", the meter as vedhost's messages name it.
std::string meterName(const Meter& meter);

struct Line {
    std::unique_ptr<ModbusLine> link;
    std::vector<std::unique_ptr<Meter>> meters;
};

// Where a meter stands under --rounds N. It is done once it has completed N
// rounds. It has failed once it gave no reply at all in N attempted rounds in
// a row: a meter that never answers, or one that fell silent for good. A meter
// that answers keeps running until it completes N rounds, even if a round of
// it fails part-way (a late reply, a dropped connection).
enum class Standing { Running, Done, Failed };
Standing standing(long completed, long unansweredInARow, long target);

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
    // Lines whose thread has been busy without progress for longer than
    // `limit`, by name; any thread may ask while they run.
    std::vector<std::string> stuckLines(std::chrono::steady_clock::duration limit) const;
    // Meters polled, and those whose latest round completed.
    std::pair<int, int> metersAnswering() const;
    // After join(): true when every polled meter completed a round (under
    // --rounds: all its rounds) and no --write failed.
    bool allWell() const;

  private:
    void runLine(Line& line);
    void pollOnce(Line& line, Meter& meter);
    void write(Meter& meter);
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
