// Rounds at and after 2038-01-19 03:14:08 UTC, the first second a signed
// 32-bit time_t cannot hold: each round is stamped in the record and the
// report, its data age reckoned and analog report periods run as on any other
// day. Built for the 32-bit target too, where time_t is 64-bit by choice.
#include <gtest/gtest.h>
#include <json/reader.h>

#include <cstdlib>
#include <ctime>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/fake_host.h"
#include "ved96/ved96.h"

static_assert(sizeof(std::time_t) == 8, "the round clock needs a 64-bit time_t on every target");

namespace {

constexpr std::time_t kPast32Bits = 2147483648;  // 2038-01-19 03:14:08 UTC
std::time_t g_now = kPast32Bits;
std::time_t fixedClock() { return g_now; }

const std::string kSignal = "00100000001";

class Year2038 : public ::testing::Test {
  protected:
    fake::Host host;
    ved96 meter;
    std::optional<std::string> savedTz_;

    Year2038() {
        // Round times are local times; in UTC the expected stamps read plainly.
        if (const char* tz = std::getenv("TZ")) savedTz_ = tz;
        setenv("TZ", "UTC0", 1);
        tzset();
        meter.timeSource_ = fixedClock;
        meter.aiSignalMap_ = {{"A相电压", {kSignal, "A相电压"}}};
        meter.data_.phase_voltage_a = 230;
    }
    ~Year2038() override {
        if (savedTz_)
            setenv("TZ", savedTz_->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

    void roundAt(std::time_t when) {
        g_now = when;
        testing::internal::CaptureStdout();
        meter.RoundDone();
        testing::internal::GetCapturedStdout();
    }

    // The report as the host asks for it, as text.
    Json::Value report() {
        std::vector<char> out(100000);
        int length = 0;
        testing::internal::CaptureStdout();
        const int result = meter.DeviceIoControl(801, nullptr, 0, out.data(),
                                                 static_cast<int>(out.size()), length);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(result, 0);
        Json::Value document;
        std::string errors;
        std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
        EXPECT_TRUE(reader->parse(out.data(), out.data() + length, &document, &errors)) << errors;
        return document;
    }

    std::string refusal() const {
        try {
            meter.Get_Value(0, "A相电压");
        } catch (const std::out_of_range& e) {
            return e.what();
        }
        return "(no exception)";
    }

    std::size_t analogReports() const {
        std::size_t n = 0;
        for (const std::string& call : host.services.calls)
            n += call.rfind("CheckAOReport(", 0) == 0;
        return n;
    }
};

TEST_F(Year2038, RoundIsStampedInTheRecordAndTheReport) {
    const struct {
        std::time_t when;
        ttime stamp;
        const char* reportText;
    } cases[] = {
        {kPast32Bits - 1, {2038, 1, 19, 3, 14, 7}, "2038-1-19 3:14:7"},
        {kPast32Bits, {2038, 1, 19, 3, 14, 8}, "2038-1-19 3:14:8"},
        {kPast32Bits + 60, {2038, 1, 19, 3, 15, 8}, "2038-1-19 3:15:8"},
        {2500000000, {2049, 3, 22, 4, 26, 40}, "2049-3-22 4:26:40"},
        {4102444799, {2099, 12, 31, 23, 59, 59}, "2099-12-31 23:59:59"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reportText);
        roundAt(c.when);
        const ttime& got = meter.data_.update_time;
        EXPECT_EQ(got.year, c.stamp.year);
        EXPECT_EQ(got.month, c.stamp.month);
        EXPECT_EQ(got.day, c.stamp.day);
        EXPECT_EQ(got.hour, c.stamp.hour);
        EXPECT_EQ(got.minute, c.stamp.minute);
        EXPECT_EQ(got.second, c.stamp.second);
        EXPECT_EQ(report()["更新时间"].asString(), c.reportText);
    }
}

TEST_F(Year2038, DataAgeIsReckonedAcrossTheLimit) {
    const struct {
        const char* name;
        std::time_t round;
        std::time_t now;
        const char* message;
    } cases[] = {
        {"round before, 60 s later", kPast32Bits - 30, kPast32Bits + 30, "不支持变量"},
        {"round before, 61 s later", kPast32Bits - 30, kPast32Bits + 31, "数据已超时"},
        {"round at the limit, 60 s later", kPast32Bits, kPast32Bits + 60, "不支持变量"},
        {"round at the limit, 61 s later", kPast32Bits, kPast32Bits + 61, "数据已超时"},
        {"a year on, at once", kPast32Bits + 31536000, kPast32Bits + 31536000, "不支持变量"},
        {"a year on, an hour later", kPast32Bits + 31536000, kPast32Bits + 31539600, "数据已超时"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        roundAt(c.round);
        g_now = c.now;
        EXPECT_EQ(refusal(), c.message);
    }
}

TEST_F(Year2038, AnalogReportPeriodRunsOnAcrossTheLimit) {
    SMDVDevice::BAOSetting everyMinute;
    everyMinute.periodEnable = true;
    everyMinute.periodMinutes = 1;
    everyMinute.lastReportTime = static_cast<std::uint32_t>(kPast32Bits - 30);
    meter.aoSettingMap_[kSignal] = everyMinute;

    const struct {
        std::time_t when;
        bool reported;
    } rounds[] = {
        {kPast32Bits + 29, false},  // 59 s since the last report
        {kPast32Bits + 31, true},   // 61 s
        {kPast32Bits + 91, false},  // 60 s since that one
        {kPast32Bits + 92, true},
    };
    std::time_t lastReport = kPast32Bits - 30;
    for (const auto& round : rounds) {
        SCOPED_TRACE(round.when - kPast32Bits);
        const std::size_t before = analogReports();
        roundAt(round.when);
        EXPECT_EQ(analogReports() - before, round.reported ? 1u : 0u);
        if (round.reported) lastReport = round.when;
        EXPECT_EQ(meter.aoSettingMap_.at(kSignal).lastReportTime,
                  static_cast<std::uint32_t>(lastReport));
    }
}

}  // namespace
