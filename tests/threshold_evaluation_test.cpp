// Threshold maps with hysteresis and the meter's own voltage alarms, as the
// host receives them through CheckThresholdBool.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "support/fake_host.h"
#include "ved96/ved96.h"

namespace {

class ThresholdMap : public ::testing::Test {
  protected:
    fake::Host host;
    ved96 meter;

    // One evaluation of a single-entry map against a report value.
    void evaluate(::ThresholdMap& map, bool upper, const Json::Value& value) {
        meter.jsonData_["A相电压"] = value;
        meter.CheckSignalThresholdMap(map, upper);
    }
};

struct Step {
    double value;
    bool active;
};

TEST_F(ThresholdMap, UpperLimitRaisesAtThresholdAndClearsAtRecovery) {
    ::ThresholdMap map{{"A相电压", {"up-a", 240.0f, 235.0f, false, 3}}};
    const Step steps[] = {{230, false}, {240, true}, {238, true}, {235, false}, {241, true}};
    for (const auto& step : steps) evaluate(map, true, step.value);
    const std::vector<std::string> expected = {
        "CheckThresholdBool(3,A相电压,up-a,230,,false,1)",
        "CheckThresholdBool(3,A相电压,up-a,240,当前值240高于阈值:240,true,1)",
        "CheckThresholdBool(3,A相电压,up-a,238,当前值238高于阈值:240,true,1)",
        "CheckThresholdBool(3,A相电压,up-a,235,,false,1)",
        "CheckThresholdBool(3,A相电压,up-a,241,当前值241高于阈值:240,true,1)",
    };
    EXPECT_EQ(host.services.calls, expected);
    EXPECT_TRUE(std::get<3>(map.at("A相电压")));
}

TEST_F(ThresholdMap, LowerLimitRaisesAtThresholdAndClearsAtRecovery) {
    ::ThresholdMap map{{"A相电压", {"low-a", 180.0f, 185.0f, false, 2}}};
    const Step steps[] = {{190, false}, {180, true}, {183, true}, {185, false}};
    for (const auto& step : steps) {
        SCOPED_TRACE(step.value);
        evaluate(map, false, step.value);
        EXPECT_EQ(std::get<3>(map.at("A相电压")), step.active);
    }
    const std::vector<std::string> expected = {
        "CheckThresholdBool(2,A相电压,low-a,190,,false,1)",
        "CheckThresholdBool(2,A相电压,low-a,180,当前值180低于阈值:180,true,1)",
        "CheckThresholdBool(2,A相电压,low-a,183,当前值183低于阈值:180,true,1)",
        "CheckThresholdBool(2,A相电压,low-a,185,,false,1)",
    };
    EXPECT_EQ(host.services.calls, expected);
}

TEST_F(ThresholdMap, MembersWithoutANumberAreSkippedWithoutAStateChange) {
    ::ThresholdMap map{{"A相电压", {"up-a", 0.0f, 0.0f, true, 3}}};
    const Json::Value notNumbers[] = {Json::Value("3P4W"), Json::Value(true), Json::Value()};
    for (const auto& value : notNumbers) evaluate(map, true, value);
    ::ThresholdMap missing{{"不存在的信号", {"x", 0.0f, 0.0f, true, 3}}};
    meter.CheckSignalThresholdMap(missing, true);
    EXPECT_TRUE(host.services.calls.empty());
    EXPECT_TRUE(std::get<3>(map.at("A相电压")));
}

// Known answers of C's "%.9g" for the float nearest each value, and the
// texts Boost gives not-a-number and infinity; the edges of the exponent
// form, of rounding to nine digits and of the float range.
TEST(NumberText, AsTheHostShowsFloats) {
    using limits = std::numeric_limits<float>;
    const struct {
        float value;
        const char* text;
    } cases[] = {
        {240.0f, "240"},
        {220.1f, "220.100006"},
        {1e10f, "1e+10"},
        {0.5f, "0.5"},
        {-3.25f, "-3.25"},
        {0.0f, "0"},
        {-0.0f, "-0"},
        {0.1f, "0.100000001"},
        {1e-4f, "9.99999975e-05"},
        {1e-5f, "9.99999975e-06"},
        {1e8f, "100000000"},
        {1e9f, "1e+09"},
        {123456789.0f, "123456792"},
        {limits::denorm_min(), "1.40129846e-45"},
        {-limits::denorm_min(), "-1.40129846e-45"},
        {std::nextafter(limits::min(), 0.0f), "1.17549421e-38"},  // largest denormal
        {limits::min(), "1.17549435e-38"},
        {limits::max(), "3.40282347e+38"},
        {limits::lowest(), "-3.40282347e+38"},
        {limits::quiet_NaN(), "nan"},
        {-limits::quiet_NaN(), "-nan"},
        {limits::signaling_NaN(), "nan"},
        {limits::infinity(), "inf"},
        {-limits::infinity(), "-inf"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(unidata::numberText(c.value), c.text);
    }
}

TEST_F(ThresholdMap, MessageUsesTheNumberTexts) {
    ::ThresholdMap map{{"A相电压", {"up-a", 220.1f, 200.0f, false, 1}}};
    evaluate(map, true, 1e10);
    EXPECT_EQ(host.services.calls.at(0),
              "CheckThresholdBool(1,A相电压,up-a,1e+10,当前值1e+10高于阈值:220.100006,true,1)");
}

// The meter's voltage alarm bits, forwarded at each round end.
class MeterAlarms : public ::testing::Test {
  protected:
    fake::Host host;
    ved96 meter;

    std::vector<std::string> forwardedInOneRound() {
        meter.alarmSerial_ = 40;  // left over from an earlier round
        testing::internal::CaptureStdout();
        meter.RoundDone();
        testing::internal::GetCapturedStdout();
        return host.services.only("CheckThresholdBool");
    }
};

TEST_F(MeterAlarms, SixMappedAlarmsCarrySerialsOneToSix) {
    meter.data_.limit_alarm_status = 0x2A | 0xFFC0;  // B, C and A under; other bits set
    meter.alarmSignalIdMap_ = {
        {"A相过压告警", "s1"}, {"A相欠压告警", "s2"}, {"B相过压告警", "s3"},
        {"B相欠压告警", "s4"}, {"C相过压告警", "s5"}, {"C相欠压告警", "s6"},
    };
    const std::vector<std::string> expected = {
        "CheckThresholdBool(2,s1,s1,A相过压告警,A相过压告警,false,1)",
        "CheckThresholdBool(2,s2,s2,A相欠压告警,A相欠压告警,true,2)",
        "CheckThresholdBool(2,s3,s3,B相过压告警,B相过压告警,false,3)",
        "CheckThresholdBool(2,s4,s4,B相欠压告警,B相欠压告警,true,4)",
        "CheckThresholdBool(2,s5,s5,C相过压告警,C相过压告警,false,5)",
        "CheckThresholdBool(2,s6,s6,C相欠压告警,C相欠压告警,true,6)",
    };
    EXPECT_EQ(forwardedInOneRound(), expected);
    EXPECT_EQ(meter.alarmSerial_, 7);
}

TEST_F(MeterAlarms, OnlyMappedAlarmsUseASerial) {
    meter.data_.limit_alarm_status = 1u << 3;
    meter.alarmSignalIdMap_ = {{"B相欠压告警", "s4"}, {"A相过压告警", ""}};
    EXPECT_EQ(
        forwardedInOneRound(),
        std::vector<std::string>{"CheckThresholdBool(2,s4,s4,B相欠压告警,B相欠压告警,true,1)"});
}

TEST_F(MeterAlarms, NoneOutsideTheFileScheme) {
    meter.b_mode_ = 5;
    meter.data_.limit_alarm_status = 0x3F;
    meter.alarmSignalIdMap_ = {{"A相过压告警", "s1"}, {"B相欠压告警", "s4"}};
    EXPECT_TRUE(forwardedInOneRound().empty());
}

}  // namespace
