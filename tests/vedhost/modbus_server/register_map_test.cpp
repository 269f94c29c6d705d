// Where the server finds each register in a round's record. The offsets are
// the record's own layout, written out by hand from the meter's register
// table (block start register -> first byte after the 4-byte data id).
#include "modbus_server/register_map.h"

#include <gtest/gtest.h>

#include <vector>

namespace vedhost {
namespace {

TEST(RegisterMap, EachBlockStartsAndEndsWhereTheRecordKeepsIt) {
    const struct {
        unsigned reg;
        std::size_t offset;
    } cases[] = {
        {0, 4},      {71, 146},   {100, 148},  {101, 150},  {102, 152},  {104, 156},   {500, 158},
        {507, 172},  {1400, 174}, {1519, 412}, {1520, 414}, {1597, 568}, {1600, 570},  {1719, 808},
        {1720, 810}, {1797, 964}, {6000, 966}, {6007, 980}, {6008, 982}, {6017, 1000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reg);
        ASSERT_TRUE(registerOffset(c.reg).has_value());
        EXPECT_EQ(*registerOffset(c.reg), c.offset);
    }
    EXPECT_EQ(kRecordBytes, 1009u);
}

TEST(RegisterMap, RegistersBetweenTheBlocksAreNotPolled) {
    for (unsigned reg :
         {72u, 99u, 105u, 499u, 508u, 1399u, 1598u, 1599u, 1798u, 5999u, 6018u, 65535u}) {
        SCOPED_TRACE(reg);
        EXPECT_FALSE(registerOffset(reg).has_value());
    }
}

TEST(RegisterMap, RangesInsideThePolledBlocks) {
    const struct {
        unsigned first, count;
        bool polled;
    } cases[] = {
        {0, 72, true},    {0, 73, false},   {71, 1, true},     {72, 1, false},    {100, 5, true},
        {99, 2, false},   {104, 2, false},  {500, 8, true},    {1400, 125, true}, {1500, 40, true},
        {1597, 3, false}, {1720, 78, true}, {1790, 9, false},  {6000, 18, true},  {6007, 2, true},
        {6017, 2, false}, {0, 0, false},    {65535, 1, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.first) + "+" + std::to_string(c.count));
        EXPECT_EQ(polledRange(c.first, c.count), c.polled);
    }
}

TEST(RegisterMap, WordsComeLittleEndianFromTheRecordAndWholeTo65535) {
    std::vector<std::uint8_t> record(kRecordBytes, 0);
    // Registers 6017 (the record's last register), 0 and 100.
    record[1000] = 0xff;
    record[1001] = 0xff;
    record[4] = 0x01;
    record[5] = 0x09;  // 0x0901 = 2305
    record[148] = 0x34;
    record[149] = 0x12;
    EXPECT_EQ(registersFromRecord(record.data(), 6016, 2), (std::vector<std::uint16_t>{0, 65535}));
    EXPECT_EQ(registersFromRecord(record.data(), 0, 1), (std::vector<std::uint16_t>{2305}));
    // A range over two blocks that meet.
    EXPECT_EQ(registersFromRecord(record.data(), 100, 3),
              (std::vector<std::uint16_t>{0x1234, 0, 0}));
}

}  // namespace
}  // namespace vedhost
