// One serial line or TCP endpoint, driven through libmodbus: the transport
// behind host::pump for every meter reached through it.
//
// Requests on a line go out one at a time (the scheduler gives each line its
// own thread). On RTU the line keeps at least 3.5 character times of silence
// between frames, which libmodbus does not do itself. After a failed exchange
// the input is flushed, and flushed again just before the next request goes
// out, so that a reply that came too late (after the time-out, before the next
// request) is not taken for the next one; a TCP connection that timed out or
// broke is closed and opened again for the next request.
//
// A serial device is held for this host alone (serial_port.h). One that
// fails (an adapter unplugged or reset, a hang-up) or is not there is closed
// and opened again by its configured path, a second after it went and then
// less often, up to every 30 s (reopen.h); meanwhile its exchanges fail at
// once. One line on stderr when it goes and one when it is back.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

#include "host/seam.h"
#include "lines/heartbeat.h"
#include "lines/line_options.h"
#include "lines/reopen.h"
#include "lines/serial_port.h"

typedef struct _modbus modbus_t;

namespace vedhost {

class HostServices;

class ModbusLine : public host::Transport {
  public:
    ModbusLine(LineConfig config, HostServices& services);
    ~ModbusLine() override;
    ModbusLine(const ModbusLine&) = delete;
    ModbusLine& operator=(const ModbusLine&) = delete;

    // Opens the line now; false with the reason when it cannot be opened.
    bool connect(std::string& error);
    // The latest connect() failed because another process holds the serial
    // device (another host, a scan): a configuration to be put right, not
    // an adapter that will come back.
    bool heldElsewhere() const { return heldElsewhere_; }

    bool open(SPModbus& device) override;
    host::ModbusReply exchange(SPModbus& device, const host::ModbusRequest& request) override;

    const LineConfig& config() const { return config_; }

    // The reason and time of the latest exchange that failed on this line.
    // Meters on a line are polled in turn on its thread, so right after a
    // meter's round this is that meter's failure.
    struct Failure {
        std::string reason;
        std::chrono::system_clock::time_point when;
    };
    const Failure& lastFailure() const { return lastFailure_; }

    // Exchanges the meters on this line answered (a reply or an exception)
    // since the line was made; read on the line's thread, so the difference
    // over one meter's round is that meter's.
    long answered() const { return answered_; }

    // Whether the line's device is there, for /metrics, the service status
    // and the page; any thread.
    // A TCP line is down from a connect that failed to the next that works.
    struct Health {
        bool up = true;             // open, or not yet tried
        long reopens = 0;           // times it came back after going
        std::int64_t goneAtMs = 0;  // unix ms it went, while it is gone
        std::string error;          // why it went, while it is gone
    };
    Health health() const;

    // The line thread's sign of life: beaten after every exchange, however
    // it ended; the scheduler beats and rests it around the rounds.
    Heartbeat& heartbeat() { return heartbeat_; }
    const Heartbeat& heartbeat() const { return heartbeat_; }

  private:
    void close();
    void keepFrameGap();
    host::ModbusReply carryOut(SPModbus& device, const host::ModbusRequest& request);
    // The serial device failed with `error` (errno): closed, to be opened again.
    void deviceWent(int error);
    void markGone(std::chrono::steady_clock::time_point now, const std::string& why);

    LineConfig config_;
    HostServices& services_;
    modbus_t* ctx_ = nullptr;
    bool connected_ = false;
    std::chrono::microseconds frameGap_;
    std::chrono::steady_clock::time_point lastFrameEnd_{};
    Failure lastFailure_;
    long answered_ = 0;
    bool flushBeforeSend_ = false;   // an exchange failed since the last request
    std::uint16_t transaction_ = 0;  // of the last TCP request
    Heartbeat heartbeat_;

    SerialLock lock_;    // the serial device, held while the line is open
    bool gone_ = false;  // the device went (or could not be opened), the endpoint is unreachable
    bool heldElsewhere_ = false;
    int tries_ = 0;  // attempts to open the device since it went
    ReopenBackoff reopen_;
    std::chrono::steady_clock::time_point goneAt_{};
    mutable std::mutex healthMutex_;
    Health health_;
};

}  // namespace vedhost
