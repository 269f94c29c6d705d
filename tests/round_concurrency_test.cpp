// Host threads asking for the report and for values while rounds complete on
// another thread. Meant to be run under ThreadSanitizer as well.
#include <gtest/gtest.h>
#include <json/reader.h>

#include <atomic>
#include <ctime>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/fake_host.h"
#include "ved96/ved96.h"

namespace {

std::atomic<std::time_t> g_now{1700000000};
std::time_t steppingClock() { return g_now.load(); }

TEST(RoundConcurrency, ReportAndValueRequestsDuringRounds) {
    fake::Host host;
    ved96 meter;
    meter.timeSource_ = steppingClock;
    meter.aiSignalMap_ = {{"A相电压", {"00100000001", "A相电压"}}};
    meter.data_.phase_voltage_a = 230;

    constexpr int kRounds = 200;
    constexpr int kRequests = 200;
    std::atomic<bool> badReport{false};
    std::atomic<bool> badRefusal{false};
    std::atomic<bool> badAddress{false};

    testing::internal::CaptureStdout();
    std::thread rounds([&] {
        for (int i = 0; i < kRounds; ++i) {
            g_now += 1;  // every round is a new one: the report is rebuilt
            meter.RoundDone();
        }
    });
    std::thread text([&] {
        std::vector<char> out(100000);
        for (int i = 0; i < kRequests; ++i) {
            int length = 0;
            if (meter.DeviceIoControl(801, nullptr, 0, out.data(), static_cast<int>(out.size()),
                                      length) != 0) {
                badReport = true;
                continue;
            }
            Json::Value report;
            std::string errors;
            Json::CharReaderBuilder builder;
            std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
            if (!reader->parse(out.data(), out.data() + length, &report, &errors) ||
                !(report.isNull() || report.isObject()))
                badReport = true;
        }
    });
    std::thread address([&] {
        for (int i = 0; i < kRequests; ++i) {
            Json::Value* document = nullptr;
            int length = 0;
            if (meter.DeviceIoControl(803, nullptr, 0, &document, sizeof document, length) != 0 ||
                document != &meter.jsonData_)
                badAddress = true;
        }
    });
    std::thread lookup([&] {
        for (int i = 0; i < kRequests; ++i) {
            try {
                meter.Get_Value(0, "A相电压");
                badRefusal = true;
            } catch (const std::out_of_range& e) {
                const std::string why = e.what();
                if (why != "数据未就绪" && why != "不支持变量") badRefusal = true;
            }
        }
    });
    rounds.join();
    text.join();
    address.join();
    lookup.join();
    testing::internal::GetCapturedStdout();

    EXPECT_FALSE(badReport);
    EXPECT_FALSE(badAddress);
    EXPECT_FALSE(badRefusal);
    EXPECT_EQ(host.services.only("SaveDeviceHistory").size(), static_cast<std::size_t>(kRounds));
    EXPECT_EQ(host.services.only("CheckThreshold(").size(), static_cast<std::size_t>(kRounds));
    EXPECT_EQ(meter.jsonData_["A相电压"].asDouble(), 230);
}

}  // namespace
