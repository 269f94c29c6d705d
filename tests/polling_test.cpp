// A polling round against a fake meter, and the write acknowledgement.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "support/fake_host.h"
#include "ved96/ved96.h"

namespace {

// The meter's ten read blocks, written from its register map: start, count,
// first record byte.
struct Block {
    int start;
    int count;
    int offset;
};
const Block kBlocks[] = {
    {0, 72, 4},      {100, 2, 148},    {102, 3, 152},   {500, 8, 158},  {1400, 120, 174},
    {1520, 78, 414}, {1600, 120, 570}, {1720, 78, 810}, {6000, 8, 966}, {6008, 10, 982},
};

// A register value that tells registers apart and uses the high byte.
std::uint16_t mark(int reg) { return static_cast<std::uint16_t>(0x8000 | reg); }

class Polling : public ::testing::Test {
  protected:
    fake::Host host;
    ved96 meter;

    void fillAllBlocks() {
        for (const auto& b : kBlocks)
            for (int r = b.start; r < b.start + b.count; ++r) host.meter.registers[r] = mark(r);
    }
    const unsigned char* bytes() const {
        return reinterpret_cast<const unsigned char*>(&meter.data_);
    }
    std::uint16_t wordAt(int offset) const {
        std::uint16_t w;
        std::memcpy(&w, bytes() + offset, 2);
        return w;
    }
    // Delivers one reply to process_payload as the host would.
    int deliver(std::vector<std::uint16_t> words) {
        std::copy(words.begin(), words.end(), meter.respBuf_);
        return meter.process_payload(meter.curTab_, static_cast<unsigned>(words.size()));
    }
};

TEST_F(Polling, RoundRequestsTheTenBlocksInOrderAndStoresEachInPlace) {
    fillAllBlocks();
    testing::internal::CaptureStdout();
    EXPECT_EQ(meter.RefreshStatus(), 1);
    EXPECT_EQ(meter.curTab_, 11);
    EXPECT_EQ(host::pump(meter), 10);
    testing::internal::GetCapturedStdout();

    std::vector<std::string> expected;
    for (const auto& b : kBlocks)
        expected.push_back(std::to_string(b.start) + "," + std::to_string(b.count));
    EXPECT_EQ(host.meter.reads(), expected);

    for (const auto& b : kBlocks)
        for (int i = 0; i < b.count; ++i)
            ASSERT_EQ(wordAt(b.offset + 2 * i), mark(b.start + i)) << "register " << b.start + i;
    EXPECT_EQ(host.services.only("SendSP").size(), 1u) << "one round end";
    EXPECT_EQ(meter.curTab_, 20) << "stage stays at the last block";
}

TEST_F(Polling, LastBlockEndsTheRoundWithResultZero) {
    meter.curTab_ = 19;
    testing::internal::CaptureStdout();
    EXPECT_EQ(deliver(std::vector<std::uint16_t>(8, 1)), 1) << "a middle block continues";
    EXPECT_EQ(meter.curTab_, 20);
    EXPECT_EQ(deliver(std::vector<std::uint16_t>(10, 2)), 0);
    EXPECT_EQ(deliver(std::vector<std::uint16_t>(10, 3)), 0) << "a repeated last reply";
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(meter.data_.wiring_mode, 3) << "stored again";
    EXPECT_EQ(host.services.only("SendSP").size(), 2u) << "and ends the round again";
}

TEST_F(Polling, StageTwelveReplyChangesOnlyBytes148To151) {
    std::memset(&meter.data_, 0x5A, sizeof meter.data_);
    std::vector<unsigned char> before(bytes(), bytes() + 1009);
    meter.curTab_ = 12;
    EXPECT_EQ(deliver({0xFFFF, 0x1234, 0x7777}), 1);
    for (int i = 0; i < 1009; ++i) {
        if (i >= 148 && i <= 151) continue;
        ASSERT_EQ(bytes()[i], before[i]) << "byte " << i;
    }
    EXPECT_EQ(meter.data_.soe_pointer_total, 65535) << "stored raw, never as -1";
    EXPECT_EQ(meter.data_.soe_pointer_spare, 0x1234);
    EXPECT_EQ(meter.curTab_, 13);
    const auto next = meter.takeRequest();
    ASSERT_TRUE(next.has_value());
    EXPECT_EQ(next->address, 102);
    EXPECT_EQ(next->count, 3);
}

TEST_F(Polling, FailedExchangeReportsErrorAndLeavesStageAndRecord) {
    fillAllBlocks();
    host.meter.silentExchanges = 1;
    testing::internal::CaptureStdout();
    meter.RefreshStatus();
    EXPECT_EQ(host::pump(meter), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "SPModbus get error\n");
    EXPECT_EQ(meter.curTab_, 11);
    EXPECT_EQ(meter.data_.phase_voltage_a, 0);
    EXPECT_TRUE(host.services.calls.empty());
}

TEST_F(Polling, OnErrorPrintsAndReturnsZero) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(meter.on_error(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "SPModbus get error\n");
}

struct WriteReply {
    const char* name;
    int stage;
    int expected;
    std::vector<std::uint16_t> words;
    int result;
};

class WriteAcknowledgement : public Polling, public ::testing::WithParamInterface<WriteReply> {};

TEST_P(WriteAcknowledgement, SetsOutcomeAndResets) {
    const auto& c = GetParam();
    meter.curTab_ = c.stage;
    meter.writeExpected_ = c.expected;
    EXPECT_EQ(deliver(c.words), 0);
    EXPECT_EQ(meter.writeResult_, c.result);
    EXPECT_EQ(host.services.calls, std::vector<std::string>{"Reset"});
    EXPECT_EQ(meter.curTab_, c.stage);
    EXPECT_FALSE(meter.hasRequest());
}

INSTANTIATE_TEST_SUITE_P(Replies, WriteAcknowledgement,
                         ::testing::Values(WriteReply{"single_echo_matches", 206, 1, {1}, 1},
                                           WriteReply{"single_echo_differs", 206, 1, {2}, 3},
                                           WriteReply{"single_high_value", 206, 65535, {0xFFFF}, 1},
                                           WriteReply{
                                               "single_nothing_expected", 206, -1, {0xFFFF}, 3},
                                           WriteReply{"multiple_count_matches", 210, 3, {16, 3}, 1},
                                           WriteReply{"multiple_wrong_function", 210, 3, {6, 3}, 3},
                                           WriteReply{"multiple_wrong_count", 210, 3, {16, 2}, 3}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Polling, StagesWithoutAwaitedReplyAreIgnored) {
    for (int stage : {0, 10, 21, 310, 320}) {
        SCOPED_TRACE(stage);
        std::memset(&meter.data_, 0x11, sizeof meter.data_);
        std::vector<unsigned char> before(bytes(), bytes() + 1009);
        meter.curTab_ = stage;
        meter.writeResult_ = -1;
        EXPECT_EQ(deliver({16, 3, 1, 2}), 1);
        EXPECT_EQ(meter.curTab_, stage);
        EXPECT_EQ(meter.writeResult_, -1);
        EXPECT_EQ(std::vector<unsigned char>(bytes(), bytes() + 1009), before);
        EXPECT_FALSE(meter.hasRequest());
    }
    EXPECT_TRUE(host.services.calls.empty());
}

TEST_F(Polling, RefusedWriteEndsAsRefused) {
    host.meter.refused = {6008};
    meter.curTab_ = 206;
    meter.writeExpected_ = 2;
    meter.writeResult_ = -1;
    meter.modbus_write_register(6008, 2);
    host::pump(meter);
    EXPECT_EQ(meter.writeResult_, 3);

    meter.curTab_ = 210;
    meter.writeExpected_ = 1;
    meter.writeResult_ = -1;
    const unsigned short value = 16;
    meter.modbus_write_registers(6008, 1, &value);
    host::pump(meter);
    EXPECT_EQ(meter.writeResult_, 3);
}

}  // namespace
