// How the simulated meter answers request PDUs, with and without faults.
#include <gtest/gtest.h>

#include <vector>

#include "dispatch.h"

namespace vedsim {
namespace {

using Kind = Answer::Kind;
using Pdu = std::vector<uint8_t>;

Pdu read(unsigned first, unsigned count) {
    return {3, uint8_t(first >> 8), uint8_t(first), uint8_t(count >> 8), uint8_t(count)};
}
Pdu write1(unsigned reg, unsigned value) {
    return {6, uint8_t(reg >> 8), uint8_t(reg), uint8_t(value >> 8), uint8_t(value)};
}
Pdu write_n(unsigned first, const std::vector<uint16_t>& values) {
    Pdu pdu = {16, uint8_t(first >> 8),    uint8_t(first),
               0,  uint8_t(values.size()), uint8_t(2 * values.size())};
    for (uint16_t v : values) {
        pdu.push_back(uint8_t(v >> 8));
        pdu.push_back(uint8_t(v));
    }
    return pdu;
}

Answer ask(RequestHandler& h, const Pdu& pdu) { return h.handle(pdu.data(), pdu.size(), 1.0); }

TEST(SimDispatch, AnswersByFunctionQuantityAndAddress) {
    struct Row {
        const char* what;
        Pdu pdu;
        Kind kind;
        uint8_t exception;
        size_t reply_bytes;
    };
    Pdu bad_count = write_n(6008, {1, 2});
    bad_count[5] = 3;  // byte count disagrees with the quantity
    const Row rows[] = {
        {"first block whole", read(0, 72), Kind::kReply, 0, 146},
        {"across the status blocks", read(100, 5), Kind::kReply, 0, 12},
        {"harmonics whole", read(1400, 120), Kind::kReply, 0, 242},
        {"settings whole", read(6000, 18), Kind::kReply, 0, 38},
        {"one past a block", read(0, 73), Kind::kException, kIllegalDataAddress, 2},
        {"in a gap", read(72, 1), Kind::kException, kIllegalDataAddress, 2},
        {"past the last block", read(6017, 2), Kind::kException, kIllegalDataAddress, 2},
        {"count 0", read(0, 0), Kind::kException, kIllegalDataValue, 2},
        {"count 126", read(1400, 126), Kind::kException, kIllegalDataValue, 2},
        {"input registers", {4, 0, 0, 0, 1}, Kind::kException, kIllegalFunction, 2},
        {"coils", {1, 0, 0, 0, 1}, Kind::kException, kIllegalFunction, 2},
        {"truncated read", {3, 0, 0}, Kind::kException, kIllegalDataValue, 2},
        {"write a setting", write1(6008, 2), Kind::kReply, 0, 5},
        {"write a rating", write1(6000, 380), Kind::kReply, 0, 5},
        {"write a measurement", write1(100, 1), Kind::kException, kIllegalDataAddress, 2},
        {"write in a gap", write1(5999, 1), Kind::kException, kIllegalDataAddress, 2},
        {"write all settings", write_n(6000, std::vector<uint16_t>(18, 1)), Kind::kReply, 0, 5},
        {"write past the end", write_n(6016, {0, 0, 0}), Kind::kException, kIllegalDataAddress, 2},
        {"write byte count wrong", bad_count, Kind::kException, kIllegalDataValue, 2},
        {"write 0 registers", write_n(6008, {}), Kind::kException, kIllegalDataValue, 2},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        MeterModel model = MeterModel::fixed({});
        RequestHandler h(model, {});
        const Answer a = ask(h, row.pdu);
        EXPECT_EQ(a.kind, row.kind);
        EXPECT_EQ(a.exception, row.exception);
        EXPECT_EQ(a.reply_pdu_bytes, row.reply_bytes);
    }
}

TEST(SimDispatch, AcceptedWritesAreKeptRefusedOnesChangeNothing) {
    MeterModel model = MeterModel::fixed({{100, 7}});
    RequestHandler h(model, {});
    ask(h, write1(6008, 2));
    ask(h, write_n(6014, {1, 3}));
    ask(h, write1(100, 9));
    ask(h, write_n(6016, {5, 5, 5}));
    EXPECT_EQ(model.get(6008), 2);
    EXPECT_EQ(model.get(6014), 1);
    EXPECT_EQ(model.get(6015), 3);
    EXPECT_EQ(model.get(100), 7);
    EXPECT_EQ(model.get(6016), 0);
    EXPECT_EQ(model.get(6017), 0);
}

TEST(SimDispatch, DropsEveryNthRequestAndItsWrite) {
    MeterModel model = MeterModel::fixed({});
    FaultPlan plan;
    plan.drop_every = 3;
    RequestHandler h(model, plan);
    std::vector<Kind> kinds;
    for (int i = 1; i <= 6; ++i) kinds.push_back(ask(h, write1(6008, i)).kind);
    EXPECT_EQ(kinds, (std::vector<Kind>{Kind::kReply, Kind::kReply, Kind::kSilent, Kind::kReply,
                                        Kind::kReply, Kind::kSilent}));
    EXPECT_EQ(model.get(6008), 5) << "the dropped sixth write never arrived";
}

TEST(SimDispatch, FaultsHitOnlyTheRequestsOfTheirWindow) {
    MeterModel model = MeterModel::fixed({});
    FaultPlan plan;
    plan.drop_every = 1;
    plan.faults_from = 3;
    plan.faults_to = 4;
    RequestHandler h(model, plan);
    std::vector<Kind> kinds;
    std::vector<bool> faulted;
    for (int i = 1; i <= 5; ++i) {
        kinds.push_back(ask(h, read(0, 1)).kind);
        faulted.push_back(h.faults_apply());
    }
    EXPECT_EQ(kinds, (std::vector<Kind>{Kind::kReply, Kind::kReply, Kind::kSilent, Kind::kSilent,
                                        Kind::kReply}));
    EXPECT_EQ(faulted, (std::vector<bool>{false, false, true, true, false}));
}

TEST(SimDispatch, InjectedExceptionsHitEveryRequestTouchingTheRegister) {
    MeterModel model = MeterModel::fixed({});
    FaultPlan plan;
    plan.exception_at[6008] = kSlaveDeviceFailure;
    plan.exception_at[1] = 6;
    RequestHandler h(model, plan);
    EXPECT_EQ(ask(h, read(6000, 18)).exception, kSlaveDeviceFailure);
    EXPECT_EQ(ask(h, read(6008, 1)).exception, kSlaveDeviceFailure);
    EXPECT_EQ(ask(h, read(6000, 8)).kind, Kind::kReply) << "6000-6007 does not touch 6008";
    EXPECT_EQ(ask(h, read(6009, 9)).kind, Kind::kReply);
    EXPECT_EQ(ask(h, read(0, 72)).exception, 6);
    EXPECT_EQ(ask(h, write1(6008, 2)).exception, kSlaveDeviceFailure);
    EXPECT_EQ(model.get(6008), 0) << "a write answered with an exception is not applied";
}

// A character is start, data, parity and stop bits: 10 bits for 8N1, 11 for
// 8E1 and 8O1, 11 for 8N2.
TEST(SimPacing, LineTimeCountsTheLinesCharacterBits) {
    EXPECT_EQ(character_bits(8, 'N', 1), 10u);
    EXPECT_EQ(character_bits(8, 'E', 1), 11u);
    EXPECT_EQ(character_bits(8, 'O', 1), 11u);
    EXPECT_EQ(character_bits(8, 'N', 2), 11u);
    const struct {
        unsigned bits;
        long request, gap, reply;  // us at 9600 baud: 8 bytes, 3.5 characters, 21 bytes
    } cases[] = {
        {10, 8333, 3645, 21875},
        {11, 9166, 4010, 24062},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bits);
        EXPECT_EQ(line_time(8, 9600, c.bits).count(), c.request);
        EXPECT_EQ(line_time(21, 9600, c.bits).count(), c.reply);
        EXPECT_EQ(line_time(0, 9600, c.bits).count(), 0);
        EXPECT_EQ(paced_reply_delay(8, 21, 9600, c.bits).count(), c.request + c.gap + c.reply);
    }
    EXPECT_EQ(line_time(1, 19200, 11).count(), 572);
}

TEST(TcpFault, EachKindChangesOnlyItsHeaderField) {
    // Reply to transaction 0x00FF: two registers of unit 1 (MBAP written by hand).
    const Pdu reply = {0x00, 0xFF, 0, 0, 0, 7, 1, 3, 4, 0, 9, 0, 8};
    const struct {
        TcpFault fault;
        Pdu expected;
    } rows[] = {
        {TcpFault::kNone, reply},
        {TcpFault::kTransaction, {0x01, 0x00, 0, 0, 0, 7, 1, 3, 4, 0, 9, 0, 8}},
        {TcpFault::kProtocol, {0x00, 0xFF, 0, 1, 0, 7, 1, 3, 4, 0, 9, 0, 8}},
        {TcpFault::kLength, {0x00, 0xFF, 0, 0, 0, 8, 1, 3, 4, 0, 9, 0, 8}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(static_cast<int>(row.fault));
        Pdu adu = reply;
        apply_tcp_fault(row.fault, adu.data(), adu.size());
        EXPECT_EQ(adu, row.expected);
    }
}

}  // namespace
}  // namespace vedsim
