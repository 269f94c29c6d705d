// Analog report change detection: when a value goes to the host's analog
// report, and what the setting remembers.
#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "support/fake_host.h"
#include "ved96/ved96.h"

namespace {

// 2023-11-14: a multiple of 128, so single-precision seconds would not see
// the first minute pass until 128 s later.
constexpr std::time_t kStart = 1700000000;
std::time_t g_now = kStart;
std::time_t fixedClock() { return g_now; }

using Setting = SMDVDevice::BAOSetting;

Setting absolute(float delta, float last) {
    Setting s;
    s.absEnable = true;
    s.absDelta = delta;
    s.lastValue = last;
    s.lastReportTime = kStart;
    return s;
}

Setting percentage(float delta, float last) {
    Setting s;
    s.pctEnable = true;
    s.pctDelta = delta;
    s.lastValue = last;
    s.lastReportTime = kStart;
    return s;
}

Setting periodic(float minutes, std::uint32_t last) {
    Setting s;
    s.periodEnable = true;
    s.periodMinutes = minutes;
    s.lastReportTime = last;
    return s;
}

class AnalogReport : public ::testing::Test {
  protected:
    fake::Host host;
    ved96 meter;

    AnalogReport() {
        g_now = kStart;
        meter.timeSource_ = fixedClock;
    }
};

TEST_F(AnalogReport, ReportsWhenAValueLeavesItsBandOrItsPeriodRunsOut) {
    const struct {
        const char* name;
        Setting setting;
        float value;
        std::time_t after;  // seconds since kStart
        bool reported;
    } cases[] = {
        {"abs inside", absolute(5, 100), 104, 0, false},
        {"abs at upper edge", absolute(5, 100), 105, 0, false},
        {"abs at lower edge", absolute(5, 100), 95, 0, false},
        {"abs above", absolute(5, 100), 105.5f, 0, true},
        {"abs below", absolute(5, 100), 94.5f, 0, true},
        {"pct at upper edge", percentage(10, 200), 220, 0, false},
        {"pct at lower edge", percentage(10, 200), 180, 0, false},
        {"pct above", percentage(10, 200), 221, 0, true},
        {"pct below", percentage(10, 200), 179, 0, true},
        {"pct from zero, unchanged", percentage(10, 0), 0, 0, false},
        {"pct from zero", percentage(10, 0), 0.001f, 0, true},
        {"pct from negative, same", percentage(10, -100), -100, 0, true},
        {"pct from negative, zero", percentage(10, -100), 0, 0, true},
        {"period never reported", periodic(1, 0), 7, 0, true},
        {"period just started", periodic(1, kStart), 7, 1, false},
        {"period at one minute", periodic(1, kStart), 7, 60, false},
        {"period after one minute", periodic(1, kStart), 7, 61, true},
        {"half-minute period", periodic(0.5f, kStart), 7, 31, true},
        {"nothing enabled", Setting{}, 1e6f, 100000, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        host.services.calls.clear();
        meter.aoSettingMap_ = {{"sig", c.setting}};
        g_now = kStart + c.after;
        EXPECT_EQ(meter.CheckAOReport("alarm", "sig", c.value), c.reported);
        const Setting& after = meter.aoSettingMap_.at("sig");
        if (c.reported) {
            EXPECT_EQ(host.services.calls,
                      std::vector<std::string>{"CheckAOReport(sig," + fake::num(c.value) + ")"});
            EXPECT_EQ(after.lastValue, c.value);
            EXPECT_EQ(after.lastReportTime, static_cast<std::uint32_t>(g_now));
        } else {
            EXPECT_TRUE(host.services.calls.empty());
            EXPECT_EQ(after.lastValue, c.setting.lastValue);
            EXPECT_EQ(after.lastReportTime, c.setting.lastReportTime);
        }
    }
}

TEST_F(AnalogReport, EveryReportRestartsThePeriod) {
    Setting s = periodic(1, 0);
    meter.aoSettingMap_ = {{"sig", s}};
    const struct {
        std::time_t after;
        bool reported;
    } steps[] = {{0, true}, {60, false}, {61, true}, {121, false}, {122, true}};
    for (const auto& step : steps) {
        SCOPED_TRACE(step.after);
        g_now = kStart + step.after;
        EXPECT_EQ(meter.CheckAOReport("alarm", "sig", 7), step.reported);
    }
}

TEST_F(AnalogReport, NoSettingsNoReport) {
    EXPECT_FALSE(meter.CheckAOReport("alarm", "sig", 1));
    meter.aoSettingMap_ = {{"other", periodic(1, 0)}};
    EXPECT_FALSE(meter.CheckAOReport("alarm", "sig", 1));
    EXPECT_EQ(meter.aoSettingMap_.size(), 1u) << "no entry made";
    EXPECT_TRUE(host.services.calls.empty());
}

TEST_F(AnalogReport, SettingUnderTheAlarmIdIsCopiedToTheSignalId) {
    meter.aoSettingMap_ = {{"alarm", absolute(5, 100)}};
    EXPECT_FALSE(meter.CheckAOReport("alarm", "sig", 103));
    ASSERT_TRUE(meter.aoSettingMap_.count("sig")) << "copied even without a report";
    EXPECT_EQ(meter.aoSettingMap_.at("sig").lastValue, 100);

    EXPECT_TRUE(meter.CheckAOReport("alarm", "sig", 110));
    EXPECT_EQ(host.services.calls, std::vector<std::string>{"CheckAOReport(sig,110)"});
    EXPECT_EQ(meter.aoSettingMap_.at("sig").lastValue, 110);
    EXPECT_EQ(meter.aoSettingMap_.at("alarm").lastValue, 100) << "the alarm id's entry stays";
}

}  // namespace
