// Modbus frames as vedhost sends and checks them, without any I/O.
//
// On RTU vedhost sends each request as a raw PDU through libmodbus (which adds
// the address and CRC and checks the CRC of the reply); on TCP it builds the
// whole frame here, with a transaction id of its own for each request. Every
// reply is checked against its request here before anything reaches the
// plug-in: transaction, protocol and length (TCP), unit id, function code,
// byte count, echoed address and count.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "host/seam.h"

namespace vedhost {

// Unit id followed by the request PDU, as modbus_send_raw_request takes it.
std::vector<std::uint8_t> buildRequest(int slave, const host::ModbusRequest& request);

// Judges a reply: `unit` is the unit id the reply came from, `pdu` the reply
// from its function code on (CRC or TCP header removed). A good reply to a read
// gives the registers read; to a write, the words the host hands the device
// (host::writeEcho form, built from what the meter echoed, so that a meter
// echoing another value or count is seen by the device as not acknowledged).
// An exception reply gives Status::Exception with its code. Anything that is
// not an answer to this request gives Status::Failed with the reason.
host::ModbusReply checkReply(int slave, const host::ModbusRequest& request, int unit,
                             const std::uint8_t* pdu, std::size_t length);

// A whole Modbus TCP request: the MBAP header (transaction id, protocol id 0,
// length of what follows), then unit id and PDU as buildRequest gives them.
std::vector<std::uint8_t> buildTcpRequest(std::uint16_t transaction, int slave,
                                          const host::ModbusRequest& request);

// Judges a whole TCP reply, MBAP header included: it answers this request
// only when it carries the request's transaction id, protocol id 0 and a
// length field equal to the bytes after it; then as checkReply. A reply meant
// for another request gives Status::Failed.
host::ModbusReply checkTcpReply(std::uint16_t transaction, int slave,
                                const host::ModbusRequest& request, const std::uint8_t* adu,
                                std::size_t length);

// Judges a whole RTU reply as libmodbus hands it over, its CRC already checked:
// unit id, PDU, the two CRC bytes; then as checkReply.
host::ModbusReply checkRtuReply(int slave, const host::ModbusRequest& request,
                                const std::uint8_t* adu, std::size_t length);

// The shortest silence that separates two RTU frames: 3.5 character times at
// the line's speed, a character being start bit, data bits, parity bit (when
// used) and stop bits. Above 19200 baud the fixed 1750 us applies.
std::chrono::microseconds minimumFrameGap(int baud, int dataBits, char parity, int stopBits);

}  // namespace vedhost
