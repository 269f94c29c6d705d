// The ASCII ids of the report's signals and vedhost's values by id: taken
// from a report the meter model builds, and decoded from the same record as
// history stores it; both must agree signal for signal.
#include "presentation/signal_values.h"

#include <gtest/gtest.h>
#include <json/value.h>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <cstring>
#include <set>
#include <string>

#include "ved96/ved96.h"

namespace vedhost {
namespace {

using ved96_report::findSignal;
using ved96_report::registerNumber;
using ved96_report::signals;

TEST(SignalIds, EverySignalHasItsOwnAsciiIdAndKey) {
    std::set<std::string> ids, keys;
    for (const auto& signal : signals()) {
        const std::string id = signal.id;
        EXPECT_FALSE(id.empty());
        for (char c : id)
            EXPECT_TRUE((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_') << id;
        EXPECT_TRUE(ids.insert(id).second) << "duplicate id " << id;
        EXPECT_TRUE(keys.insert(signal.key).second) << "duplicate key " << signal.key;
    }
    EXPECT_EQ(ids.size(), 270u);
}

// Ids of the generated rows follow their pattern and sit at the register the
// meter's map gives for the key.
TEST(SignalIds, PatternIdsNameTheRightRegister) {
    struct Case {
        const char* id;
        const char* key;
        int reg;
    };
    const Case cases[] = {
        {"phase_voltage_a", "A相电压", 0},
        {"neutral_current_calc", "计算中性线电流", 35},
        {"energy_rev_reactive", "反向无功电能", 503},
        {"current_thd_a", "A相电流THD", 1400},
        {"current_tehd_c", "C相电流TEHD", 1408},
        {"current_h18_c", "C相电流H18", 1459},
        {"current_h19_b", "B相电流H19", 1521},
        {"voltage_tohd_a", "A相电压TOHD", 1603},
        {"voltage_h31_c", "C相电压H31", 1758},
        {"alarm_b_under_voltage", "B相欠压告警", 102},
        {"do2", "DO2", 104},
        {"wiring_mode", "接线方式", 6008},
        {"remote_control_preset", "遥控预置", 6017},
    };
    for (const Case& c : cases) {
        const auto* signal = findSignal(c.id);
        ASSERT_NE(signal, nullptr) << c.id;
        EXPECT_STREQ(signal->key, c.key) << c.id;
        EXPECT_EQ(registerNumber(signal->offset), c.reg) << c.id;
    }
    EXPECT_EQ(findSignal("alarm_b_under_voltage")->bit, 3u);
    EXPECT_EQ(findSignal("no_such_signal"), nullptr);
    EXPECT_EQ(registerNumber(findSignal("update_time")->offset), -1);
}

class SignalValues : public ::testing::Test {
  protected:
    ved96 meter;

    // Every register a different value; alarm, input and output bits mixed;
    // one setting code the meter does not define.
    void SetUp() override {
        auto* bytes = reinterpret_cast<unsigned char*>(&meter.data_);
        for (std::size_t at = offsetof(ved96_Data_t, phase_voltage_a);
             at < offsetof(ved96_Data_t, update_time); at += 2) {
            const std::uint16_t value = static_cast<std::uint16_t>(at * 7 + 3);
            std::memcpy(bytes + at, &value, 2);
        }
        meter.data_.limit_alarm_status = 0x0025;
        meter.data_.di_status = 0x0009;
        meter.data_.do_status = 0x0002;
        meter.data_.wiring_mode = 1;
        meter.data_.pf_algorithm = 7;
        meter.data_.update_time = {2024, 3, 7, 9, 5, 2};
        meter.roundTime_ = boost::posix_time::time_from_string("2024-03-07 09:05:02");
        meter.GenJsonData();
    }
    const Json::Value& report() const { return meter.jsonData_; }
};

TEST_F(SignalValues, TheSignalsAreExactlyTheReportsMembers) {
    std::set<std::string> keys;
    for (const auto& signal : signals()) keys.insert(signal.key);
    const auto members = report().getMemberNames();
    EXPECT_EQ(std::set<std::string>(members.begin(), members.end()), keys);
}

TEST_F(SignalValues, ReportAndStoredRecordGiveTheSameValues) {
    const auto fromReport = valuesById(reportValues(report()));
    const auto fromRecord = valuesById(
        recordValues(reinterpret_cast<const unsigned char*>(&meter.data_), sizeof meter.data_));
    EXPECT_EQ(fromReport.size(), 269u);  // every signal but the nested alarm object
    EXPECT_EQ(fromReport, fromRecord);

    EXPECT_EQ(fromReport["alarm_a_over_voltage"], true);
    EXPECT_EQ(fromReport["alarm_a_under_voltage"], false);
    EXPECT_EQ(fromReport["di4"], true);
    EXPECT_EQ(fromReport["do1"], false);
    EXPECT_EQ(fromReport["limit_alarm_status"], 37.0);
    EXPECT_EQ(fromReport["wiring_mode"], "3P4W");
    EXPECT_EQ(fromReport["pf_algorithm"], "无效值");
    EXPECT_EQ(fromReport["update_time"], "2024-03-07T09:05:02");
    EXPECT_EQ(fromReport["energy_fwd_active"].asDouble(),
              static_cast<double>(static_cast<float>(158 * 7 + 3) / 10.0f));
}

TEST_F(SignalValues, MembersOfAnotherShapeAreLeftOut) {
    Json::Value odd = report();
    odd["A相电压"] = "220";         // text where a number belongs
    odd["DI1"] = "半开";            // neither the set nor the clear text
    odd["接线方式"] = 1;            // a code, not its text
    odd["更新时间"] = "yesterday";  // kept as given
    odd.removeMember("B相电压");
    const auto values = valuesById(reportValues(odd));
    for (const char* id : {"phase_voltage_a", "phase_voltage_b", "di1", "wiring_mode"})
        EXPECT_FALSE(values.isMember(id)) << id;
    EXPECT_EQ(values["update_time"], "yesterday");
    EXPECT_EQ(values.size(), 265u);

    EXPECT_TRUE(reportValues(Json::Value("not an object")).empty());
    const auto* bytes = reinterpret_cast<const unsigned char*>(&meter.data_);
    EXPECT_TRUE(recordValues(bytes, sizeof meter.data_ - 1).empty());
}

}  // namespace
}  // namespace vedhost
