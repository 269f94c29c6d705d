// The simulated meter's register image: which registers it serves, its
// voltage alarms, its live values and its fixed images.
#include <gtest/gtest.h>

#include <cmath>

#include "meter_model.h"

namespace vedsim {
namespace {

// Served blocks from the meter's register map: 0-71, 100-101, 102-104,
// 500-507, 1400-1519, 1520-1597, 1600-1719, 1720-1797, 6000-6007, 6008-6017.
TEST(SimRegisterMap, ServedAndWritableEdges) {
    struct Row {
        unsigned reg;
        bool served;
        bool writable;
    };
    const Row rows[] = {
        {0, true, false},     {71, true, false},     {72, false, false},   {99, false, false},
        {100, true, false},   {104, true, false},    {105, false, false},  {499, false, false},
        {500, true, false},   {507, true, false},    {508, false, false},  {1399, false, false},
        {1400, true, false},  {1597, true, false},   {1598, false, false}, {1599, false, false},
        {1600, true, false},  {1797, true, false},   {1798, false, false}, {5999, false, false},
        {6000, true, true},   {6007, true, true},    {6008, true, true},   {6017, true, true},
        {6018, false, false}, {65535, false, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.reg);
        EXPECT_EQ(is_served(row.reg), row.served);
        EXPECT_EQ(is_writable(row.reg), row.writable);
    }
}

TEST(SimRegisterMap, RangesMustLieWhollyInServedRegisters) {
    const MeterModel m = MeterModel::fixed({});
    struct Row {
        unsigned first, count;
        bool readable, writable;
    };
    const Row rows[] = {
        {0, 72, true, false},    {0, 73, false, false},    {100, 5, true, false},
        {99, 2, false, false},   {1400, 120, true, false}, {1500, 100, false, false},
        {6000, 18, true, true},  {5999, 2, false, false},  {6017, 1, true, true},
        {6017, 2, false, false}, {6008, 0, false, false},  {65535, 2, false, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.first << "+" << row.count);
        EXPECT_EQ(m.readable(row.first, row.count), row.readable);
        EXPECT_EQ(m.writable(row.first, row.count), row.writable);
    }
}

// Band 207.0 - 253.0 V in 0.1 V: 2530 and 2070 are still normal.
TEST(SimVoltageAlarms, BitsAtAndAcrossTheBand) {
    struct Row {
        std::array<uint16_t, 3> volts;
        uint16_t bits;
    };
    const Row rows[] = {
        {{2300, 2300, 2300}, 0x00}, {{2530, 2070, 2530}, 0x00}, {{2531, 2300, 2300}, 0x01},
        {{2069, 2300, 2300}, 0x02}, {{2300, 2531, 2300}, 0x04}, {{2300, 2069, 2300}, 0x08},
        {{2300, 2300, 2531}, 0x10}, {{2300, 2300, 2069}, 0x20}, {{0, 65535, 0}, 0x26},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message()
                     << row.volts[0] << "," << row.volts[1] << "," << row.volts[2]);
        EXPECT_EQ(voltage_alarm_bits(row.volts), row.bits);
    }
}

// Samples the live meter for four minutes at half-second steps.
TEST(SimLiveMeter, ValuesStayPlausibleAndAlarmsFollowTheVoltages) {
    MeterModel m = MeterModel::live();
    uint16_t seen_alarms = 0;
    uint16_t last_energy = m.get(500);
    for (double t = 0.5; t <= 240.0; t += 0.5) {
        m.advance_to(t);
        SCOPED_TRACE(t);
        for (unsigned p = 0; p < 3; ++p) {
            EXPECT_GT(m.get(p), 1900);  // phase voltage, 0.1 V
            EXPECT_LT(m.get(p), 2700);
            EXPECT_GT(m.get(8 + p), 10000);  // current, mA
            EXPECT_LT(m.get(8 + p), 30000);
            EXPECT_GE(m.get(24 + p), 900);  // power factor x1000
            EXPECT_LE(m.get(24 + p), 1000);
            EXPECT_LT(m.get(29 + p), 3600);  // angles, 0.1 degree
            EXPECT_LT(m.get(32 + p), 3600);
            // Active power is V x I x PF, within rounding of the raw values.
            const double p_w = m.get(p) * 0.1 * m.get(8 + p) * 0.001 * m.get(24 + p) * 0.001;
            EXPECT_NEAR(m.get(12 + p), p_w, p_w * 0.002 + 2);
        }
        EXPECT_GE(m.get(28), 4990);  // 0.01 Hz
        EXPECT_LE(m.get(28), 5010);
        const uint16_t alarms = m.get(102);
        EXPECT_EQ(alarms, voltage_alarm_bits({m.get(0), m.get(1), m.get(2)}));
        EXPECT_EQ(m.get(104) & 1, alarms ? 1 : 0);  // DO1 is the alarm relay
        EXPECT_EQ(m.get(103) & 1, 1);               // DI1: breaker closed
        seen_alarms |= alarms;
        EXPECT_GE(m.get(500), last_energy);  // counts up (no wrap from the start value)
        last_energy = m.get(500);
    }
    EXPECT_EQ(seen_alarms, 0x3F) << "each of the six alarms occurs within two minutes";
    EXPECT_GT(m.get(500), 12345 + 5) << "forward active energy counted up";
    EXPECT_GT(m.get(100), 6) << "alarm and input changes are logged as events";
}

TEST(SimLiveMeter, HarmonicTotalsAgreeWithTheirParts) {
    MeterModel m = MeterModel::live();
    m.advance_to(33.0);
    for (unsigned low : {1400u, 1600u}) {
        const unsigned high = low + 120;
        for (unsigned p = 0; p < 3; ++p) {
            SCOPED_TRACE(testing::Message() << low << " phase " << p);
            double odd = 0, even = 0;
            for (unsigned n = 2; n <= 31; ++n) {
                const unsigned reg = n <= 18 ? low + 9 + 3 * (n - 2) + p : high + 3 * (n - 19) + p;
                const double h = m.get(reg);
                EXPECT_GT(h, 0);
                (n % 2 ? odd : even) += h * h;
            }
            EXPECT_NEAR(m.get(low + 3 + p), std::sqrt(odd), 3);
            EXPECT_NEAR(m.get(low + 6 + p), std::sqrt(even), 3);
            EXPECT_NEAR(m.get(low + p), std::sqrt(odd + even), 3);
            EXPECT_GT(m.get(low + p), m.get(low + 6 + p)) << "odd orders dominate";
        }
        EXPECT_EQ(m.get(low + 60), 0) << "unused part of the block stays 0";
    }
    EXPECT_GT(m.get(1400), m.get(1600)) << "current more distorted than voltage";
}

TEST(SimLiveMeter, WrittenSettingsSurviveUpdatesAndFactoryDefaultsAreValid) {
    MeterModel m = MeterModel::live();
    EXPECT_EQ(m.get(6008), 1);  // 3P4W
    EXPECT_EQ(m.get(6002), 100);
    EXPECT_EQ(m.get(6003), 5);
    m.write(6008, {2});
    m.write(6014, {1, 4, 1, 1});
    m.advance_to(10.0);
    m.advance_to(70.0);
    EXPECT_EQ(m.get(6008), 2);
    EXPECT_EQ(m.get(6014), 1);
    EXPECT_EQ(m.get(6015), 4);
    EXPECT_EQ(m.get(6017), 1);
}

TEST(SimLiveMeter, TheEnergyRegisterWrapsFromItsStartValue) {
    // About 15 kW: 0.1 kWh every 24 s or so; from 65530 six counts wrap it.
    MeterModel m = MeterModel::live(65530);
    EXPECT_EQ(m.get(500), 65530);
    m.advance_to(600.0);
    EXPECT_GT(m.get(500), 0);
    EXPECT_LT(m.get(500), 100);
    EXPECT_GT(m.get(15), 10000) << "power flows through the wrap";
}

TEST(SimLiveMeter, GoingBackInTimeChangesNothing) {
    MeterModel m = MeterModel::live();
    m.advance_to(100.0);
    const std::vector<uint16_t> before = m.registers();
    m.advance_to(50.0);
    EXPECT_EQ(m.registers(), before);
}

TEST(SimFixedImage, ServesTheImageUnchanged) {
    MeterModel m = MeterModel::fixed({{0, 2301}, {102, 0x21}, {6008, 2}, {1797, 65535}});
    m.advance_to(42.0);
    EXPECT_EQ(m.get(0), 2301);
    EXPECT_EQ(m.get(102), 0x21);
    EXPECT_EQ(m.get(6008), 2);
    EXPECT_EQ(m.get(1797), 65535);
    EXPECT_EQ(m.get(1), 0) << "registers not listed read 0";
    EXPECT_EQ(m.get(500), 0);
}

TEST(SimFixedImage, ParsesValidImagesAndRejectsBadOnes) {
    struct Row {
        const char* text;
        bool ok;
    };
    const Row rows[] = {
        {R"({})", true},
        {R"({"0": 2300, "6017": 1, "1797": 65535, "102": 0})", true},
        {R"({"0": 2300,})", false},      // not JSON
        {R"([1, 2])", false},            // not an object
        {R"({"72": 1})", false},         // gap between blocks
        {R"({"6018": 1})", false},       // past the last block
        {R"({"-1": 1})", false},         // not a register number
        {R"({"0x10": 1})", false},       // not decimal
        {R"({"100000": 1})", false},     // out of range
        {R"({"0": 65536})", false},      // too big for a register
        {R"({"0": -1})", false},         // negative
        {R"({"0": 1.5})", false},        // not an integer
        {R"({"0": "230"})", false},      // text
        {R"({"0": 1, "0": 2})", false},  // the same register twice
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        std::map<uint16_t, uint16_t> image;
        std::string error;
        EXPECT_EQ(parse_register_image(row.text, image, error), row.ok) << error;
        EXPECT_EQ(error.empty(), row.ok);
    }
    std::map<uint16_t, uint16_t> image;
    std::string error;
    ASSERT_TRUE(parse_register_image(R"({"1797": 65535, "00100": 7})", image, error));
    EXPECT_EQ(image.at(1797), 65535);
    EXPECT_EQ(image.at(100), 7);
}

}  // namespace
}  // namespace vedsim
