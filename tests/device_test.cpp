// The meter object as the provider makes it.
#include <gtest/gtest.h>

#include <climits>
#include <memory>

#include "support/fake_host.h"
#include "ved96/provider.h"
#include "ved96/ved96.h"

namespace {

TEST(Construction, NewMeterHasItsDefaults) {
    ved96 meter;
    const auto* bytes = reinterpret_cast<const unsigned char*>(&meter.data_);
    for (int i = 0; i < 1009; ++i) ASSERT_EQ(bytes[i], 0) << "record byte " << i;
    EXPECT_EQ(meter.b_mode_, 1);
    EXPECT_EQ(meter.writeResult_, -1);
    EXPECT_EQ(meter.writeExpected_, -1);
    EXPECT_EQ(meter.DeviceType(), "ved96");
    EXPECT_EQ(meter.baudRate_, 9600);
    EXPECT_TRUE(meter.isSPModbus_);
    EXPECT_TRUE(meter.jsonData_.isNull());
    EXPECT_TRUE(meter.reportTime_.is_not_a_date_time());
    EXPECT_FALSE(meter.dataReady_);
    EXPECT_TRUE(meter.aiSignalMap_.empty());
    EXPECT_TRUE(meter.alarmSignalIdMap_.empty());
    EXPECT_TRUE(meter.upThresholdMap_.empty());
}

TEST(Construction, HasNoChildDevices) {
    ved96 meter;
    for (unsigned int i : {0u, 1u, 100u, UINT_MAX}) EXPECT_EQ(meter.GetChildVDevice(i), nullptr);
    EXPECT_TRUE(meter.GetAllChildVDevices().empty());
}

TEST(Provider, EachCallGivesANewVectorWithOneNewProvider) {
    const auto first = get_providers();
    const auto second = get_providers();
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_NE(first[0].get(), second[0].get());
    EXPECT_EQ(first[0].use_count(), 1);
    EXPECT_NE(dynamic_cast<SMDSPDeviceProvider*>(first[0].get()), nullptr);
}

TEST(Provider, DevicesAreIndependentAndOutliveTheirProvider) {
    std::unique_ptr<SMDVDevice> a, b;
    {
        auto providers = get_providers();
        auto& provider = dynamic_cast<SMDSPDeviceProvider&>(*providers[0]);
        a.reset(provider.create());
        b.reset(provider.create());
    }  // the last reference to the provider is gone here
    ASSERT_NE(a, nullptr);
    ASSERT_NE(a.get(), b.get());
    auto& ma = dynamic_cast<ved96&>(*a);
    auto& mb = dynamic_cast<ved96&>(*b);
    ma.data_.phase_voltage_a = 2200;
    ma.b_mode_ = 5;
    ma.aiSignalMap_["A相电压"] = {"id", "name"};
    EXPECT_EQ(mb.data_.phase_voltage_a, 0);
    EXPECT_EQ(mb.b_mode_, 1);
    EXPECT_TRUE(mb.aiSignalMap_.empty());
    EXPECT_EQ(a->DeviceType(), "ved96");
}

TEST(Settings, DataIdReachesTheRecordAndHostSettingsAreRead) {
    fake::Host host;
    host.services.initSettingResult = 7;
    ved96 meter;
    meter.InitV(nullptr, 42, Json::Value());
    testing::internal::CaptureStdout();
    EXPECT_EQ(meter.InitSetting(Json::Value(Json::objectValue)), 7) << "host result passed on";
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(meter.data_.data_id, 42u);
    EXPECT_EQ(host.services.only("InitSetting").size(), 1u);
}

}  // namespace
