// vedhost's reply checks with any RTU or TCP frame, MBAP header included.
// Input: byte 0 picks the request (each poll block, a single write, a multiple
// write) and the framing (bit 7: TCP), bytes 1-2 the transaction id asked,
// the rest is the reply frame. What a good reply hands the device must fit
// the request; anything else is a fault of the checks.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "lines/modbus_frames.h"

namespace {

using host::ModbusReply;
using host::ModbusRequest;

ModbusRequest pick(std::uint8_t choice) {
    // The ten poll blocks (start, count), then two writes.
    constexpr int kBlocks[][2] = {{0, 72},    {100, 2},    {102, 3},   {500, 8},  {1400, 120},
                                  {1520, 78}, {1600, 120}, {1720, 78}, {6000, 8}, {6008, 10}};
    ModbusRequest request;
    const int which = (choice & 0x7F) % 12;
    if (which < 10) {
        request.address = kBlocks[which][0];
        request.count = kBlocks[which][1];
    } else if (which == 10) {
        request.function = ModbusRequest::WriteSingle;
        request.address = 6008;
        request.count = 1;
        request.values = {2};
    } else {
        request.function = ModbusRequest::WriteMultiple;
        request.address = 6011;
        request.count = 3;
        request.values = {1, 1, 1};
    }
    return request;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    const ModbusRequest request = pick(data[0]);
    const std::uint16_t transaction = static_cast<std::uint16_t>(data[1] << 8 | data[2]);
    const std::vector<std::uint8_t> frame(data + 3, data + size);
    const ModbusReply reply =
        (data[0] & 0x80)
            ? vedhost::checkTcpReply(transaction, 1, request, frame.data(), frame.size())
            : vedhost::checkRtuReply(1, request, frame.data(), frame.size());
    if (reply.status != ModbusReply::Status::Ok) return 0;
    const std::size_t expected = request.function == ModbusRequest::ReadHolding
                                     ? static_cast<std::size_t>(request.count)
                                 : request.function == ModbusRequest::WriteSingle ? 1
                                                                                  : 2;
    if (reply.words.size() != expected) std::abort();
    return 0;
}
