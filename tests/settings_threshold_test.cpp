// Threshold scheme: "thresholdSetting" into the four limit maps.
#include <gtest/gtest.h>
#include <json/reader.h>

#include <sstream>
#include <string>
#include <vector>

#include "support/fake_host.h"
#include "ved96/ved96.h"

namespace {

// A settings document selecting the threshold scheme with the given table.
Json::Value Settings(const std::string& table) {
    Json::Value doc;
    std::string errors;
    std::istringstream in(R"({"appSetting": {"b_mode": 5}, "thresholdSetting": )" + table + "}");
    EXPECT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &doc, &errors)) << errors;
    return doc;
}

// The four maps as one line: "up:Ua=A01001,250,245,false,2 low:...".
std::string Maps(const ved96& meter) {
    const std::pair<const char*, const ThresholdMap*> maps[] = {
        {"up", &meter.upThresholdMap_},
        {"up2", &meter.up2ThresholdMap_},
        {"low", &meter.lowThresholdMap_},
        {"low2", &meter.low2ThresholdMap_},
    };
    std::string out;
    for (const auto& [name, map] : maps) {
        for (const auto& [key, e] : *map) {
            if (!out.empty()) out += ' ';
            out += std::string(name) + ':' + key + '=' + std::get<0>(e) + ',' +
                   fake::num(std::get<1>(e)) + ',' + fake::num(std::get<2>(e)) + ',' +
                   (std::get<3>(e) ? "true" : "false") + ',' + std::to_string(std::get<4>(e));
        }
    }
    return out;
}

class ThresholdScheme : public testing::Test {
  protected:
    ThresholdScheme() { meter.dataId_ = 7; }
    fake::Host host;
    ved96 meter;
};

TEST_F(ThresholdScheme, LoadsTheLimitsOfEachSignal) {
    const struct {
        const char* what;
        const char* table;
        const char* maps;
    } cases[] = {
        {"one limit only",
         R"({"a": {"ID": "A01", "SignalName": "Ua", "UpValue": 250, "UpReconverValue": 245,
                   "UpAlarmLevel": 2}})",
         "up:Ua=A01001,250,245,false,2"},
        {"all four limits",
         R"({"a": {"ID": "A01", "SignalName": "Ua", "UpValue": 250, "UpReconverValue": 245,
                   "UpAlarmLevel": 2, "Up2Value": 260, "Up2ReconverValue": 255,
                   "Up2AlarmLevel": 1, "LowValue": 190, "LowReconverValue": 195,
                   "LowAlarmLevel": 3, "Low2Value": 180, "Low2ReconverValue": 185,
                   "Low2AlarmLevel": 4}})",
         "up:Ua=A01001,250,245,false,2 up2:Ua=A01002,260,255,false,1 "
         "low:Ua=A01003,190,195,false,3 low2:Ua=A01004,180,185,false,4"},
        {"number and text forms",
         R"({"a": {"ID": 12, "SignalName": "Ua", "UpValue": 250.5, "UpReconverValue": "245.25",
                   "UpAlarmLevel": "3.7", "LowValue": " -1e1x", "LowReconverValue": "abc",
                   "LowAlarmLevel": true}})",
         "up:Ua=12001,250.5,245.25,false,3 low:Ua=12003,-10,0,false,0"},
        {"0.1 is rounded to single precision",
         R"({"a": {"ID": "A", "SignalName": "Ua", "UpValue": 0.1, "UpReconverValue": "0.1",
                   "UpAlarmLevel": 1}})",
         "up:Ua=A001,0.100000001,0.100000001,false,1"},
        {"a level beyond int is held at its limit",
         R"({"a": {"ID": "A", "SignalName": "Ua", "UpValue": 1, "UpReconverValue": 1,
                   "UpAlarmLevel": "99999999999", "LowValue": 1, "LowReconverValue": 1,
                   "LowAlarmLevel": -99999999999}})",
         "up:Ua=A001,1,1,false,2147483647 low:Ua=A003,1,1,false,-2147483648"},
        {"an empty text or a missing or null key skips that limit only",
         R"({"a": {"ID": "A", "SignalName": "Ua", "UpValue": "", "UpReconverValue": 1,
                   "UpAlarmLevel": 1, "Up2Value": 1, "Up2AlarmLevel": 1,
                   "LowValue": 1, "LowReconverValue": 1, "LowAlarmLevel": null,
                   "Low2Value": 1, "Low2ReconverValue": 2, "Low2AlarmLevel": 3}})",
         "low2:Ua=A004,1,2,false,3"},
        {"the later element wins per limit",
         R"({"b": {"ID": "B", "SignalName": "Ua", "UpValue": 260, "UpReconverValue": 255,
                   "UpAlarmLevel": 2},
             "a": {"ID": "A", "SignalName": "Ua", "UpValue": 250, "UpReconverValue": 245,
                   "UpAlarmLevel": 1, "LowValue": 190, "LowReconverValue": 195,
                   "LowAlarmLevel": 1}})",
         "up:Ua=B001,260,255,false,2 low:Ua=A003,190,195,false,1"},
        {"elements without usable ID or SignalName are skipped",
         R"({"a": 5, "b": [1], "c": {"SignalName": "Ua", "UpValue": 1, "UpReconverValue": 1,
             "UpAlarmLevel": 1}, "d": {"ID": "", "SignalName": "Ua", "UpValue": 1,
             "UpReconverValue": 1, "UpAlarmLevel": 1}, "e": {"ID": "E", "SignalName": null,
             "UpValue": 1, "UpReconverValue": 1, "UpAlarmLevel": 1}})",
         ""},
        {"an array is no table", R"([{"ID": "A", "SignalName": "Ua", "UpValue": 1,
                                      "UpReconverValue": 1, "UpAlarmLevel": 1}])",
         ""},
        {"a scalar is no table", "5", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        meter.upThresholdMap_["stale"] = ThresholdEntry("S001", 1, 1, true, 1);
        host.services.calls.clear();
        testing::internal::CaptureStdout();
        EXPECT_EQ(meter.InitSetting(Settings(c.table)), 0);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "InitSetting 7 b_mode_:5\n");
        EXPECT_EQ(Maps(meter), c.maps);
        EXPECT_EQ(host.services.calls, std::vector<std::string>{"InitSetting"});
    }
}

TEST_F(ThresholdScheme, ASecondLoadStartsFromEmptyMaps) {
    testing::internal::CaptureStdout();
    meter.InitSetting(Settings(R"({"a": {"ID": "A", "SignalName": "Ua", "UpValue": 1,
        "UpReconverValue": 1, "UpAlarmLevel": 1, "LowValue": 1, "LowReconverValue": 1,
        "LowAlarmLevel": 1}})"));
    std::get<3>(meter.upThresholdMap_["Ua"]) = true;  // an alarm raised since
    meter.InitSetting(Settings("{}"));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(Maps(meter), "");
}

// A value the JSON library cannot turn into text stops the loading: what was
// stored before stays, the host's settings are not read, and a later load
// with good settings works.
TEST_F(ThresholdScheme, ObjectOrArrayValuesThrowAndLeaveTheDeviceUsable) {
    const char* const tables[] = {
        R"({"a": {"ID": "A", "SignalName": "Ua", "UpValue": 1, "UpReconverValue": 1,
                  "UpAlarmLevel": 1}, "b": {"ID": {"x": 1}, "SignalName": "Ub"}})",
        R"({"a": {"ID": "A", "SignalName": "Ua", "UpValue": 1, "UpReconverValue": 1,
                  "UpAlarmLevel": 1}, "b": {"ID": "B", "SignalName": ["Ub"]}})",
        R"({"a": {"ID": "A", "SignalName": "Ua", "UpValue": 1, "UpReconverValue": 1,
                  "UpAlarmLevel": 1, "LowValue": {}, "LowReconverValue": 1,
                  "LowAlarmLevel": 1}})",
    };
    for (const char* table : tables) {
        SCOPED_TRACE(table);
        host.services.calls.clear();
        testing::internal::CaptureStdout();
        EXPECT_THROW(meter.InitSetting(Settings(table)), Json::LogicError);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(Maps(meter), "up:Ua=A001,1,1,false,1");
        EXPECT_TRUE(host.services.calls.empty());

        testing::internal::CaptureStdout();
        meter.InitSetting(Settings(R"({"a": {"ID": "B", "SignalName": "Ub", "UpValue": 2,
            "UpReconverValue": 2, "UpAlarmLevel": 2}})"));
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(Maps(meter), "up:Ub=B001,2,2,false,2");
        EXPECT_EQ(host.services.calls, std::vector<std::string>{"InitSetting"});
    }
}

}  // namespace
