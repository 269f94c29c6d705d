// A line against a real peer: after a failed exchange a reply that comes too
// late is not taken for the answer to the next request (RTU, over a
// pseudo-terminal), and a TCP connection that failed is opened again for the
// next request (loopback).
#include "lines/modbus_line.h"

#include <gtest/gtest.h>

#include <future>

#include "hosting/host_services.h"
#include "tests/vedhost/lines/meter_peers.h"

namespace vedhost {
namespace {

using namespace std::chrono_literals;
using host::ModbusReply;
using peers::Bytes;

// A device as the line sees it: a slave id and a data id.
struct Probe : SPModbus {
    int process_payload(tab_type, unsigned int) override { return 0; }
};

host::ModbusRequest readTwo() {
    host::ModbusRequest r;
    r.address = 0;
    r.count = 2;
    return r;
}

// A line opened on its peer, with a device to exchange for.
struct OpenLine {
    explicit OpenLine(const LineConfig& config) : line(config, services) {
        std::string error;
        EXPECT_TRUE(line.connect(error)) << error;
    }
    HostServices services{nullptr, false};
    ModbusLine line;
    Probe device;
};

LineConfig rtuLine(const std::string& device, int timeoutMs) {
    LineConfig config;
    config.kind = LineConfig::Kind::Rtu;
    config.device = device;
    config.timeoutMs = timeoutMs;
    return config;
}

LineConfig tcpLine(int port, int timeoutMs) {
    LineConfig config;
    config.kind = LineConfig::Kind::Tcp;
    config.host = "127.0.0.1";
    config.port = port;
    config.timeoutMs = timeoutMs;
    return config;
}

TEST(RtuCrc, KnownFrame) {
    // Read one holding register at 0 from unit 1, as the serial line guide
    // writes it out: 01 03 00 00 00 01 84 0A.
    EXPECT_EQ(peers::withCrc({1, 3, 0, 0, 0, 1}), (Bytes{1, 3, 0, 0, 0, 1, 0x84, 0x0A}));
}

// What the meter sends after the first request, at once and then late.
struct LateCase {
    const char* name;
    Bytes atOnce;  // right after the request
    Bytes late;    // after the line has given up on the request
    const char* error;
};
void PrintTo(const LateCase& c, std::ostream* os) { *os << c.name; }

class RtuAfterAFailure : public ::testing::TestWithParam<LateCase> {};

TEST_P(RtuAfterAFailure, WhatCameTooLateIsDroppedBeforeTheNextRequest) {
    const LateCase& c = GetParam();
    peers::PtyPeer meter;
    OpenLine open(rtuLine(meter.path(), 300));
    ModbusLine& line = open.line;
    Probe& device = open.device;

    // The first request: the meter answers with what the case says, partly late.
    auto first = std::async(std::launch::async, [&] { return line.exchange(device, readTwo()); });
    ASSERT_EQ(meter.request(8), peers::withCrc({1, 3, 0, 0, 0, 2}));
    if (!c.atOnce.empty()) meter.send(c.atOnce);
    const ModbusReply failed = first.get();
    EXPECT_EQ(failed.status, ModbusReply::Status::Failed);
    EXPECT_NE(failed.error.find(c.error), std::string::npos) << failed.error;
    meter.send(c.late);
    std::this_thread::sleep_for(50ms);  // in the line's input before it sends again

    // The second request gets its own answer, not what came late.
    auto second = std::async(std::launch::async, [&] { return line.exchange(device, readTwo()); });
    ASSERT_EQ(meter.request(8), peers::withCrc({1, 3, 0, 0, 0, 2}));
    meter.send(peers::withCrc({1, 3, 4, 0x22, 0x22, 0x22, 0x22}));
    const ModbusReply answered = second.get();
    ASSERT_EQ(answered.status, ModbusReply::Status::Ok) << answered.error;
    EXPECT_EQ(answered.words, (std::vector<std::uint16_t>{0x2222, 0x2222}));
    EXPECT_EQ(line.answered(), 1);
    EXPECT_EQ(line.lastFailure().reason, failed.error);
}

const Bytes kFirstAnswer = peers::withCrc({1, 3, 4, 0x11, 0x11, 0x11, 0x11});

INSTANTIATE_TEST_SUITE_P(
    Cases, RtuAfterAFailure,
    ::testing::Values(
        // No answer within the time-out; the answer comes after it.
        LateCase{"LateReply", {}, kFirstAnswer, "time-out"},
        // A garbled answer (its CRC does not match), then a whole one late.
        LateCase{"GarbledThenLate", {1, 3, 4, 0x11, 0x11, 0x11, 0x11, 0, 0}, kFirstAnswer, "CRC"}),
    [](const auto& info) { return std::string(info.param.name); });

struct ReconnectCase {
    const char* name;
    peers::TcpMeter::Act first;
};
void PrintTo(const ReconnectCase& c, std::ostream* os) { *os << c.name; }

class TcpAfterAFailure : public ::testing::TestWithParam<ReconnectCase> {};

TEST_P(TcpAfterAFailure, TheNextRequestGoesOutOnANewConnection) {
    // Late: the answer comes well after the line gave up, but well before it
    // would give up on the second request.
    peers::TcpMeter meter(
        {GetParam().first}, {{0, 0x1000}, {1, 0x1000}},
        [](int request) { return static_cast<std::uint16_t>(request); }, 750ms);
    OpenLine open(tcpLine(meter.port(), 500));
    ModbusLine& line = open.line;
    Probe& device = open.device;

    const ModbusReply failed = line.exchange(device, readTwo());
    EXPECT_EQ(failed.status, ModbusReply::Status::Failed);
    const ModbusReply answered = line.exchange(device, readTwo());
    ASSERT_EQ(answered.status, ModbusReply::Status::Ok) << answered.error;
    // The answer to the second request (marked 1), on a connection of its own.
    EXPECT_EQ(answered.words, (std::vector<std::uint16_t>{0x1001, 0x1001}));
    EXPECT_EQ(meter.connections(), 2);

    // What the line told the publishers' side of each exchange, in order.
    const TurnRecord turn = open.services.endTurn(device);
    ASSERT_EQ(turn.seen.size(), 2u);
    const auto outcome = [&](std::size_t i) {
        return std::get<ExchangeSeen>(turn.seen[i]).outcome;
    };
    EXPECT_EQ(outcome(0), GetParam().first == peers::TcpMeter::Act::Close
                              ? Publisher::Exchange::Failed
                              : Publisher::Exchange::TimedOut);
    EXPECT_EQ(outcome(1), Publisher::Exchange::Answered);
}

INSTANTIATE_TEST_SUITE_P(Cases, TcpAfterAFailure,
                         ::testing::Values(ReconnectCase{"Closed", peers::TcpMeter::Act::Close},
                                           ReconnectCase{"Silent", peers::TcpMeter::Act::Silent},
                                           ReconnectCase{"Late", peers::TcpMeter::Act::Late}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vedhost
