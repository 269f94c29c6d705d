// How the server answers one request frame, without any I/O: a read from the
// meter's latest record, a write handed on to be carried out on the meter's
// line, an exception, or the end of the connection.
//
// The function is judged first, then the unit id, the count, the registers
// and last the meter:
//   1  a function other than 3, 4, 6 and 16
//   10 a unit id that names no meter (gateway path unavailable)
//   3  a count outside 1..125 (read) or 1..123 (write)
//   2  a read that leaves the polled blocks
//   1  a write to registers the meter does not let clients write
//   11 a meter that is offline or whose latest round is too old (gateway
//      target failed to respond); a write the meter did not answer
//   4  a write the meter refused
#pragma once

#include <json/value.h>

#include <string>
#include <vector>

#include "modbus_server/served_meters.h"
#include "modbus_server/server_frames.h"

namespace vedhost {

struct Decision {
    enum class Kind {
        Reply,  // send `reply`
        Write,  // carry out `request` on meter `dataId`; answer with writeAnswer()
        Close,  // a malformed frame: close the connection
    };
    Kind kind = Kind::Reply;
    std::vector<std::uint8_t> reply;
    Request request;
    unsigned dataId = 0;
    bool refusedWrite = false;  // Reply: a write the allow-list refused, to be audited
};

Decision decide(const Frame& frame, const ServedMeters& meters,
                ServedMeters::Clock::time_point now = ServedMeters::Clock::now());

// How a write carried out on the meter's line ended.
enum class WriteOutcome {
    Acknowledged,  // the meter echoed it
    Refused,       // the meter answered, but not with the echo
    NoReply,       // no answer within the line's time-out
    NotAllowed,    // not carried out: the registers are not writable by clients
};

// "acknowledged", "refused", "no reply", "not allowed".
const char* outcomeText(WriteOutcome outcome);

// The client's answer to a write that ended with `outcome`: the echo,
// exception 4, 11 or 1.
std::vector<std::uint8_t> writeAnswer(const Frame& frame, const Request& request,
                                      WriteOutcome outcome);

// One write a client asked for, as the event log and MQTT tell it.
struct WriteAudit {
    std::string client;  // the client's address
    unsigned dataId = 0;
    int unit = 0;
    Request request;
    WriteOutcome outcome = WriteOutcome::NotAllowed;
};

// {"client", "data_id", "unit", "function", "address", "count", "values",
//  "outcome"}.
Json::Value auditJson(const WriteAudit& audit);

}  // namespace vedhost
