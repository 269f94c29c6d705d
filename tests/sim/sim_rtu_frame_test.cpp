// RTU request framing on the meter's line.
#include <gtest/gtest.h>

#include <vector>

#include "rtu_frame.h"

namespace vedsim {
namespace {

// Frames as mbpoll, a third-party master, sent them (its verbose output).
TEST(SimRtuFrame, CrcMatchesFramesFromAnotherMaster) {
    const std::vector<std::vector<uint8_t>> frames = {
        {0x01, 0x06, 0x17, 0x78, 0x00, 0x02, 0x8D, 0xA6},  // write 6008 = 2
        {0x01, 0x03, 0x05, 0x78, 0x00, 0x28, 0xC5, 0x01},  // read 1400, 40 registers
        {0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x0A},  // read 0, 1 register
    };
    for (const auto& f : frames) {
        SCOPED_TRACE(testing::Message() << "function " << int(f[1]));
        EXPECT_TRUE(crc_ok(f.data(), f.size()));
        std::vector<uint8_t> bad = f;
        bad[3] ^= 0x01;
        EXPECT_FALSE(crc_ok(bad.data(), bad.size()));
    }
    const uint8_t short_frame[] = {0x01, 0x03, 0x00};
    EXPECT_FALSE(crc_ok(short_frame, sizeof short_frame));
}

TEST(SimRtuFrame, RequestLengthFromTheFunctionCode) {
    struct Row {
        std::vector<uint8_t> start;
        size_t length;
    };
    const Row rows[] = {
        {{}, kLengthNeedsMore},
        {{0x01}, kLengthNeedsMore},
        {{0x01, 0x03}, 8},
        {{0x01, 0x06}, 8},
        {{0x01, 0x10, 0x17, 0x70, 0x00}, kLengthNeedsMore},
        {{0x01, 0x10, 0x17, 0x70, 0x00, 0x02, 0x04}, 13},
        {{0x01, 0x10, 0x17, 0x70, 0x00, 0x7B, 0xF6}, 255},
        {{0x01, 0x2B}, kLengthUnknown},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.start.size());
        EXPECT_EQ(request_length(row.start.data(), row.start.size()), row.length);
    }
}

TEST(SimRtuFrame, SilenceIsThreeAndAHalfCharactersOrAtLeast1750us) {
    EXPECT_EQ(frame_gap_us(9600), 4010u);  // 38.5 bits at 9600 baud
    EXPECT_EQ(frame_gap_us(1200), 32083u);
    EXPECT_EQ(frame_gap_us(19200), 2005u);
    EXPECT_EQ(frame_gap_us(115200), 1750u);
}

}  // namespace
}  // namespace vedsim
