// The JSON report built from the meter record. Every expected key, record
// field and text here is written by hand from the meter's signal list and
// register map; none is taken from the plug-in's own tables.
#include <gtest/gtest.h>
#include <json/value.h>
#include <json/writer.h>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "ved96/ved96.h"

namespace {

using boost::posix_time::ptime;
using boost::posix_time::seconds;
using boost::posix_time::time_from_string;

#define AT(field) offsetof(ved96_Data_t, field)

void put(ved96_Data_t& record, std::size_t offset, std::uint16_t value) {
    std::memcpy(reinterpret_cast<unsigned char*>(&record) + offset, &value, sizeof value);
}

// A meter whose report is built for a new round at every build().
class Report : public ::testing::Test {
  protected:
    ved96 meter;
    ptime round = time_from_string("2024-03-07 09:05:02");

    const Json::Value& build() {
        round += seconds(1);
        meter.roundTime_ = round;
        meter.GenJsonData();
        return meter.jsonData_;
    }
    const Json::Value& report() const { return meter.jsonData_; }
};

// ---- The harmonic keys and their registers, from the key pattern ---------

struct HarmonicKey {
    std::string key;
    bool voltage;
    bool high;  // in the H19..H31 block
    int element;
};

// Current then voltage; THD, TOHD, TEHD, H2..H31; phases A, B, C.
std::vector<HarmonicKey> harmonicKeys() {
    std::vector<HarmonicKey> keys;
    const char* phases[] = {"A", "B", "C"};
    for (bool voltage : {false, true}) {
        const std::string quantity = voltage ? "电压" : "电流";
        auto add = [&](const std::string& item, bool high, int first) {
            for (int p = 0; p < 3; ++p)
                keys.push_back(
                    {phases[p] + std::string("相") + quantity + item, voltage, high, first + p});
        };
        add("THD", false, 0);
        add("TOHD", false, 3);
        add("TEHD", false, 6);
        for (int n = 2; n <= 18; ++n) add("H" + std::to_string(n), false, 9 + 3 * (n - 2));
        for (int n = 19; n <= 31; ++n) add("H" + std::to_string(n), true, 3 * (n - 19));
    }
    return keys;
}

// ---- Key set and value types ----------------------------------------------

// The text members and the text a zero record gives them; "AlertArray" is the
// nested object of alarm booleans.
struct Member {
    const char* key;
    const char* zeroText;
};

const Member kMembers[] = {
    {"A相过压告警", "正常"},
    {"A相欠压告警", "正常"},
    {"B相过压告警", "正常"},
    {"B相欠压告警", "正常"},
    {"C相过压告警", "正常"},
    {"C相欠压告警", "正常"},
    {"DI1", "断开"},
    {"DI2", "断开"},
    {"DI3", "断开"},
    {"DI4", "断开"},
    {"DO1", "返回"},
    {"DO2", "返回"},
    {"接线方式", "DEMO"},
    {"功率因数算法", "IEC"},
    {"视在功率算法", "矢量法"},
    {"A相电流方向设置", "正向"},
    {"B相电流方向设置", "正向"},
    {"C相电流方向设置", "正向"},
    {"电能脉冲常数", "5000"},
    {"接点脉冲类型", "无脉冲"},
    {"谐波算法", "THDf"},
    {"遥控预置", "退出"},
    {"更新时间", "0-0-0 0:0:0"},
    {"AlertArray", nullptr},
};

const char* const kAlarmKeys[] = {"A相过压告警", "A相欠压告警", "B相过压告警",
                                  "B相欠压告警", "C相过压告警", "C相欠压告警"};

// ---- Numeric values --------------------------------------------------------

struct NumericCase {
    const char* key;
    std::size_t offset;
    std::uint16_t raw;
    double expected;
};

// Each signal reads its own register: every field holds a different value.
// Energies are tenths, so they hold multiples of ten here.
const NumericCase kEachSignalItsRegister[] = {
    {"A相电压", AT(phase_voltage_a), 1, 1},
    {"B相电压", AT(phase_voltage_b), 2, 2},
    {"C相电压", AT(phase_voltage_c), 3, 3},
    {"平均相电压", AT(phase_voltage_avg), 4, 4},
    {"AB线电压", AT(line_voltage_ab), 5, 5},
    {"BC线电压", AT(line_voltage_bc), 6, 6},
    {"CA线电压", AT(line_voltage_ca), 7, 7},
    {"平均线电压", AT(line_voltage_avg), 8, 8},
    {"A相电流", AT(current_a), 9, 9},
    {"B相电流", AT(current_b), 10, 10},
    {"C相电流", AT(current_c), 11, 11},
    {"平均相电流", AT(current_avg), 12, 12},
    {"A相有功功率", AT(active_power_a), 13, 13},
    {"B相有功功率", AT(active_power_b), 14, 14},
    {"C相有功功率", AT(active_power_c), 15, 15},
    {"总有功功率", AT(active_power_total), 16, 16},
    {"A相无功功率", AT(reactive_power_a), 17, 17},
    {"B相无功功率", AT(reactive_power_b), 18, 18},
    {"C相无功功率", AT(reactive_power_c), 19, 19},
    {"总无功功率", AT(reactive_power_total), 20, 20},
    {"A相视在功率", AT(apparent_power_a), 21, 21},
    {"B相视在功率", AT(apparent_power_b), 22, 22},
    {"C相视在功率", AT(apparent_power_c), 23, 23},
    {"总视在功率", AT(apparent_power_total), 24, 24},
    {"A相功率因数", AT(power_factor_a), 25, 25},
    {"B相功率因数", AT(power_factor_b), 26, 26},
    {"C相功率因数", AT(power_factor_c), 27, 27},
    {"总功率因数", AT(power_factor_total), 28, 28},
    {"频率", AT(frequency), 29, 29},
    {"A/AB电压相角", AT(voltage_angle_a), 30, 30},
    {"B/BC电压相角", AT(voltage_angle_b), 31, 31},
    {"C/CA电压相角", AT(voltage_angle_c), 32, 32},
    {"A相电流相角", AT(current_angle_a), 33, 33},
    {"B相电流相角", AT(current_angle_b), 34, 34},
    {"C相电流相角", AT(current_angle_c), 35, 35},
    {"计算中性线电流", AT(neutral_current_calc), 36, 36},
    {"SOE指针总数", AT(soe_pointer_total), 101, 101},
    {"越限报警状态", AT(limit_alarm_status), 103, 103},
    {"DI状态", AT(di_status), 104, 104},
    {"DO状态", AT(do_status), 105, 105},
    {"正向有功电能", AT(energy_fwd_active), 5010, 501},
    {"反向有功电能", AT(energy_rev_active), 5020, 502},
    {"正向无功电能", AT(energy_fwd_reactive), 5030, 503},
    {"反向无功电能", AT(energy_rev_reactive), 5040, 504},
    {"电压一次侧额定值", AT(voltage_primary_rated), 6001, 6001},
    {"电压二次侧额定值", AT(voltage_secondary_rated), 6002, 6002},
    {"电流一次侧额定值", AT(current_primary_rated), 6003, 6003},
    {"电流二次侧额定值", AT(current_secondary_rated), 6004, 6004},
};

TEST_F(Report, EachNumericSignalReadsItsOwnRegister) {
    for (const NumericCase& c : kEachSignalItsRegister) put(meter.data_, c.offset, c.raw);
    build();
    for (const NumericCase& c : kEachSignalItsRegister) {
        SCOPED_TRACE(c.key);
        EXPECT_EQ(report()[c.key].type(), Json::realValue);
        EXPECT_EQ(report()[c.key].asDouble(), c.expected);
    }
}

TEST_F(Report, ZeroRecordGivesExactlyTheReportMembersWithTheirTypes) {
    build();
    std::set<std::string> expected;
    for (const NumericCase& c : kEachSignalItsRegister) {
        SCOPED_TRACE(c.key);
        expected.insert(c.key);
        ASSERT_TRUE(report().isMember(c.key));
        EXPECT_EQ(report()[c.key].type(), Json::realValue);
        EXPECT_EQ(report()[c.key].asDouble(), 0.0);
    }
    for (const Member& m : kMembers) {
        SCOPED_TRACE(m.key);
        expected.insert(m.key);
        ASSERT_TRUE(report().isMember(m.key));
        const Json::Value& v = report()[m.key];
        if (m.zeroText == nullptr) {
            EXPECT_EQ(v.type(), Json::objectValue);
        } else {
            EXPECT_EQ(v.type(), Json::stringValue);
            EXPECT_EQ(v.asString(), m.zeroText);
        }
    }
    for (const HarmonicKey& h : harmonicKeys()) {
        SCOPED_TRACE(h.key);
        expected.insert(h.key);
        ASSERT_TRUE(report().isMember(h.key));
        EXPECT_EQ(report()[h.key].type(), Json::realValue);
        EXPECT_EQ(report()[h.key].asDouble(), 0.0);
    }
    ASSERT_EQ(expected.size(), 270u);
    EXPECT_EQ(report().size(), 270u);
    for (const std::string& name : report().getMemberNames())
        EXPECT_EQ(expected.count(name), 1u) << "unexpected member " << name;

    const Json::Value& alerts = report()["AlertArray"];
    EXPECT_EQ(alerts.size(), 6u);
    for (const char* key : kAlarmKeys) {
        SCOPED_TRACE(key);
        ASSERT_TRUE(alerts.isMember(key));
        EXPECT_EQ(alerts[key].type(), Json::booleanValue);
        EXPECT_FALSE(alerts[key].asBool());
    }
}

// A register of 0xFFFF is unsigned: 65535, never -1; as an energy, 6553.5.
// Status bits are all set and every setting code is out of its table.
TEST_F(Report, AllOnesRecordStaysUnsigned) {
    std::memset(&meter.data_, 0xFF, sizeof meter.data_);
    build();
    for (const NumericCase& c : kEachSignalItsRegister) {
        const bool tenths = c.expected != c.raw;  // the energies
        EXPECT_EQ(report()[c.key].asDouble(), tenths ? 6553.5 : 65535.0) << c.key;
    }
    for (const HarmonicKey& h : harmonicKeys()) EXPECT_EQ(report()[h.key].asDouble(), 65535.0);
    for (const char* key : kAlarmKeys) {
        EXPECT_EQ(report()[key].asString(), "告警");
        EXPECT_TRUE(report()["AlertArray"][key].asBool());
    }
    for (const char* key : {"DI1", "DI2", "DI3", "DI4"})
        EXPECT_EQ(report()[key].asString(), "闭合");
    for (const char* key : {"DO1", "DO2"}) EXPECT_EQ(report()[key].asString(), "动作");
    for (const char* key :
         {"接线方式", "功率因数算法", "视在功率算法", "A相电流方向设置", "B相电流方向设置",
          "C相电流方向设置", "电能脉冲常数", "接点脉冲类型", "谐波算法", "遥控预置"})
        EXPECT_EQ(report()[key].asString(), "无效值") << key;
    EXPECT_EQ(report()["更新时间"].asString(), "65535-255-255 255:255:255");
}

// Energies are divided by ten in single precision and then widened, so a
// quotient that a float cannot hold exactly carries the float's rounding.
TEST_F(Report, EnergiesAreSinglePrecisionTenths) {
    struct {
        std::uint16_t raw;
        double expected;
    } const cases[] = {
        {0, 0.0},
        {1, 0.100000001490116119384765625},  // the float nearest 0.1
        {3, 0.300000011920928955078125},     // the float nearest 0.3
        {12345, 1234.5},
        {65535, 6553.5},
    };
    const std::size_t energies[] = {AT(energy_fwd_active), AT(energy_rev_active),
                                    AT(energy_fwd_reactive), AT(energy_rev_reactive)};
    const char* keys[] = {"正向有功电能", "反向有功电能", "正向无功电能", "反向无功电能"};
    for (const auto& c : cases) {
        for (std::size_t e = 0; e < 4; ++e) put(meter.data_, energies[e], c.raw);
        build();
        for (const char* key : keys) {
            SCOPED_TRACE(std::string(key) + " raw " + std::to_string(c.raw));
            EXPECT_EQ(report()[key].type(), Json::realValue);
            EXPECT_EQ(report()[key].asDouble(), c.expected);
        }
    }
}

// Registers that are polled but not part of the report: the measurement
// spares (36..71), the second SOE word (101), the energy spares (504..507),
// the rating spares (6004..6007) and the tails of the harmonic blocks.
TEST_F(Report, UnreportedRegistersChangeNothing) {
    const Json::Value before = build();
    for (int i = 0; i < 36; ++i) put(meter.data_, AT(measurement_spare) + 2 * i, 0xFFFF);
    meter.data_.soe_pointer_spare = 9;
    for (int i = 0; i < 4; ++i) {
        put(meter.data_, AT(energy_spare) + 2 * i, 0xFFFF);
        put(meter.data_, AT(rating_spare) + 2 * i, 0xFFFF);
    }
    for (int i = 60; i < 120; ++i) {
        put(meter.data_, AT(current_harmonics_low) + 2 * i, 0xFFFF);
        put(meter.data_, AT(voltage_harmonics_low) + 2 * i, 0xFFFF);
    }
    for (int i = 39; i < 78; ++i) {
        put(meter.data_, AT(current_harmonics_high) + 2 * i, 0xFFFF);
        put(meter.data_, AT(voltage_harmonics_high) + 2 * i, 0xFFFF);
    }
    meter.data_.data_id = 0xFFFFFFFF;
    EXPECT_EQ(build(), before);

    // The SOE pointer is register 100 on its own, not joined with 101.
    meter.data_.soe_pointer_total = 7;
    EXPECT_EQ(build()["SOE指针总数"].asDouble(), 7.0);
}

// ---- Harmonics ---------------------------------------------------------------

// Each harmonic array element holds a value naming its array and index:
// current low i, current high 200 + i, voltage low 1000 + i, voltage high
// 1200 + i. Elements past those reported are covered above.
TEST_F(Report, HarmonicsFollowTheIndexRule) {
    for (int i = 0; i < 120; ++i) {
        put(meter.data_, AT(current_harmonics_low) + 2 * i, static_cast<std::uint16_t>(i));
        put(meter.data_, AT(voltage_harmonics_low) + 2 * i, static_cast<std::uint16_t>(1000 + i));
    }
    for (int i = 0; i < 78; ++i) {
        put(meter.data_, AT(current_harmonics_high) + 2 * i, static_cast<std::uint16_t>(200 + i));
        put(meter.data_, AT(voltage_harmonics_high) + 2 * i, static_cast<std::uint16_t>(1200 + i));
    }
    build();
    const struct {
        const char* key;
        double expected;
    } telling[] = {
        {"A相电流THD", 0},          // current low 0, register 1400
        {"C相电流TEHD", 8},         // current low 8, register 1408
        {"A相电流H2", 9},           // current low 9, register 1409
        {"C相电流H18", 59},         // current low 59, register 1459
        {"A相电流H19", 200 + 0},    // current high 0, register 1520
        {"C相电流H31", 200 + 38},   // current high 38, register 1558
        {"A相电压THD", 1000 + 0},   // voltage low 0, register 1600
        {"B相电压TOHD", 1000 + 4},  // voltage low 4, register 1604
        {"A相电压H2", 1000 + 9},    // voltage low 9, register 1609
        {"C相电压H18", 1000 + 59},  // voltage low 59, register 1659
        {"A相电压H19", 1200 + 0},   // voltage high 0, register 1720
        {"C相电压H31", 1200 + 38},  // voltage high 38, register 1758
    };
    for (const auto& c : telling) EXPECT_EQ(report()[c.key].asDouble(), c.expected) << c.key;
    for (const HarmonicKey& h : harmonicKeys()) {
        const double expected = (h.voltage ? 1000 : 0) + (h.high ? 200 : 0) + h.element;
        EXPECT_EQ(report()[h.key].asDouble(), expected) << h.key;
    }
    // No padded order numbers, no fundamental, nothing above order 31.
    for (const char* key : {"A相电流H02", "A相电流H1", "A相电流H32", "A相电压H1", "C相电压H32"})
        EXPECT_FALSE(report().isMember(key)) << key;
}

// ---- Status bits ---------------------------------------------------------------

TEST_F(Report, VoltageAlarmBitsGiveTextsAndAlertArrayBooleans) {
    const struct {
        std::uint16_t word;
        bool alarm[6];  // A over, A under, B over, B under, C over, C under
    } cases[] = {
        {0x0000, {false, false, false, false, false, false}},
        {0x0021, {true, false, false, false, false, true}},
        {0x0012, {false, true, false, false, true, false}},
        {0x000C, {false, false, true, true, false, false}},
        {0x003F, {true, true, true, true, true, true}},
        {0xFFC0, {false, false, false, false, false, false}},  // bits 6..15 ignored
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.word);
        meter.data_.limit_alarm_status = c.word;
        build();
        EXPECT_EQ(report()["越限报警状态"].asDouble(), c.word);
        const Json::Value& alerts = report()["AlertArray"];
        EXPECT_EQ(alerts.size(), 6u);
        for (int bit = 0; bit < 6; ++bit) {
            SCOPED_TRACE(kAlarmKeys[bit]);
            EXPECT_EQ(report()[kAlarmKeys[bit]].asString(), c.alarm[bit] ? "告警" : "正常");
            EXPECT_EQ(alerts[kAlarmKeys[bit]], Json::Value(c.alarm[bit]));
        }
    }
}

TEST_F(Report, InputAndOutputBitsGiveTheirTexts) {
    const struct {
        std::uint16_t di;
        std::uint16_t dout;
        const char* texts[6];  // DI1..DI4, DO1, DO2
    } cases[] = {
        {0x0005, 0x0002, {"闭合", "断开", "闭合", "断开", "返回", "动作"}},
        {0x000A, 0x0001, {"断开", "闭合", "断开", "闭合", "动作", "返回"}},
        {0xFFF0, 0xFFFC, {"断开", "断开", "断开", "断开", "返回", "返回"}},  // high bits ignored
        {0x000F, 0x0003, {"闭合", "闭合", "闭合", "闭合", "动作", "动作"}},
    };
    const char* keys[] = {"DI1", "DI2", "DI3", "DI4", "DO1", "DO2"};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.di) + "/" + std::to_string(c.dout));
        meter.data_.di_status = c.di;
        meter.data_.do_status = c.dout;
        build();
        EXPECT_EQ(report()["DI状态"].asDouble(), c.di);
        EXPECT_EQ(report()["DO状态"].asDouble(), c.dout);
        for (int i = 0; i < 6; ++i) EXPECT_EQ(report()[keys[i]].asString(), c.texts[i]) << keys[i];
    }
}

// ---- Settings -----------------------------------------------------------------

// Each setting's texts by code, from 0; the next code and 256 (0 in its low
// byte) are out of the table.
const struct {
    const char* key;
    std::size_t offset;
    std::vector<const char*> texts;
} kSettingCases[] = {
    {"接线方式", AT(wiring_mode), {"DEMO", "3P4W", "3P3W"}},
    {"功率因数算法", AT(pf_algorithm), {"IEC", "IEEE", "-IEEE"}},
    {"视在功率算法", AT(apparent_power_algorithm), {"矢量法", "标量法"}},
    {"A相电流方向设置", AT(current_direction_a), {"正向", "反向"}},
    {"B相电流方向设置", AT(current_direction_b), {"正向", "反向"}},
    {"C相电流方向设置", AT(current_direction_c), {"正向", "反向"}},
    {"电能脉冲常数", AT(pulse_constant), {"5000", "25000"}},
    {"接点脉冲类型",
     AT(contact_pulse_type),
     {"无脉冲", "正向有功电能脉冲", "反向有功电能脉冲", "正向无功电能脉冲", "反向无功电能脉冲"}},
    {"谐波算法", AT(harmonic_algorithm), {"THDf", "THDr"}},
    {"遥控预置", AT(remote_control_preset), {"退出", "使能"}},
};

TEST_F(Report, SettingCodesGiveTheirTexts) {
    for (const auto& c : kSettingCases) {
        std::vector<std::pair<std::uint16_t, std::string>> codes;
        for (std::size_t code = 0; code < c.texts.size(); ++code)
            codes.emplace_back(static_cast<std::uint16_t>(code), c.texts[code]);
        for (std::uint16_t invalid :
             {static_cast<std::uint16_t>(c.texts.size()), std::uint16_t{256}, std::uint16_t{65535}})
            codes.emplace_back(invalid, "无效值");
        for (const auto& [code, text] : codes) {
            SCOPED_TRACE(std::string(c.key) + " code " + std::to_string(code));
            put(meter.data_, c.offset, code);
            build();
            EXPECT_EQ(report()[c.key].type(), Json::stringValue);
            EXPECT_EQ(report()[c.key].asString(), text);
        }
        put(meter.data_, c.offset, 0);
    }
}

// ---- Update time ----------------------------------------------------------------

TEST_F(Report, UpdateTimeIsUnpaddedDecimal) {
    const struct {
        ttime time;
        const char* text;
    } cases[] = {
        {{2024, 3, 7, 9, 5, 2}, "2024-3-7 9:5:2"},
        {{2024, 12, 31, 23, 59, 9}, "2024-12-31 23:59:9"},
        {{0, 0, 0, 0, 0, 0}, "0-0-0 0:0:0"},
        {{1999, 10, 10, 10, 10, 10}, "1999-10-10 10:10:10"},
        {{65535, 255, 255, 255, 255, 255}, "65535-255-255 255:255:255"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        meter.data_.update_time = c.time;
        build();
        EXPECT_EQ(report()["更新时间"].type(), Json::stringValue);
        EXPECT_EQ(report()["更新时间"].asString(), c.text);
    }
}

// ---- Once per round -------------------------------------------------------------

TEST_F(Report, SameRoundKeepsTheReportEvenAfterTheRecordChanged) {
    meter.data_.phase_voltage_a = 2200;
    const Json::Value first = build();
    meter.data_.phase_voltage_a = 2300;
    meter.data_.wiring_mode = 1;
    meter.data_.update_time = ttime{2024, 3, 7, 9, 5, 3};
    meter.GenJsonData();  // roundTime_ unchanged
    EXPECT_EQ(report(), first);
    EXPECT_EQ(meter.reportTime_, meter.roundTime_);

    build();
    EXPECT_EQ(report()["A相电压"].asDouble(), 2300.0);
    EXPECT_EQ(report()["接线方式"].asString(), "3P4W");
    EXPECT_EQ(report()["更新时间"].asString(), "2024-3-7 9:5:3");
}

TEST_F(Report, NoRoundYetLeavesTheReportNull) {
    meter.GenJsonData();
    EXPECT_TRUE(report().isNull());
}

TEST_F(Report, MembersAddedByOthersSurviveARebuild) {
    build();
    meter.jsonData_["未配置信号"];  // a configured key the report lacks reads as null
    meter.jsonData_["外部"] = "kept";
    meter.data_.current_a = 50;
    build();
    EXPECT_EQ(report().size(), 272u);
    EXPECT_TRUE(report().isMember("未配置信号"));
    EXPECT_TRUE(report()["未配置信号"].isNull());
    EXPECT_EQ(report()["外部"].asString(), "kept");
    EXPECT_EQ(report()["A相电流"].asDouble(), 50.0);
    EXPECT_EQ(report()["AlertArray"].size(), 6u);
}

// ---- A document the host changed ------------------------------------------------

// The host holds the document's address (code 803) and may change it between
// rounds. Whatever it did, the next build gives every report member this
// round's value, byte for byte as a first build of the same record does, and
// keeps the members the host added.
TEST_F(Report, DocumentChangedByTheHostIsRebuiltWhole) {
    const struct {
        const char* change;
        void (*apply)(Json::Value& document);
        bool addsMembers;  // the same members are expected in the result
    } cases[] = {
        {"nothing", [](Json::Value&) {}, false},
        {"member removed", [](Json::Value& d) { d.removeMember("A相电压"); }, false},
        {"first and last removed",
         [](Json::Value& d) {
             d.removeMember("A/AB电压相角");
             d.removeMember("频率");
         },
         false},
        {"alert removed", [](Json::Value& d) { d["AlertArray"].removeMember("C相欠压告警"); },
         false},
        {"AlertArray removed", [](Json::Value& d) { d.removeMember("AlertArray"); }, false},
        {"member inserted again under a copied key",
         [](Json::Value& d) {
             d.removeMember("DI1");
             d[std::string("DI1")] = 7;
         },
         false},
        {"values of other types",
         [](Json::Value& d) {
             d["A相电压"] = "text";
             d["接线方式"] = 3.5;
             d["AlertArray"]["A相过压告警"] = Json::Value(Json::arrayValue);
         },
         false},
        {"document emptied", [](Json::Value& d) { d = Json::Value(); }, false},
        {"document copied", [](Json::Value& d) { d = Json::Value(Json::Value(d)); }, false},
        {"members added around and between",
         [](Json::Value& d) {
             d[""] = 1;
             d["A"] = 2;
             d["DI1a"] = 3;
             d["\xff"] = 4;
             d["AlertArray"]["B"] = 5;
         },
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.change);
        ved96 host;  // the record as the host sees a first build of it
        auto fill = [](ved96_Data_t& record, unsigned seed) {
            auto* bytes = reinterpret_cast<unsigned char*>(&record);
            for (std::size_t i = 0; i < sizeof record; ++i)
                bytes[i] = static_cast<unsigned char>(i * 7 + seed);
            record.wiring_mode = static_cast<std::uint16_t>(seed % 4);
        };
        fill(meter.data_, 1);
        build();
        c.apply(meter.jsonData_);
        fill(meter.data_, 2);
        build();

        fill(host.data_, 2);
        host.roundTime_ = round;
        host.GenJsonData();
        if (c.addsMembers) c.apply(host.jsonData_);
        Json::FastWriter writer;
        EXPECT_EQ(writer.write(report()), writer.write(host.jsonData_));
    }
}

}  // namespace
