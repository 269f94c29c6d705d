// How the simulated meter answers one Modbus request: the function and
// address rules of the meter, and the faults injected for tests and demos.
// Works on the request's PDU (function code onwards) and knows nothing of the
// line, so it runs the same under RTU and TCP and in unit tests.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <utility>

#include "meter_model.h"

namespace vedsim {

enum ExceptionCode : uint8_t {
    kIllegalFunction = 1,
    kIllegalDataAddress = 2,
    kIllegalDataValue = 3,
    kSlaveDeviceFailure = 4,
};

enum FunctionCode : uint8_t {
    kReadHoldingRegisters = 3,
    kWriteSingleRegister = 6,
    kWriteMultipleRegisters = 16,
};

// Modbus TCP replies that answer another request (--tcp-fault KIND): the
// header names another transaction, another protocol than Modbus (0), or a
// length that disagrees with the bytes that follow it.
enum class TcpFault { kNone, kTransaction, kProtocol, kLength };

// Faults the simulator injects on purpose. The option names (options.h) are
// the ones tests use to ask for them.
struct FaultPlan {
    unsigned drop_every = 0;  // --drop-every N: no reply to requests N, 2N, ...; 0 never
    unsigned delay_ms = 0;    // --delay-ms MS: every reply waits this long
    // --faults-on N[-M]: dropping and delaying hit only requests N to M of a
    // unit (counted from 1), so a test can fail one chosen exchange; 0 and 0:
    // every request.
    unsigned long faults_from = 0;
    unsigned long faults_to = 0;
    std::map<uint16_t, uint8_t> exception_at;  // --exception-at REG[:CODE]
    bool pace = false;                         // --pace: replies take the time a serial line would
    // --strict-line: on a pseudo-terminal, a request sent at another speed or
    // parity than --baud and --parity is noise to the meter and not answered,
    // as on a real line.
    bool strict_line = false;
    TcpFault tcp_fault = TcpFault::kNone;      // --tcp-fault KIND: every TCP reply's header
};

// Changes a whole TCP reply (MBAP header onwards) as `fault` asks: the
// transaction id one more, the protocol id 1, or the length field one more.
void apply_tcp_fault(TcpFault fault, uint8_t* adu, size_t len);

struct Answer {
    enum class Kind { kSilent, kReply, kException };
    Kind kind = Kind::kSilent;
    uint8_t exception = 0;       // for kException
    size_t reply_pdu_bytes = 0;  // PDU length of the reply that will be sent
};

class RequestHandler {
  public:
    RequestHandler(MeterModel& model, FaultPlan plan) : model_(model), plan_(std::move(plan)) {}

    // Decides the answer to the request PDU `pdu` of `len` bytes received
    // `seconds` after start, and applies an accepted write to the model.
    // A request that is dropped, refused or answered with an injected
    // exception leaves the model unchanged.
    Answer handle(const uint8_t* pdu, size_t len, double seconds);

    const FaultPlan& plan() const { return plan_; }
    // True when --drop-every and --delay-ms apply to the request handled last.
    bool faults_apply() const;

  private:
    MeterModel& model_;
    FaultPlan plan_;
    unsigned long requests_ = 0;
};

// Bits of one character on the line: start, data, parity (none for 'N'),
// stop.
unsigned character_bits(unsigned data_bits, char parity, unsigned stop_bits);

// Time a serial line needs for `bytes` characters of `bits` bits at `baud`.
std::chrono::microseconds line_time(size_t bytes, unsigned baud, unsigned bits);

// Wait before a paced reply goes out: the request's own transmission (it
// arrives at once over a pseudo-terminal or TCP), the 3.5-character silence
// that ends a frame, then the reply's transmission, so the master sees the
// complete reply when its last byte would arrive on a real line.
std::chrono::microseconds paced_reply_delay(size_t request_frame_bytes, size_t reply_frame_bytes,
                                            unsigned baud, unsigned bits);

}  // namespace vedsim
