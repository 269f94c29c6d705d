#include "lines/scheduler.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <iostream>

#include "common/json_file.h"
#include "common/local_time.h"
#include "hosting/plugin_turn.h"
#include "presentation/report_table.h"

namespace vedhost {
namespace {

// Control codes of the device interface used by the host.
constexpr int kWriteOne = 206;
constexpr int kWriteMany = 210;
constexpr int kReportText = 801;
// A code the device does not handle: it answers with its last write outcome.
constexpr int kReadWriteOutcome = 900;

}  // namespace

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
        case -1:
            return "no reply";
        case 1:
            return "acknowledged";
        case 3:
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

void Scheduler::afterRound(Meter& meter) {
    const bool wantReport = report_ != nullptr && report_->isOpen();
    if (!wantReport && !config_.show && !services_.publishing()) return;
    const auto text = fetchReport(*meter.device);
    if (!text) {
        std::cerr << "vedhost: data id " << meter.config.dataId << ": no report" << std::endl;
        return;
    }
    // Each report line names its meter; the plug-in's text is carried as it is.
    if (wantReport) {
        Json::Value head(Json::objectValue);
        head["data_id"] = meter.config.dataId;
        head["line"] = meter.line != nullptr ? meter.line->name() : "";
        head["slave"] = meter.config.slave;
        std::string line = compactJson(head);
        line.pop_back();
        report_->writeLine(line + ",\"report\":" + *text + "}");
    }
    if (!config_.show && !services_.publishing()) return;
    Json::Value report;
    std::string error;
    parseJson(*text, report, error);
    // The console table shows what the meter sends unless the user chose a
    // presentation for it.
    if (config_.show)
        writeStdout(
            reportTable(report, meter.config.dataId,
                        config_.presentation.isBuiltIn() ? Presentation() : config_.presentation));
    services_.roundReport(meter.config.dataId, report);
}

void Scheduler::write(Meter& meter) {
    const WriteRequest& w = *config_.write;
    std::vector<std::uint16_t> in;
    in.push_back(static_cast<std::uint16_t>(w.address));
    in.insert(in.end(), w.values.begin(), w.values.end());
    int outLen = 0;
    const int code = w.values.size() == 1 ? kWriteOne : kWriteMany;
    meter.device->DeviceIoControl(code, in.data(), static_cast<int>(2 * in.size()), nullptr, 0,
                                  outLen);
    host::pump(*meter.modbus);

    unsigned char out[4] = {};
    outLen = 0;
    meter.device->DeviceIoControl(kReadWriteOutcome, nullptr, 0, out, sizeof out, outLen);
    std::int32_t result = -1;
    if (outLen >= 4) std::memcpy(&result, out, sizeof result);
    meter.writeFailed = result != 1;
    std::cerr << "vedhost: data id " << meter.config.dataId << ": write " << w.text << " "
              << writeOutcome(result) << std::endl;
}

void Scheduler::pollOnce(Line& line, Meter& meter) {
    PluginTurn turn;
    const long before = services_.roundsCompleted(*meter.device);
    const long answersBefore = line.link->answered();
    meter.modbus->RefreshStatus();
    host::pump(*meter.modbus);
    // The counts belong to this line's thread; others read them after join().
    const bool completed = services_.roundsCompleted(*meter.device) > before;
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
            services_.meterAnswering(meter.config.dataId, false);
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
        if (meter.polledRounds == 1 || meter.silentRounds > 0)
            services_.meterAnswering(meter.config.dataId, true);
        meter.silentRounds = 0;
        afterRound(meter);
        if (config_.write && !meter.writeDone) {
            meter.writeDone = true;
            write(meter);
        }
    }
    if (config_.rounds) {
        const Standing now = standing(meter.polledRounds, meter.unansweredRounds, *config_.rounds);
        if (now == Standing::Failed)
            std::cerr << "vedhost: " << meterName(meter) << ": given up after "
                      << meter.unansweredRounds << " rounds without reply, " << meter.polledRounds
                      << " of " << *config_.rounds << " rounds completed" << std::endl;
        meter.done = now != Standing::Running;
    }
}

bool Scheduler::allWell() const {
    if (lines_ == nullptr) return false;
    for (const Line& line : *lines_) {
        for (const auto& meter : line.meters) {
            if (!meter->active) continue;
            if (meter->writeFailed || meter->polledRounds == 0) return false;
            if (config_.rounds && meter->polledRounds < *config_.rounds) return false;
        }
    }
    return true;
}

void Scheduler::runLine(Line& line) {
    const auto interval = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(config_.intervalSeconds));
    auto next = std::chrono::steady_clock::now();
    while (!stop_) {
        bool left = false;
        for (auto& meter : line.meters) {
            if (stop_) break;
            if (!meter->active || meter->done) continue;
            line.link->heartbeat().beat();
            pollOnce(line, *meter);
            left = left || !meter->done;
        }
        // Under --rounds a line ends when its meters are done.
        if (!left) break;
        next += interval;
        const auto now = std::chrono::steady_clock::now();
        if (next < now) next = now;
        line.link->heartbeat().rest();
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait_until(lock, next, [this] { return stop_.load(); });
    }
    line.link->heartbeat().rest();
    --running_;
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
    lines_ = &lines;
    for (Line& line : lines) {
        const bool anyActive = std::any_of(line.meters.begin(), line.meters.end(),
                                           [](const auto& m) { return m->active; });
        if (!anyActive) continue;
        ++running_;
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
