#include "lines/scheduler.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <iostream>

#include "common/json_file.h"
#include "common/local_time.h"
#include "hosting/plugin_turn.h"
#include "ved96/control_codes.h"

namespace vedhost {

using namespace ved96_control;

Standing standing(long completed, long unansweredInARow, long target) {
    if (completed >= target) return Standing::Done;
    if (unansweredInARow >= target) return Standing::Failed;
    return Standing::Running;
}

std::string meterName(const Meter& meter) {
    std::string where;
    if (meter.line != nullptr)
        where = meter.line->kind == LineConfig::Kind::Rtu
                    ? meter.line->device
                    : meter.line->host + ":" + std::to_string(meter.line->port);
    return "data id " + std::to_string(meter.config.dataId) + " (slave " +
           std::to_string(meter.config.slave) + " on " + where + ")";
}

std::string writeOutcome(int result) {
    switch (result) {
        case kWritePending:
            return "no reply";
        case kWriteAcknowledged:
            return "acknowledged";
        case kWriteRefused:
            return "refused";
        default:
            return "unknown outcome " + std::to_string(result);
    }
}

Scheduler::~Scheduler() {
    requestStop();
    join();
}

std::optional<std::string> Scheduler::fetchReport(SMDVDevice& device) {
    // Large enough for the whole report (about 9 KB), so one request usually does.
    std::vector<char> buffer(16384);
    int needed = 0;
    int rc = device.DeviceIoControl(kReportText, nullptr, 0, buffer.data(),
                                    static_cast<int>(buffer.size()), needed);
    if (rc == -1 && needed > static_cast<int>(buffer.size())) {
        buffer.resize(static_cast<std::size_t>(needed));
        rc = device.DeviceIoControl(kReportText, nullptr, 0, buffer.data(),
                                    static_cast<int>(buffer.size()), needed);
    }
    if (rc != 0 || needed <= 0 || needed > static_cast<int>(buffer.size())) return std::nullopt;
    std::string text(buffer.data(), static_cast<std::size_t>(needed));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

template <typename Step>
TurnRecord Scheduler::turn(Meter& meter, bool replay, Step step) {
    services_.beginTurn(*meter.device, replay);
    step();
    TurnRecord record = services_.endTurn(*meter.device);
    handOn(meter.config.dataId, record.seen, publishers_);
    return record;
}

void Scheduler::publishRounds(const Meter& meter, std::vector<SavedRecord>& saved) {
    for (std::size_t i = 0; i < saved.size(); ++i) {
        Round round;
        round.dataId = meter.config.dataId;
        round.line = meter.line != nullptr ? meter.line->name() : "";
        round.slave = meter.config.slave;
        round.saved = saved[i].when;
        round.record = std::move(saved[i].bytes);
        round.replay = saved[i].replay;
        if (i + 1 == saved.size() && publishers_.needsReport()) {
            round.reportText = fetchReport(*meter.device);
            if (!round.reportText) {
                std::cerr << "vedhost: data id " << meter.config.dataId << ": no report"
                          << std::endl;
            } else {
                std::string error;
                parseJson(*round.reportText, round.report, error);
            }
        }
        publishers_.round(round);
    }
}

void Scheduler::replay(Meter& meter, const std::vector<unsigned char>& record,
                       const std::string& storedAt) {
    PluginTurn plugin;
    bool loaded = false;
    std::string failure;
    TurnRecord seen = turn(meter, true, [&] {
        try {
            loaded = meter.device->LoadFromCache(record.data(), static_cast<int>(record.size()));
        } catch (const std::exception& e) {
            failure = e.what();
        }
    });
    std::cerr << "vedhost: data id " << meter.config.dataId << ": cached record of " << storedAt
              << (!failure.empty() ? " failed: " + failure
                  : loaded         ? std::string(" loaded")
                                   : std::string(" refused by the device"))
              << std::endl;
    if (loaded) publishRounds(meter, seen.saved);
}

int writeRegisters(Meter& meter, int address, const std::vector<std::uint16_t>& values, bool many) {
    std::vector<std::uint16_t> in;
    in.push_back(static_cast<std::uint16_t>(address));
    in.insert(in.end(), values.begin(), values.end());
    int outLen = 0;
    const int code = many ? kWriteRegisters : kWriteRegister;
    meter.device->DeviceIoControl(code, in.data(), static_cast<int>(2 * in.size()), nullptr, 0,
                                  outLen);
    host::pump(*meter.modbus);

    unsigned char out[4] = {};
    outLen = 0;
    meter.device->DeviceIoControl(kReadWriteOutcome, nullptr, 0, out, sizeof out, outLen);
    std::int32_t result = kWritePending;
    if (outLen >= 4) std::memcpy(&result, out, sizeof result);
    return result;
}

void Scheduler::write(Meter& meter) {
    const WriteRequest& w = *settings_.write;
    const int result = writeRegisters(meter, w.address, w.values, w.values.size() != 1);
    meter.writeFailed = result != kWriteAcknowledged;
    std::cerr << "vedhost: data id " << meter.config.dataId << ": write " << w.text << " "
              << writeOutcome(result) << std::endl;
}

// The publishers hear it (MQTT's status, the page's), and the event log
// keeps it beside the exchanges that led to it.
void Scheduler::answeringChanged(const Meter& meter, bool answering) {
    publishers_.answering(meter.config.dataId, answering);
    if (!services_.logging()) return;
    Json::Value e = makeEvent("MeterStatus", meter.config.dataId);
    e["status"] = answering ? "online" : "offline";
    e["line"] = meter.line != nullptr ? meter.line->name() : "";
    services_.log(e);
}

void Scheduler::pollOnce(Line& line, Meter& meter) {
    PluginTurn plugin;
    const long answersBefore = line.link->answered();
    TurnRecord seen = turn(meter, false, [&] {
        meter.modbus->RefreshStatus();
        host::pump(*meter.modbus);
    });
    // The counts belong to this line's thread; others read them after join().
    const bool completed = seen.completed();
    meter.answering = completed;
    if (completed) {
        ++meter.polledRounds;
    } else {
        ++meter.silentRounds;
    }
    if (completed || line.link->answered() > answersBefore)
        meter.unansweredRounds = 0;
    else
        ++meter.unansweredRounds;
    // One line when a meter stops answering and one when it answers again,
    // however many rounds lie between (the plug-in prints its own line for
    // every failed exchange).
    if (!completed) {
        if (!meter.silent) {
            meter.silent = true;
            answeringChanged(meter, false);
            const ModbusLine::Failure& failure = line.link->lastFailure();
            std::cerr << "vedhost: " << meterName(meter) << ": no reply since "
                      << clockTime(failure.reason.empty() ? std::chrono::system_clock::now()
                                                          : failure.when)
                      << ": " << (failure.reason.empty() ? "round not completed" : failure.reason)
                      << std::endl;
        }
    } else {
        if (meter.silent) {
            std::cerr << "vedhost: " << meterName(meter) << ": answering again after "
                      << meter.silentRounds << (meter.silentRounds == 1 ? " round" : " rounds")
                      << " without reply" << std::endl;
            meter.silent = false;
        }
        if (meter.polledRounds == 1 || meter.silentRounds > 0) answeringChanged(meter, true);
        meter.silentRounds = 0;
        publishRounds(meter, seen.saved);
        if (settings_.write && !meter.writeDone) {
            meter.writeDone = true;
            turn(meter, false, [&] { write(meter); });
        }
    }
    if (settings_.rounds) {
        const Standing now =
            standing(meter.polledRounds, meter.unansweredRounds, *settings_.rounds);
        if (now == Standing::Failed)
            std::cerr << "vedhost: " << meterName(meter) << ": given up after "
                      << meter.unansweredRounds << " rounds without reply, " << meter.polledRounds
                      << " of " << *settings_.rounds << " rounds completed" << std::endl;
        meter.done = now != Standing::Running;
    }
}

bool Scheduler::allWell() const {
    if (lines_ == nullptr) return false;
    for (const Line& line : *lines_) {
        for (const auto& meter : line.meters) {
            if (!meter->active) continue;
            if (meter->writeFailed || meter->polledRounds == 0) return false;
            if (settings_.rounds && meter->polledRounds < *settings_.rounds) return false;
        }
    }
    return true;
}

void Scheduler::runLine(Line& line) {
    const auto interval = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(settings_.intervalSeconds));
    auto next = std::chrono::steady_clock::now();
    while (!stop_) {
        bool left = false;
        for (auto& meter : line.meters) {
            if (stop_) break;
            if (!meter->active || meter->done) continue;
            line.link->heartbeat().beat();
            pollOnce(line, *meter);
            left = left || !meter->done;
            runQueued(line);
        }
        // Under --rounds a line ends when its meters are done.
        if (!left) break;
        next += interval;
        const auto now = std::chrono::steady_clock::now();
        if (next < now) next = now;
        line.link->heartbeat().rest();
        // Work queued for the line is run as it comes while the line waits.
        while (!stop_) {
            std::unique_lock<std::mutex> lock(mutex_);
            if (!wake_.wait_until(lock, next,
                                  [&] { return stop_.load() || !queued_[&line].empty(); }))
                break;
            lock.unlock();
            runQueued(line);
            line.link->heartbeat().rest();
        }
    }
    line.link->heartbeat().rest();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queued_.erase(&line);
    }
    --running_;
}

bool Scheduler::runBetweenRounds(unsigned dataId, std::function<void(Meter&)> work) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (lines_ == nullptr || stop_) return false;
        Meter* found = nullptr;
        const Line* on = nullptr;
        for (const Line& line : *lines_)
            for (const auto& meter : line.meters)
                if (meter->config.dataId == dataId && meter->active) {
                    found = meter.get();
                    on = &line;
                }
        // A line whose thread has ended (or never ran) has no queue.
        const auto queue = queued_.find(on);
        if (found == nullptr || queue == queued_.end()) return false;
        queue->second.push_back({found, std::move(work)});
    }
    wake_.notify_all();
    return true;
}

void Scheduler::runQueued(Line& line) {
    std::deque<Queued> work;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        work.swap(queued_[&line]);
    }
    for (Queued& q : work) {
        if (stop_) return;
        PluginTurn plugin;
        line.link->heartbeat().beat();
        // Its exchanges are heard by the publishers as any turn's are.
        TurnRecord seen = turn(*q.meter, false, [&] { q.work(*q.meter); });
        publishRounds(*q.meter, seen.saved);
    }
}

std::vector<std::string> Scheduler::stuckLines(std::chrono::steady_clock::duration limit) const {
    std::vector<std::string> stuck;
    if (lines_ == nullptr) return stuck;
    const auto now = std::chrono::steady_clock::now();
    for (const Line& line : *lines_)
        if (line.link->heartbeat().stuck(limit, now)) stuck.push_back(line.link->config().name());
    return stuck;
}

std::pair<int, int> Scheduler::metersAnswering() const {
    int polled = 0, answering = 0;
    if (lines_ == nullptr) return {polled, answering};
    for (const Line& line : *lines_)
        for (const auto& meter : line.meters) {
            if (!meter->active) continue;
            ++polled;
            answering += meter->answering ? 1 : 0;
        }
    return {polled, answering};
}

void Scheduler::start(std::vector<Line>& lines) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_ = &lines;
    }
    for (Line& line : lines) {
        const bool anyActive = std::any_of(line.meters.begin(), line.meters.end(),
                                           [](const auto& m) { return m->active; });
        if (!anyActive) continue;
        ++running_;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            queued_[&line];
        }
        threads_.emplace_back([this, &line] { runLine(line); });
    }
}

void Scheduler::requestStop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
}

void Scheduler::join() {
    for (auto& t : threads_)
        if (t.joinable()) t.join();
    threads_.clear();
}

}  // namespace vedhost
