// Polling rounds: one thread per serial line or TCP endpoint. Meters on one
// line are polled in turn, never at the same time; separate lines run in
// parallel, so a dead meter only costs its own line one time-out per request.
//
// The scheduler is the one caller of the publishers. After each turn at the
// plug-in it takes what the services seam saw the device do in that turn and
// hands it on: the alarm checks, analog reports and exchange outcomes in the
// order they happened, then whether the meter answers (when that changed),
// then a round for the record the device saved, if it saved one: that is
// what completes a round.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "config/host_options.h"
#include "host/spmodbus.h"
#include "hosting/event_log.h"
#include "hosting/host_services.h"
#include "hosting/publisher.h"
#include "lines/line_options.h"
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

// How the lines are polled: --interval, --rounds and --write.
struct PollSettings {
    double intervalSeconds = 1.0;
    std::optional<long> rounds;  // stop after this many completed rounds
    std::optional<WriteRequest> write;
};

// Writes registers through the device's own control codes (206 for one
// register, 210 for several; `many` asks for 210 even for one) and carries
// the exchange out at once; the outcome the meter's reply settled
// (ved96_control::kWriteAcknowledged, kWriteRefused, or kWritePending for no
// reply). On the meter's line thread, holding the plug-in's turn.
int writeRegisters(Meter& meter, int address, const std::vector<std::uint16_t>& values,
                   bool many);

class Scheduler {
  public:
    // `publishers` hear every meter's turns; they and `services` must outlive
    // the scheduler.
    Scheduler(PollSettings settings, HostServices& services, Publisher& publishers)
        : settings_(std::move(settings)), services_(services), publishers_(publishers) {}
    ~Scheduler();

    // Offers a meter the newest record the host stored for it (stored at
    // local time `storedAt`), as a restarting host does, before polling
    // starts. The round the device completes with it is heard as a replay.
    // Says on stderr whether the device took it.
    void replay(Meter& meter, const std::vector<unsigned char>& record,
                const std::string& storedAt);
    // Starts one thread per line.
    void start(std::vector<Line>& lines);
    void requestStop();
    // Work for the line of meter `dataId`, run on the line's thread between
    // rounds (after the meter being polled, or at once while the line waits
    // for its next round) as one turn of the meter's device. False, and the
    // work dropped, when no running line polls the meter; work still queued
    // when polling stops is dropped.
    bool runBetweenRounds(unsigned dataId, std::function<void(Meter&)> work);
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
    void answeringChanged(const Meter& meter, bool answering);
    void write(Meter& meter);
    void runQueued(Line& line);
    // Runs `step` as one turn of the meter's device and hands on what the
    // publishers hear of before a round; returns the turn's record.
    template <typename Step>
    TurnRecord turn(Meter& meter, bool replay, Step step);
    // A round for each record saved in the turn, the report fetched for the
    // last (the device's state now) when a publisher needs it.
    void publishRounds(const Meter& meter, std::vector<SavedRecord>& saved);
    std::optional<std::string> fetchReport(SMDVDevice& device);

    const PollSettings settings_;
    HostServices& services_;
    Publisher& publishers_;
    std::vector<Line>* lines_ = nullptr;
    std::vector<std::thread> threads_;
    std::atomic<int> running_{0};
    std::atomic<bool> stop_{false};
    std::mutex mutex_;  // stop_'s changes, the queued work and lines_ as others read it
    std::condition_variable wake_;
    struct Queued {
        Meter* meter;
        std::function<void(Meter&)> work;
    };
    std::map<const Line*, std::deque<Queued>> queued_;
};

}  // namespace vedhost
