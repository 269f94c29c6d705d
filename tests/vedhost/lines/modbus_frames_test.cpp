// Requests as vedhost sends them and the checks every reply passes before it
// reaches a device. Frames are written out by hand from the Modbus
// application protocol (functions 3, 6 and 16; exception replies set bit 7).
#include "lines/modbus_frames.h"

#include <gtest/gtest.h>

namespace vedhost {
namespace {

using host::ModbusReply;
using host::ModbusRequest;
using Bytes = std::vector<std::uint8_t>;

ModbusRequest read(int address, int count) {
    ModbusRequest r;
    r.function = ModbusRequest::ReadHolding;
    r.address = address;
    r.count = count;
    return r;
}

ModbusRequest writeOne(int address, std::uint16_t value) {
    ModbusRequest r;
    r.function = ModbusRequest::WriteSingle;
    r.address = address;
    r.count = 1;
    r.values = {value};
    return r;
}

ModbusRequest writeMany(int address, std::vector<std::uint16_t> values) {
    ModbusRequest r;
    r.function = ModbusRequest::WriteMultiple;
    r.address = address;
    r.count = static_cast<int>(values.size());
    r.values = std::move(values);
    return r;
}

TEST(BuildRequest, UnitIdThenThePdu) {
    EXPECT_EQ(buildRequest(1, read(1400, 120)), (Bytes{1, 3, 0x05, 0x78, 0x00, 0x78}));
    EXPECT_EQ(buildRequest(2, writeOne(6008, 0xABCD)), (Bytes{2, 6, 0x17, 0x78, 0xAB, 0xCD}));
    EXPECT_EQ(buildRequest(247, writeMany(6011, {1, 0x0203})),
              (Bytes{247, 16, 0x17, 0x7B, 0x00, 0x02, 0x04, 0x00, 0x01, 0x02, 0x03}));
}

struct ReplyRow {
    const char* name;
    ModbusRequest request;
    int unit;
    Bytes pdu;
    ModbusReply::Status status;
    std::vector<std::uint16_t> words;
    int exceptionCode;
};

TEST(CheckReply, AgainstItsRequest) {
    const ReplyRow rows[] = {
        {"read",
         read(100, 2),
         1,
         {3, 4, 0x00, 0x07, 0xFF, 0xFF},
         ModbusReply::Status::Ok,
         {7, 65535},
         0},
        {"read from another unit",
         read(100, 2),
         2,
         {3, 4, 0, 7, 0, 9},
         ModbusReply::Status::Failed,
         {},
         0},
        {"read, byte count of another block",
         read(100, 2),
         1,
         {3, 6, 0, 7, 0, 9, 0, 1},
         ModbusReply::Status::Failed,
         {},
         0},
        {"read, byte count and length disagree",
         read(100, 2),
         1,
         {3, 4, 0, 7, 0},
         ModbusReply::Status::Failed,
         {},
         0},
        {"read answered by another function",
         read(100, 2),
         1,
         {4, 4, 0, 7, 0, 9},
         ModbusReply::Status::Failed,
         {},
         0},
        {"read refused", read(72, 1), 1, {0x83, 2}, ModbusReply::Status::Exception, {}, 2},
        {"exception of another function",
         read(72, 1),
         1,
         {0x86, 2},
         ModbusReply::Status::Failed,
         {},
         0},
        {"single write echoed",
         writeOne(6008, 2),
         1,
         {6, 0x17, 0x78, 0, 2},
         ModbusReply::Status::Ok,
         {2},
         0},
        // The device compares the echoed value with what it wrote.
        {"single write echoing another value",
         writeOne(6008, 2),
         1,
         {6, 0x17, 0x78, 0, 3},
         ModbusReply::Status::Ok,
         {3},
         0},
        {"single write echoing another register",
         writeOne(6008, 2),
         1,
         {6, 0x17, 0x79, 0, 2},
         ModbusReply::Status::Failed,
         {},
         0},
        {"single write refused",
         writeOne(100, 5),
         1,
         {0x86, 2},
         ModbusReply::Status::Exception,
         {},
         2},
        {"multiple write echoed",
         writeMany(6011, {1, 1, 1}),
         1,
         {16, 0x17, 0x7B, 0, 3},
         ModbusReply::Status::Ok,
         {16, 3},
         0},
        {"multiple write, other count",
         writeMany(6011, {1, 1, 1}),
         1,
         {16, 0x17, 0x7B, 0, 2},
         ModbusReply::Status::Ok,
         {16, 2},
         0},
        {"multiple write, short reply",
         writeMany(6011, {1, 1, 1}),
         1,
         {16, 0x17, 0x7B, 0},
         ModbusReply::Status::Failed,
         {},
         0},
        {"multiple write refused",
         writeMany(6017, {0, 0}),
         1,
         {0x90, 2},
         ModbusReply::Status::Exception,
         {},
         2},
        {"empty reply", read(0, 1), 1, {3}, ModbusReply::Status::Failed, {}, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const ModbusReply reply =
            checkReply(1, row.request, row.unit, row.pdu.data(), row.pdu.size());
        EXPECT_EQ(reply.status, row.status) << reply.error;
        EXPECT_EQ(reply.words, row.words);
        EXPECT_EQ(reply.exceptionCode, row.exceptionCode);
        if (row.status != ModbusReply::Status::Ok) {
            EXPECT_FALSE(reply.error.empty());
        }
    }
}

TEST(BuildTcpRequest, HeaderCarriesTheTransactionIdAndTheLengthThatFollows) {
    // MBAP: transaction id, protocol id 0, length of unit id and PDU, unit id.
    EXPECT_EQ(buildTcpRequest(0x1234, 1, read(1400, 120)),
              (Bytes{0x12, 0x34, 0, 0, 0, 6, 1, 3, 0x05, 0x78, 0x00, 0x78}));
    EXPECT_EQ(buildTcpRequest(0xFFFF, 2, writeMany(6011, {1})),
              (Bytes{0xFF, 0xFF, 0, 0, 0, 9, 2, 16, 0x17, 0x7B, 0x00, 0x01, 0x02, 0x00, 0x01}));
}

TEST(CheckTcpReply, OnlyTheAnswerToThisTransaction) {
    // The reply to reading two registers from 100 of unit 1 in transaction 7.
    const Bytes good = {0, 7, 0, 0, 0, 7, 1, 3, 4, 0, 9, 0, 8};
    const struct {
        const char* name;
        Bytes adu;
        ModbusReply::Status status;
    } rows[] = {
        {"matching", good, ModbusReply::Status::Ok},
        {"another transaction",
         {0, 6, 0, 0, 0, 7, 1, 3, 4, 0, 9, 0, 8},
         ModbusReply::Status::Failed},
        {"transaction 0", {0, 0, 0, 0, 0, 7, 1, 3, 4, 0, 9, 0, 8}, ModbusReply::Status::Failed},
        {"protocol 1", {0, 7, 0, 1, 0, 7, 1, 3, 4, 0, 9, 0, 8}, ModbusReply::Status::Failed},
        {"length one more", {0, 7, 0, 0, 0, 8, 1, 3, 4, 0, 9, 0, 8}, ModbusReply::Status::Failed},
        {"length one less", {0, 7, 0, 0, 0, 6, 1, 3, 4, 0, 9, 0, 8}, ModbusReply::Status::Failed},
        {"length 0", {0, 7, 0, 0, 0, 0, 1, 3, 4, 0, 9, 0, 8}, ModbusReply::Status::Failed},
        {"header only", {0, 7, 0, 0, 0, 1, 1}, ModbusReply::Status::Failed},
        {"cut inside the header", {0, 7, 0, 0}, ModbusReply::Status::Failed},
        {"another unit", {0, 7, 0, 0, 0, 7, 2, 3, 4, 0, 9, 0, 8}, ModbusReply::Status::Failed},
        {"exception", {0, 7, 0, 0, 0, 3, 1, 0x83, 2}, ModbusReply::Status::Exception},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const ModbusReply reply = checkTcpReply(7, 1, read(100, 2), row.adu.data(), row.adu.size());
        EXPECT_EQ(reply.status, row.status) << reply.error;
        if (row.status == ModbusReply::Status::Ok) {
            EXPECT_EQ(reply.words, (std::vector<std::uint16_t>{9, 8}));
        }
    }
}

TEST(CheckRtuReply, UnitPduAndTheCheckedCrc) {
    // libmodbus has checked the CRC; the frame still carries its two bytes.
    const Bytes good = {1, 3, 4, 0, 9, 0, 8, 0xAA, 0xBB};
    EXPECT_EQ(checkRtuReply(1, read(100, 2), good.data(), good.size()).status,
              ModbusReply::Status::Ok);
    for (std::size_t cut = 0; cut < good.size(); ++cut) {
        SCOPED_TRACE(cut);
        EXPECT_EQ(checkRtuReply(1, read(100, 2), good.data(), cut).status,
                  ModbusReply::Status::Failed);
    }
}

TEST(MinimumFrameGap, ThreeAndAHalfCharactersUpTo19200Baud) {
    // 8N1 is 10 bits a character, 8E1 11; above 19200 baud the fixed 1750 us.
    EXPECT_EQ(minimumFrameGap(9600, 8, 'N', 1).count(), 3646);
    EXPECT_EQ(minimumFrameGap(9600, 8, 'E', 1).count(), 4011);
    EXPECT_EQ(minimumFrameGap(9600, 8, 'N', 2).count(), 4011);
    EXPECT_EQ(minimumFrameGap(1200, 8, 'N', 1).count(), 29167);
    EXPECT_EQ(minimumFrameGap(19200, 8, 'N', 1).count(), 1823);
    EXPECT_EQ(minimumFrameGap(38400, 8, 'N', 1).count(), 1750);
}

}  // namespace
}  // namespace vedhost
