#include "lines/modbus_frames.h"

#include <cmath>
#include <string>

namespace vedhost {
namespace {

using host::ModbusReply;
using host::ModbusRequest;

void putWord(std::vector<std::uint8_t>& out, int word) {
    out.push_back(static_cast<std::uint8_t>((word >> 8) & 0xFF));
    out.push_back(static_cast<std::uint8_t>(word & 0xFF));
}

int wordAt(const std::uint8_t* p) { return (p[0] << 8) | p[1]; }

ModbusReply failed(const std::string& why) {
    ModbusReply reply;
    reply.status = ModbusReply::Status::Failed;
    reply.error = why;
    return reply;
}

}  // namespace

std::vector<std::uint8_t> buildRequest(int slave, const ModbusRequest& request) {
    std::vector<std::uint8_t> out;
    out.push_back(static_cast<std::uint8_t>(slave));
    out.push_back(static_cast<std::uint8_t>(request.function));
    putWord(out, request.address);
    switch (request.function) {
        case ModbusRequest::ReadHolding:
            putWord(out, request.count);
            break;
        case ModbusRequest::WriteSingle:
            putWord(out, request.values.empty() ? 0 : request.values[0]);
            break;
        case ModbusRequest::WriteMultiple:
            putWord(out, request.count);
            out.push_back(static_cast<std::uint8_t>(2 * request.count));
            for (int i = 0; i < request.count; ++i)
                putWord(out, i < static_cast<int>(request.values.size()) ? request.values[i] : 0);
            break;
    }
    return out;
}

ModbusReply checkReply(int slave, const ModbusRequest& request, int unit, const std::uint8_t* pdu,
                       std::size_t length) {
    if (unit != slave)
        return failed("reply from unit " + std::to_string(unit) + ", asked unit " +
                      std::to_string(slave));
    if (length < 2) return failed("reply too short");
    const int function = pdu[0];
    if (function == (request.function | 0x80)) {
        ModbusReply reply;
        reply.status = ModbusReply::Status::Exception;
        reply.exceptionCode = pdu[1];
        reply.error = "exception " + std::to_string(pdu[1]);
        return reply;
    }
    if (function != request.function)
        return failed("reply with function " + std::to_string(function) + " to function " +
                      std::to_string(request.function));

    ModbusReply reply;
    if (request.function == ModbusRequest::ReadHolding) {
        const std::size_t bytes = pdu[1];
        if (bytes != 2u * static_cast<std::size_t>(request.count) || length != 2 + bytes)
            return failed("reply with " + std::to_string(bytes) + " bytes to a read of " +
                          std::to_string(request.count) + " registers");
        for (std::size_t i = 0; i < bytes; i += 2)
            reply.words.push_back(static_cast<std::uint16_t>(wordAt(pdu + 2 + i)));
        reply.status = ModbusReply::Status::Ok;
        return reply;
    }
    if (length != 5) return failed("write reply of " + std::to_string(length) + " bytes");
    if (wordAt(pdu + 1) != request.address)
        return failed("write reply for register " + std::to_string(wordAt(pdu + 1)) + ", written " +
                      std::to_string(request.address));
    const auto echoed = static_cast<std::uint16_t>(wordAt(pdu + 3));
    if (request.function == ModbusRequest::WriteSingle)
        reply.words = {echoed};
    else
        reply.words = {ModbusRequest::WriteMultiple, echoed};
    reply.status = ModbusReply::Status::Ok;
    return reply;
}

std::vector<std::uint8_t> buildTcpRequest(std::uint16_t transaction, int slave,
                                          const ModbusRequest& request) {
    const std::vector<std::uint8_t> body = buildRequest(slave, request);
    std::vector<std::uint8_t> out;
    putWord(out, transaction);
    putWord(out, 0);  // protocol id: Modbus
    putWord(out, static_cast<int>(body.size()));
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

ModbusReply checkTcpReply(std::uint16_t transaction, int slave, const ModbusRequest& request,
                          const std::uint8_t* adu, std::size_t length) {
    constexpr std::size_t kHeader = 7;  // MBAP with the unit id
    if (length < kHeader + 1) return failed("reply too short");
    if (wordAt(adu) != transaction)
        return failed("reply to transaction " + std::to_string(wordAt(adu)) + ", asked " +
                      std::to_string(transaction));
    if (wordAt(adu + 2) != 0)
        return failed("reply with protocol id " + std::to_string(wordAt(adu + 2)));
    if (static_cast<std::size_t>(wordAt(adu + 4)) != length - 6)
        return failed("reply header gives " + std::to_string(wordAt(adu + 4)) + " bytes, " +
                      std::to_string(length - 6) + " follow");
    return checkReply(slave, request, adu[kHeader - 1], adu + kHeader, length - kHeader);
}

ModbusReply checkRtuReply(int slave, const ModbusRequest& request, const std::uint8_t* adu,
                          std::size_t length) {
    constexpr std::size_t kCrc = 2;
    if (length < 1 + 1 + kCrc) return failed("reply too short");
    return checkReply(slave, request, adu[0], adu + 1, length - 1 - kCrc);
}

std::chrono::microseconds minimumFrameGap(int baud, int dataBits, char parity, int stopBits) {
    if (baud <= 0) return std::chrono::microseconds(1750);
    if (baud > 19200) return std::chrono::microseconds(1750);
    const int bits = 1 + dataBits + (parity == 'N' ? 0 : 1) + stopBits;
    const double micros = 3.5 * bits * 1e6 / baud;
    return std::chrono::microseconds(static_cast<long>(std::ceil(micros)));
}

}  // namespace vedhost
