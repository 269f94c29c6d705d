#include "lines/modbus_line.h"

#include <modbus.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <thread>

#include "common/wall_clock.h"
#include "hosting/event_log.h"
#include "hosting/host_services.h"
#include "hosting/plugin_turn.h"
#include "lines/modbus_frames.h"

namespace vedhost {
namespace {

Json::Value wordsJson(const std::vector<std::uint16_t>& words) {
    Json::Value out(Json::arrayValue);
    for (auto w : words) out.append(w);
    return out;
}

}  // namespace

ModbusLine::ModbusLine(LineConfig config, HostServices& services)
    : config_(std::move(config)), services_(services) {
    const bool rtu = config_.kind == LineConfig::Kind::Rtu;
    frameGap_ =
        rtu ? minimumFrameGap(config_.baud, config_.dataBits, config_.parity, config_.stopBits)
            : std::chrono::microseconds(0);
    frameGap_ = std::max(frameGap_, std::chrono::microseconds(config_.frameGapMs * 1000L));
}

ModbusLine::~ModbusLine() {
    close();
    if (ctx_ != nullptr) modbus_free(ctx_);
}

ModbusLine::Health ModbusLine::health() const {
    std::lock_guard<std::mutex> lock(healthMutex_);
    return health_;
}

bool ModbusLine::connect(std::string& error) {
    if (connected_) return true;
    const bool rtu = config_.kind == LineConfig::Kind::Rtu;
    const auto now = std::chrono::steady_clock::now();
    if (rtu && gone_ && !reopen_.due(now)) {
        std::lock_guard<std::mutex> lock(healthMutex_);
        error = config_.name() + ": adapter gone: " + health_.error;
        return false;
    }
    // Every failed attempt at a serial device counts towards the next wait.
    // A TCP endpoint is tried again at every exchange; a serial device after
    // its wait. Either way the line is down until it opens.
    auto failed = [&](const std::string& why) {
        error = why;
        if (!gone_) markGone(now, why);
        if (rtu) reopen_.failed(now);
        return false;
    };
    // The device is taken before libmodbus opens and sets it up, so a line
    // another host holds is never touched.
    heldElsewhere_ = false;
    if (rtu) ++tries_;
    if (rtu) {
        std::string why;
        const SerialLock::Taken taken = lock_.take(config_.device, why);
        heldElsewhere_ = taken == SerialLock::Taken::Held;
        switch (taken) {
            case SerialLock::Taken::Yes:
                break;
            case SerialLock::Taken::Held:
                return failed(config_.name() + ": " + why);
            case SerialLock::Taken::NotOpened:
                return failed("cannot open " + config_.name() + ": " + why);
        }
    }
    if (ctx_ == nullptr) {
        ctx_ = config_.kind == LineConfig::Kind::Rtu
                   ? modbus_new_rtu(config_.device.c_str(), config_.baud, config_.parity,
                                    config_.dataBits, config_.stopBits)
                   : modbus_new_tcp(config_.host.c_str(), config_.port);
        if (ctx_ == nullptr) {
            error = config_.name() + ": " + modbus_strerror(errno);
            lock_.release();
            return false;
        }
        const int ms = config_.timeoutMs;
        modbus_set_response_timeout(ctx_, static_cast<uint32_t>(ms / 1000),
                                    static_cast<uint32_t>(ms % 1000) * 1000);
    }
    if (modbus_connect(ctx_) != 0) {
        const std::string why = "cannot open " + config_.name() + ": " + modbus_strerror(errno);
        lock_.release();
        return failed(why);
    }
    if (rtu) SerialLock::excludeOthers(modbus_get_socket(ctx_), config_.device);
    connected_ = true;
    const int tries = tries_;
    tries_ = 0;
    lastFrameEnd_ = std::chrono::steady_clock::now();
    if (gone_) {
        gone_ = false;
        const int attempts = tries;
        reopen_.opened();
        {
            std::lock_guard<std::mutex> lock(healthMutex_);
            health_.up = true;
            ++health_.reopens;
            health_.goneAtMs = 0;
            health_.error.clear();
        }
        const auto away =
            std::chrono::duration_cast<std::chrono::milliseconds>(lastFrameEnd_ - goneAt_);
        if (rtu)
            std::cerr << "vedhost: " << config_.name() << ": adapter back after "
                      << spanText(away.count()) << " (" << attempts
                      << (attempts == 1 ? " attempt" : " attempts") << " to open it)" << std::endl;
    }
    return true;
}

// The line is down from `now`: its health says since when (wall time, for
// the page and the status) and why.
void ModbusLine::markGone(std::chrono::steady_clock::time_point now, const std::string& why) {
    gone_ = true;
    goneAt_ = now;
    std::lock_guard<std::mutex> lock(healthMutex_);
    health_.up = false;
    health_.goneAtMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();
    health_.error = why;
}

void ModbusLine::close() {
    if (connected_) modbus_close(ctx_);
    connected_ = false;
    lock_.release();
}

void ModbusLine::deviceWent(int error) {
    close();
    const std::string why = modbus_strerror(error);
    const auto now = std::chrono::steady_clock::now();
    markGone(now, why);
    tries_ = 0;
    reopen_.failed(now);
    std::cerr << "vedhost: " << config_.name() << ": adapter gone: " << why
              << "; opening it again in " << spanText(reopen_.wait().count())
              << ", then at most every " << spanText(ReopenBackoff::kLongest.count()) << std::endl;
}

bool ModbusLine::open(SPModbus&) {
    std::string error;
    return connect(error);
}

void ModbusLine::keepFrameGap() {
    const auto ready = lastFrameEnd_ + frameGap_;
    const auto now = std::chrono::steady_clock::now();
    if (ready > now) std::this_thread::sleep_for(ready - now);
}

host::ModbusReply ModbusLine::carryOut(SPModbus& device, const host::ModbusRequest& request) {
    host::ModbusReply reply;
    reply.status = host::ModbusReply::Status::Failed;
    std::string error;
    if (!connect(error)) {
        reply.error = error;
        return reply;
    }
    const bool rtu = config_.kind == LineConfig::Kind::Rtu;
    const int slave = device.slaveId_;
    modbus_set_slave(ctx_, slave);
    // libmodbus sends raw TCP requests with transaction id 0; vedhost writes
    // the whole frame itself, with a new transaction id for each request, so a
    // late reply to an earlier request cannot pass for this one.
    const std::uint16_t transaction = ++transaction_;
    const std::vector<std::uint8_t> raw =
        rtu ? buildRequest(slave, request) : buildTcpRequest(transaction, slave, request);
    keepFrameGap();
    // A reply that came after its time-out is in the input by now: drop it,
    // or it would be read as the answer to this request.
    if (rtu && flushBeforeSend_) modbus_flush(ctx_);
    flushBeforeSend_ = false;
    const bool sent =
        rtu ? modbus_send_raw_request(ctx_, raw.data(), static_cast<int>(raw.size())) >= 0
            : ::send(modbus_get_socket(ctx_), raw.data(), raw.size(), MSG_NOSIGNAL) ==
                  static_cast<ssize_t>(raw.size());
    if (!sent) {
        const int failure = errno;
        reply.error = std::string("send: ") + modbus_strerror(failure);
        lastFrameEnd_ = std::chrono::steady_clock::now();
        if (!rtu) close();
        if (rtu && deviceGone(failure)) deviceWent(failure);
        return reply;
    }
    std::uint8_t adu[MODBUS_TCP_MAX_ADU_LENGTH];
    const int n = modbus_receive_confirmation(ctx_, adu);
    const int received = errno;
    lastFrameEnd_ = std::chrono::steady_clock::now();
    if (n < 0) {
        reply.error = received == ETIMEDOUT ? "time-out" : modbus_strerror(received);
        // A late or garbled reply must not be read as the answer to the next
        // request: drop what is buffered; on TCP start a fresh connection. A
        // serial device that failed is opened again.
        if (rtu && deviceGone(received))
            deviceWent(received);
        else if (rtu)
            modbus_flush(ctx_);
        else
            close();
        return reply;
    }
    if (n == 0) {
        // libmodbus gives 0 for a reply that names another unit on the line.
        reply.error = "reply from another unit";
        if (rtu) modbus_flush(ctx_);
        return reply;
    }
    reply = rtu ? checkRtuReply(slave, request, adu, static_cast<std::size_t>(n))
                : checkTcpReply(transaction, slave, request, adu, static_cast<std::size_t>(n));
    if (reply.status == host::ModbusReply::Status::Failed) {
        if (rtu)
            modbus_flush(ctx_);
        else
            close();
    }
    return reply;
}

host::ModbusReply ModbusLine::exchange(SPModbus& device, const host::ModbusRequest& request) {
    // Events are made only for an open event log.
    const bool logged = services_.logging();
    if (logged) {
        Json::Value e = makeEvent("ModbusRequest", device.DataId());
        e["line"] = config_.name();
        e["slave"] = device.slaveId_;
        e["function"] = static_cast<int>(request.function);
        e["address"] = request.address;
        e["count"] = request.count;
        if (!request.values.empty()) e["values"] = wordsJson(request.values);
        services_.log(e);
    }

    host::ModbusReply reply;
    {
        // Other lines may use the plug-in while this one waits for its meter.
        LineWait wait;
        reply = carryOut(device, request);
    }
    heartbeat_.beat();
    if (reply.status == host::ModbusReply::Status::Failed)
        flushBeforeSend_ = true;
    else
        ++answered_;

    if (reply.status != host::ModbusReply::Status::Ok)
        lastFailure_ = {reply.error, std::chrono::system_clock::now()};
    // Heard by the publishers after the turn, through the scheduler.
    services_.exchangeEnded(device, reply.status == host::ModbusReply::Status::Ok
                                        ? Publisher::Exchange::Answered
                                    : reply.error == "time-out" ? Publisher::Exchange::TimedOut
                                                                : Publisher::Exchange::Failed);
    if (logged && reply.status == host::ModbusReply::Status::Ok) {
        Json::Value r = makeEvent("ModbusReply", device.DataId());
        r["function"] = static_cast<int>(request.function);
        r["address"] = request.address;
        r["words"] = wordsJson(reply.words);
        services_.log(r);
    } else if (logged) {
        Json::Value r = makeEvent("ModbusError", device.DataId());
        r["function"] = static_cast<int>(request.function);
        r["address"] = request.address;
        r["error"] = reply.error;
        if (reply.status == host::ModbusReply::Status::Exception)
            r["exception_code"] = reply.exceptionCode;
        services_.log(r);
    }
    return reply;
}

}  // namespace vedhost
