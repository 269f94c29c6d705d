#include "modbus_server/server_frames.h"

namespace vedhost {
namespace {

constexpr std::size_t kMaxReadCount = 125;
constexpr std::size_t kMaxWriteCount = 123;

std::uint16_t word(const std::uint8_t* at) {
    return static_cast<std::uint16_t>(at[0] << 8 | at[1]);
}

void putWord(std::vector<std::uint8_t>& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value & 0xff));
}

// The MBAP header for a reply whose PDU is `pduBytes` long.
std::vector<std::uint8_t> header(const Frame& frame, std::size_t pduBytes) {
    std::vector<std::uint8_t> out;
    out.reserve(kMbapBytes + pduBytes);
    putWord(out, frame.transaction);
    putWord(out, 0);
    putWord(out, static_cast<std::uint16_t>(pduBytes + 1));
    out.push_back(frame.unit);
    return out;
}

}  // namespace

Take takeFrame(const std::uint8_t* data, std::size_t length, Frame& frame, std::size_t& used) {
    // The protocol id and length are judged as soon as they are in, so a
    // hostile header is refused before its body is waited for.
    if (length >= 4 && word(data + 2) != 0) return Take::Malformed;
    if (length < 6) return Take::Incomplete;
    const std::size_t follows = word(data + 4);  // unit id and PDU
    if (follows < 2 || follows > kMaxFrameBytes - 6) return Take::Malformed;
    if (length < 6 + follows) return Take::Incomplete;
    frame.transaction = word(data);
    frame.unit = data[6];
    frame.pdu.assign(data + kMbapBytes, data + 6 + follows);
    used = 6 + follows;
    return Take::Whole;
}

Parse parseRequest(const std::vector<std::uint8_t>& pdu, Request& request) {
    request = Request{};
    request.function = pdu.at(0);
    const std::size_t n = pdu.size();
    switch (request.function) {
        case 3:
        case 4:
            if (n != 5) return Parse::Malformed;
            request.kind = Request::Kind::Read;
            request.address = word(&pdu[1]);
            request.count = word(&pdu[3]);
            return request.count >= 1 && request.count <= kMaxReadCount ? Parse::Ok
                                                                        : Parse::BadValue;
        case 6:
            if (n != 5) return Parse::Malformed;
            request.kind = Request::Kind::WriteOne;
            request.address = word(&pdu[1]);
            request.count = 1;
            request.values.push_back(word(&pdu[3]));
            return Parse::Ok;
        case 16: {
            // Address, count, byte count, then the values: the frame must end
            // where its byte count says.
            if (n < 6 || n != 6 + std::size_t{pdu[5]}) return Parse::Malformed;
            request.kind = Request::Kind::WriteMany;
            request.address = word(&pdu[1]);
            request.count = word(&pdu[3]);
            if (request.count < 1 || request.count > kMaxWriteCount || pdu[5] != 2 * request.count)
                return Parse::BadValue;
            for (std::size_t i = 0; i < request.count; ++i)
                request.values.push_back(word(&pdu[6 + 2 * i]));
            return Parse::Ok;
        }
        default:
            return Parse::Ok;
    }
}

std::vector<std::uint8_t> exceptionReply(const Frame& frame, std::uint8_t code) {
    std::vector<std::uint8_t> out = header(frame, 2);
    out.push_back(static_cast<std::uint8_t>(frame.pdu.at(0) | 0x80));
    out.push_back(code);
    return out;
}

std::vector<std::uint8_t> readReply(const Frame& frame, const std::vector<std::uint16_t>& words) {
    std::vector<std::uint8_t> out = header(frame, 2 + 2 * words.size());
    out.push_back(frame.pdu.at(0));
    out.push_back(static_cast<std::uint8_t>(2 * words.size()));
    for (std::uint16_t w : words) putWord(out, w);
    return out;
}

std::vector<std::uint8_t> writeReply(const Frame& frame, const Request& request) {
    std::vector<std::uint8_t> out = header(frame, 5);
    out.push_back(request.function);
    putWord(out, request.address);
    putWord(out, request.kind == Request::Kind::WriteOne ? request.values.at(0) : request.count);
    return out;
}

}  // namespace vedhost
