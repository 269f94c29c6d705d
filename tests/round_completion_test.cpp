// End of a polling round against the recording host, in each configuration
// scheme: what the host is handed, in which order, and with which arguments.
#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "support/fake_host.h"
#include "ved96/ved96.h"

namespace {

std::time_t g_now = 1700000000;  // 2023-11-14, clear of any clock change
std::time_t fixedClock() { return g_now; }

// Signal ids as the configuration file writes them; alarm ids are the same
// with '6' at index 3 and '1' at index 8.
const std::string kVoltageSignal = "00100000001";
const std::string kVoltageAlarm = "00160000101";
const std::string kCurrentSignal = "00200000002";
const std::string kCurrentAlarm = "00260000102";

class RoundCompletion : public ::testing::Test {
  protected:
    fake::Host host;
    ved96 meter;

    RoundCompletion() { meter.timeSource_ = fixedClock; }

    // One polling round through the host's loop; returns the console output.
    std::string pollRound() {
        g_now += 10;  // a new round time, so the report is rebuilt
        testing::internal::CaptureStdout();
        meter.RefreshStatus();
        host::pump(meter);
        return testing::internal::GetCapturedStdout();
    }
    const std::vector<std::string>& calls() const { return host.services.calls; }
};

TEST_F(RoundCompletion, FileSchemeChecksEachConfiguredSignalInKeyOrder) {
    host.meter.registers[0] = 230;   // phase A voltage
    host.meter.registers[9] = 5;     // phase B current
    host.meter.registers[102] = 1;   // phase A over-voltage
    host.meter.registers[6008] = 1;  // wiring mode 3P4W
    meter.b_mode_ = 1;
    meter.aiSignalMap_ = {
        {"B相电流", {kCurrentSignal, "B相电流"}},          {"A相电压", {kVoltageSignal, "A相电压"}},
        {"接线方式", {"00300000003", "接线方式"}},        // a text: no analog value
        {"AlertArray", {"00400000004", "AlertArray"}},    // an object
        {"A相过压告警", {"00500000005", "A相过压告警"}},  // a text
        {"不存在的信号", {"00600000006", "不存在的信号"}},
    };
    meter.alarmSignalIdMap_ = {{"A相过压告警", "00700000007"}};
    // Configured under the alarm id only: reported under the signal id.
    SMDVDevice::BAOSetting onChange;
    onChange.absEnable = true;
    onChange.absDelta = 1;
    meter.aoSettingMap_[kVoltageAlarm] = onChange;

    const std::string console = pollRound();

    const std::vector<std::string> expected = {
        "SendSP(5156,1009,false)",
        "Reset",
        "CheckThresholdBool(2,00700000007,00700000007,A相过压告警,A相过压告警,true,1)",
        "CheckThreshold(" + kVoltageAlarm + ",A相电压,230,1)",
        "CheckAOReport(" + kVoltageSignal + ",230)",
        "CheckThreshold(" + kCurrentAlarm + ",B相电流,5,1)",
        "DoBatchCheckThreshold(0)",
        "SaveDeviceHistory(1009)",
    };
    EXPECT_EQ(calls(), expected);
    EXPECT_EQ(console, "rvSize is 0\n");
    EXPECT_TRUE(meter.aoSettingMap_.count(kVoltageSignal));
    // The missing key is left in the report as null; the text stays a text.
    ASSERT_TRUE(meter.jsonData_.isMember("不存在的信号"));
    EXPECT_TRUE(meter.jsonData_["不存在的信号"].isNull());
    EXPECT_EQ(meter.jsonData_["接线方式"].asString(), "3P4W");
}

TEST_F(RoundCompletion, ThresholdSchemeEvaluatesUpUp2LowLow2) {
    host.meter.registers[0] = 250;
    host.meter.registers[9] = 5;
    meter.b_mode_ = 5;
    meter.upThresholdMap_ = {{"A相电压", {"up-a", 240.0f, 235.0f, false, 3}}};
    meter.up2ThresholdMap_ = {{"接线方式", {"up2-text", 1.0f, 0.0f, false, 3}}};
    meter.lowThresholdMap_ = {{"A相电压", {"low-a", 180.0f, 185.0f, false, 2}}};
    meter.low2ThresholdMap_ = {{"B相电流", {"low2-b", 10.0f, 12.0f, false, 1}}};
    // Meter alarms are forwarded in the file scheme only.
    meter.alarmSignalIdMap_ = {{"A相过压告警", "00700000007"}};
    meter.aiSignalMap_ = {{"A相电压", {kVoltageSignal, "A相电压"}}};

    const std::string console = pollRound();

    const std::vector<std::string> expected = {
        "SendSP(5156,1009,false)",
        "Reset",
        "CheckThresholdBool(3,A相电压,up-a,250,当前值250高于阈值:240,true,1)",
        "CheckThresholdBool(2,A相电压,low-a,250,,false,1)",
        "CheckThresholdBool(1,B相电流,low2-b,5,当前值5低于阈值:10,true,1)",
        "DoBatchCheckThreshold(0)",
        "SaveDeviceHistory(1009)",
    };
    EXPECT_EQ(calls(), expected);
    EXPECT_EQ(console, "rvSize is 0\n");
    EXPECT_TRUE(std::get<3>(meter.upThresholdMap_.at("A相电压")));
    EXPECT_FALSE(std::get<3>(meter.up2ThresholdMap_.at("接线方式")));
}

TEST_F(RoundCompletion, AlarmIdentificationSchemeHandsOverTheBatchOnly) {
    meter.b_mode_ = 3;
    meter.aiSignalMap_ = {{"A相电压", {kVoltageSignal, "A相电压"}}};
    meter.upThresholdMap_ = {{"A相电压", {"up-a", 0.0f, 0.0f, false, 3}}};
    meter.alarmSignalIdMap_ = {{"A相过压告警", "00700000007"}};
    meter.ruleBatch_.resize(2);
    host.services.batchResult = true;

    const std::string console = pollRound();

    const std::vector<std::string> expected = {
        "SendSP(5156,1009,false)",
        "Reset",
        "DoBatchCheckThreshold(2)",
        "SaveDeviceHistory(1009)",
    };
    EXPECT_EQ(calls(), expected);
    EXPECT_EQ(console, "rvSize is 2\n");
    EXPECT_TRUE(meter.jsonData_.isNull()) << "no report is built";
    EXPECT_TRUE(meter.ruleBatch_.empty());
    EXPECT_TRUE(meter.roundAlarmFlag_);
    EXPECT_TRUE(meter.dataReady_);
}

TEST_F(RoundCompletion, StampsTheRecordBeforeHandingItOver) {
    g_now = 1700000000;
    testing::internal::CaptureStdout();
    meter.RoundDone();
    testing::internal::GetCapturedStdout();

    std::tm local{};
    const std::time_t now = g_now;
    localtime_r(&now, &local);
    const ttime& t = meter.data_.update_time;
    EXPECT_EQ(t.year, local.tm_year + 1900);
    EXPECT_EQ(t.month, local.tm_mon + 1);
    EXPECT_EQ(t.day, local.tm_mday);
    EXPECT_EQ(t.hour, local.tm_hour);
    EXPECT_EQ(t.minute, local.tm_min);
    EXPECT_EQ(t.second, local.tm_sec);
    ASSERT_EQ(host.services.sent.size(), 1u);
    ASSERT_EQ(host.services.saved.size(), 1u);
    const auto* record = reinterpret_cast<const unsigned char*>(&meter.data_);
    EXPECT_EQ(host.services.sent[0], std::vector<unsigned char>(record, record + 1009));
    EXPECT_EQ(host.services.saved[0], host.services.sent[0]);
}

TEST(AlarmId, DerivedFromTheSignalIdWithoutWritingPastIt) {
    const struct {
        const char* signalId;
        const char* alarmId;
    } cases[] = {
        {"abcdefghijk", "abc6efgh1jk"},
        {"abcdefghi", "abc6efgh1"},
        {"abcdefgh", "abc6efgh"},  // too short for index 8
        {"abc", "abc"},            // too short for index 3
        {"", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.signalId);
        EXPECT_EQ(unidata::alarmIdFor(c.signalId), c.alarmId);
    }
}

TEST_F(RoundCompletion, ShortSignalIdStillChecked) {
    meter.data_.phase_voltage_a = 231;
    meter.aiSignalMap_ = {{"A相电压", {"0010", "A相电压"}}};
    testing::internal::CaptureStdout();
    meter.RoundDone();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(host.services.only("CheckThreshold("),
              std::vector<std::string>{"CheckThreshold(0016,A相电压,231,1)"});
}

}  // namespace
