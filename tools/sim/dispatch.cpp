#include "dispatch.h"

#include <vector>

namespace vedsim {

namespace {

constexpr unsigned kMaxReadRegisters = 125;
constexpr unsigned kMaxWriteRegisters = 123;

unsigned word(const uint8_t* p) { return (unsigned{p[0]} << 8) | p[1]; }

Answer exception(uint8_t code) { return {Answer::Kind::kException, code, 2}; }

}  // namespace

bool RequestHandler::faults_apply() const {
    if (plan_.faults_from == 0) return true;
    return requests_ >= plan_.faults_from && requests_ <= plan_.faults_to;
}

Answer RequestHandler::handle(const uint8_t* pdu, size_t len, double seconds) {
    // A dropped request is lost on the line: nothing of it takes effect.
    ++requests_;
    if (plan_.drop_every != 0 && requests_ % plan_.drop_every == 0 && faults_apply()) return {};
    if (len < 1) return {};

    // Function and quantity first, then the injected faults, then addresses,
    // the order in which a Modbus server checks a request.
    const uint8_t function = pdu[0];
    unsigned first = 0, count = 0;
    std::vector<uint16_t> values;
    switch (function) {
        case kReadHoldingRegisters:
            if (len != 5) return exception(kIllegalDataValue);
            first = word(pdu + 1);
            count = word(pdu + 3);
            if (count < 1 || count > kMaxReadRegisters) return exception(kIllegalDataValue);
            break;
        case kWriteSingleRegister:
            if (len != 5) return exception(kIllegalDataValue);
            first = word(pdu + 1);
            count = 1;
            values.push_back(static_cast<uint16_t>(word(pdu + 3)));
            break;
        case kWriteMultipleRegisters: {
            if (len < 6) return exception(kIllegalDataValue);
            first = word(pdu + 1);
            count = word(pdu + 3);
            const size_t bytes = pdu[5];
            if (count < 1 || count > kMaxWriteRegisters || bytes != 2 * count || len != 6 + bytes) {
                return exception(kIllegalDataValue);
            }
            for (unsigned i = 0; i < count; ++i) {
                values.push_back(static_cast<uint16_t>(word(pdu + 6 + 2 * i)));
            }
            break;
        }
        default:
            return exception(kIllegalFunction);
    }

    for (const auto& [reg, code] : plan_.exception_at) {
        if (reg >= first && reg < first + count) return exception(code);
    }

    if (function == kReadHoldingRegisters) {
        if (!model_.readable(first, count)) return exception(kIllegalDataAddress);
        model_.advance_to(seconds);
        return {Answer::Kind::kReply, 0, 2 + 2 * size_t{count}};
    }
    if (!model_.writable(first, count)) return exception(kIllegalDataAddress);
    model_.write(first, values);
    return {Answer::Kind::kReply, 0, 5};  // function, address, value or quantity
}

void apply_tcp_fault(TcpFault fault, uint8_t* adu, size_t len) {
    if (len < 7) return;
    const auto bump = [adu](size_t at) {
        const unsigned next = (word(adu + at) + 1) & 0xFFFF;
        adu[at] = static_cast<uint8_t>(next >> 8);
        adu[at + 1] = static_cast<uint8_t>(next);
    };
    switch (fault) {
        case TcpFault::kNone:
            break;
        case TcpFault::kTransaction:
            bump(0);
            break;
        case TcpFault::kProtocol:
            adu[2] = 0;
            adu[3] = 1;
            break;
        case TcpFault::kLength:
            bump(4);
            break;
    }
}

unsigned character_bits(unsigned data_bits, char parity, unsigned stop_bits) {
    return 1 + data_bits + (parity == 'N' ? 0 : 1) + stop_bits;
}

std::chrono::microseconds line_time(size_t bytes, unsigned baud, unsigned bits) {
    if (baud == 0) return std::chrono::microseconds(0);
    return std::chrono::microseconds(bytes * bits * 1000000ull / baud);
}

std::chrono::microseconds paced_reply_delay(size_t request_frame_bytes, size_t reply_frame_bytes,
                                            unsigned baud, unsigned bits) {
    if (baud == 0) return std::chrono::microseconds(0);
    // 3.5 characters of silence, in whole microseconds.
    const std::chrono::microseconds gap(35ull * bits * 1000000ull / (10ull * baud));
    return line_time(request_frame_bytes, baud, bits) + gap +
           line_time(reply_frame_bytes, baud, bits);
}

}  // namespace vedsim
