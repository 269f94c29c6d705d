#include "scheduler.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <iostream>

#include "plugin_turn.h"
#include "report_table.h"

namespace vedhost {
namespace {

// Control codes of the device interface used by the host.
constexpr int kWriteOne = 206;
constexpr int kWriteMany = 210;
constexpr int kReportText = 801;
// A code the device does not handle: it answers with its last write outcome.
constexpr int kReadWriteOutcome = 900;

}  // namespace

bool roundsReached(const std::vector<long>& completed, long target) {
    bool any = false;
    for (long n : completed) {
        if (n == 0) continue;
        any = true;
        if (n < target) return false;
    }
    return any;
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
    if (!wantReport && !config_.show) return;
    const auto text = fetchReport(*meter.device);
    if (!text) {
        std::cerr << "vedhost: data id " << meter.config.dataId << ": no report" << std::endl;
        return;
    }
    if (wantReport) report_->writeLine(*text);
    if (config_.show) {
        Json::Value report;
        std::string error;
        parseJson(*text, report, error);
        const std::string table = reportTable(report, meter.config.dataId);
        std::lock_guard<std::mutex> lock(stdoutMutex());
        std::cout << table << std::flush;
    }
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
    std::cerr << "vedhost: data id " << meter.config.dataId << ": write " << w.text << " "
              << writeOutcome(result) << std::endl;
}

void Scheduler::pollOnce(Meter& meter) {
    PluginTurn turn;
    const long before = services_.roundsCompleted(*meter.device);
    meter.modbus->RefreshStatus();
    host::pump(*meter.modbus);
    if (services_.roundsCompleted(*meter.device) <= before) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++meter.polledRounds;
    }
    afterRound(meter);
    if (config_.write && !meter.writeDone) {
        meter.writeDone = true;
        write(meter);
    }
}

bool Scheduler::done() {
    if (!config_.rounds) return false;
    std::vector<long> counts;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Line& line : *lines_)
        for (const auto& meter : line.meters)
            if (meter->active) counts.push_back(meter->polledRounds);
    return roundsReached(counts, *config_.rounds);
}

void Scheduler::runLine(Line& line) {
    const auto interval = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(config_.intervalSeconds));
    auto next = std::chrono::steady_clock::now();
    while (!stop_) {
        for (auto& meter : line.meters) {
            if (stop_) break;
            if (meter->active) pollOnce(*meter);
        }
        if (done()) {
            requestStop();
            break;
        }
        next += interval;
        const auto now = std::chrono::steady_clock::now();
        if (next < now) next = now;
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait_until(lock, next, [this] { return stop_.load(); });
    }
    --running_;
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
