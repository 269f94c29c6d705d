// Modbus TCP frames as the server takes them off a connection and answers
// them, without any I/O.
//
// A frame is the MBAP header (transaction id, protocol id 0, the length of
// what follows, unit id) and a PDU. The header's length field is the only
// thing that tells where a frame ends on the stream, so a frame whose header
// cannot be believed (another protocol, a length no Modbus frame has) or whose
// PDU disagrees with its own function's layout is malformed: the connection
// it came on is closed, since what follows it cannot be found.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vedhost {

constexpr std::size_t kMbapBytes = 7;        // transaction, protocol, length, unit
constexpr std::size_t kMaxFrameBytes = 260;  // MBAP header and the longest PDU (253 bytes)

enum ModbusException : std::uint8_t {
    kIllegalFunction = 1,
    kIllegalDataAddress = 2,
    kIllegalDataValue = 3,
    kDeviceFailure = 4,
    kGatewayPathUnavailable = 10,
    kGatewayTargetFailed = 11,
};

struct Frame {
    std::uint16_t transaction = 0;
    std::uint8_t unit = 0;
    std::vector<std::uint8_t> pdu;  // function code onwards, at least one byte
};

enum class Take {
    Incomplete,  // not a whole frame yet
    Whole,       // `frame` holds the first frame, `used` its bytes
    Malformed,   // protocol id not 0, or a length field outside 2..254
};

// Takes the first frame off the front of `data`.
Take takeFrame(const std::uint8_t* data, std::size_t length, Frame& frame, std::size_t& used);

// A request the server answers.
struct Request {
    enum class Kind { Read, WriteOne, WriteMany, Other };
    Kind kind = Kind::Other;
    std::uint8_t function = 0;
    std::uint16_t address = 0;
    std::uint16_t count = 0;            // registers read or written
    std::vector<std::uint16_t> values;  // written
};

enum class Parse {
    Ok,
    Malformed,  // the PDU's length disagrees with its function's layout
    BadValue,   // a count outside 1..125 (read) or 1..123 (write), or a byte
                // count that is not twice the count: exception 3
};

// Reads functions 3 and 4 (read), 6 (write one) and 16 (write several); any
// other function is Kind::Other and Ok, to be refused with exception 1.
Parse parseRequest(const std::vector<std::uint8_t>& pdu, Request& request);

// Whole replies, MBAP header included, to `frame`.
std::vector<std::uint8_t> exceptionReply(const Frame& frame, std::uint8_t code);
std::vector<std::uint8_t> readReply(const Frame& frame, const std::vector<std::uint16_t>& words);
// The echo of an accepted write: address and value (6), address and count (16).
std::vector<std::uint8_t> writeReply(const Frame& frame, const Request& request);

}  // namespace vedhost
