// Single-value lookup refusals by data age, and restoring the record from the
// host's cache.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <ctime>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/fake_host.h"
#include "unidata/round_checks.h"
#include "ved96/ved96.h"

namespace {

constexpr std::time_t kNow = 1700000000;
std::time_t fixedClock() { return kNow; }

const std::string kNotReady = "数据未就绪";
const std::string kTimedOut = "数据已超时";
const std::string kNotSupported = "不支持变量";

std::string refusal(const ved96& meter, unsigned index = 0, const std::string& name = "") {
    try {
        meter.Get_Value(index, name);
    } catch (const std::out_of_range& e) {
        return e.what();
    }
    return "(no exception)";
}

TEST(ValueLookup, NewDeviceHasNoData) {
    ved96 meter;
    EXPECT_EQ(refusal(meter), kNotReady);
    EXPECT_EQ(refusal(meter, 7, "A相电压"), kNotReady);
}

TEST(ValueLookup, RefusalTellsTheAgeOfTheData) {
    namespace pt = boost::posix_time;
    const pt::ptime now = unidata::localSecondTime(kNow);
    const struct {
        const char* name;
        pt::ptime roundTime;
        std::string message;
    } cases[] = {
        {"30 s old", now - pt::seconds(30), kNotSupported},
        {"60 s old", now - pt::seconds(60), kNotSupported},
        {"61 s old", now - pt::seconds(61), kTimedOut},
        {"an hour old", now - pt::hours(1), kTimedOut},
        {"clock set back", now + pt::hours(1), kNotSupported},
        {"never", pt::ptime(pt::not_a_date_time), kTimedOut},
        {"minus infinity", pt::ptime(pt::neg_infin), kTimedOut},
        {"plus infinity", pt::ptime(pt::pos_infin), kNotSupported},
    };
    ved96 meter;
    meter.timeSource_ = fixedClock;
    meter.dataReady_ = true;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        meter.roundTime_ = c.roundTime;
        EXPECT_EQ(refusal(meter), c.message);
    }
}

class RecordCache : public ::testing::Test {
  protected:
    fake::Host host;
    ved96 meter;

    RecordCache() { meter.timeSource_ = fixedClock; }

    static std::vector<unsigned char> image(std::size_t length) {
        std::vector<unsigned char> bytes(length);
        for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<unsigned char>(i * 7 + 1);
        return bytes;
    }
    std::vector<unsigned char> record() const {
        const auto* p = reinterpret_cast<const unsigned char*>(&meter.data_);
        return {p, p + sizeof meter.data_};
    }
};

TEST_F(RecordCache, WrongLengthsAreRefusedAndChangeNothing) {
    meter.data_.phase_voltage_a = 230;
    const auto before = record();
    for (std::size_t length : {0u, 1008u, 1010u}) {
        SCOPED_TRACE(length);
        const auto bytes = image(length);
        EXPECT_FALSE(meter.LoadFromCache(bytes.data(), static_cast<int>(length)));
        const std::string text(bytes.begin(), bytes.end());
        EXPECT_FALSE(meter.LoadFromCache(text));
    }
    EXPECT_FALSE(meter.LoadFromCache(nullptr, 1009));
    EXPECT_EQ(record(), before);
    EXPECT_FALSE(meter.dataReady_);
    EXPECT_TRUE(meter.roundTime_.is_not_a_date_time());
    EXPECT_TRUE(host.services.calls.empty());
}

TEST_F(RecordCache, RestoredRecordIsStampedWithTheLoadTimeAndRunsARound) {
    const auto bytes = image(1009);
    for (bool asString : {false, true}) {
        SCOPED_TRACE(asString ? "string form" : "pointer form");
        host.services.calls.clear();
        meter.data_ = ved96_Data_t{};
        testing::internal::CaptureStdout();
        const bool loaded = asString ? meter.LoadFromCache(std::string(bytes.begin(), bytes.end()))
                                     : meter.LoadFromCache(bytes.data(), 1009);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "rvSize is 0\n");
        EXPECT_TRUE(loaded);
        EXPECT_TRUE(meter.dataReady_);
        EXPECT_EQ(meter.roundTime_, unidata::localSecondTime(kNow));

        const auto restored = record();
        const std::size_t stamp = offsetof(ved96_Data_t, update_time);
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + stamp, restored.begin()))
            << "data id and registers as stored";
        const ttime expected = get_ttime(unidata::localSecondTime(kNow));
        EXPECT_EQ(std::memcmp(&meter.data_.update_time, &expected, sizeof expected), 0)
            << "time of the load, not of the image";
        EXPECT_EQ(host.services.only("SendSP").size(), 1u);
        EXPECT_EQ(host.services.only("SaveDeviceHistory").size(), 1u);
        EXPECT_EQ(refusal(meter), kNotSupported);
    }
}

// A calendar time the C library cannot turn into local time (its year does
// not fit the broken-down time). Needs a 64-bit time_t: every 32-bit one
// converts.
std::time_t unconvertibleClock() { return std::numeric_limits<std::time_t>::max(); }

TEST_F(RecordCache, LocalTimeFailureLeavesLookupAndCacheLoadingAsRuntimeError) {
    if (sizeof(std::time_t) < 8) GTEST_SKIP() << "every 32-bit time_t has a local time";
    const std::string message = "could not convert calendar time to local time";
    meter.timeSource_ = unconvertibleClock;
    meter.dataReady_ = true;
    try {
        meter.Get_Value(0, "");
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(e.what(), message);
    }

    // The record is replaced and data marked present before the round fails.
    meter.dataReady_ = false;
    const auto bytes = image(1009);
    testing::internal::CaptureStdout();
    try {
        meter.LoadFromCache(bytes.data(), 1009);
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(e.what(), message);
    }
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(meter.dataReady_);
    const auto restored = record();
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + offsetof(ved96_Data_t, update_time),
                           restored.begin()));
    EXPECT_TRUE(host.services.only("SendSP").empty());
}

}  // namespace
