// Alarm identification scheme: alarm id texts per signal and their console
// lines with the host's level and value.
#include <gtest/gtest.h>
#include <json/reader.h>

#include <sstream>
#include <string>
#include <vector>

#include "support/fake_host.h"
#include "ved96/ved96.h"

namespace {

using StringMap = std::map<std::string, std::string>;

class AlarmIdScheme : public testing::Test {
  protected:
    AlarmIdScheme() {
        meter.dataId_ = 7;
        meter.b_mode_ = 3;
    }

    // Loads a document with the given "thresholdSetting" text (none when
    // empty); returns the console output, an exception's message in error.
    std::string Load(const std::string& table) {
        Json::Value doc;
        std::string errors;
        std::istringstream in(table.empty() ? "{}" : R"({"thresholdSetting": )" + table + "}");
        EXPECT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &doc, &errors));
        host.services.calls.clear();
        const fake::SettingsRun run = fake::initSetting(meter, doc);
        error = run.error;
        return run.console;
    }

    fake::Host host;
    ved96 meter;
    std::string error;
};

TEST_F(AlarmIdScheme, ListsEachSignalInNameOrder) {
    meter.levelMap_["Ua"] = 2;
    meter.valueMap_["Ua"] = 230.25f;
    meter.valueMap_["Uz"] = 1234567.0f;
    EXPECT_EQ(Load(R"({"Uz": {"NMAlarmID": 1, "ID": "I3", "SignalNumber": "S;3"},
                       "Uc": 5,
                       "Ub": {"ID": "I2", "NMAlarmID": null},
                       "Ua": {"NMAlarmID": "N1", "ID": "I1", "SignalNumber": "S1",
                              "SignalName": "Phase A"}})"),
              "here 1\nhere 2\n"
              "here Ua\nmobile:Ua:N1;I1;S1; level:2 value:230.25\n"
              "here Ub\n7 NMAlarmID is missing\n7 SignalNumber is missing\n"
              "mobile:Ub:;I2;; level:0 value:0\n"
              "here Uc\n"
              "here Uz\nmobile:Uz:1;I3;S;3; level:0 value:1.23457e+06\n");
    EXPECT_EQ(error, "");
    EXPECT_EQ(meter.mobileAlarmIdMap_,
              (StringMap{{"Ua", "N1;I1;S1;"}, {"Ub", ";I2;;"}, {"Uz", "1;I3;S;3;"}}));
    EXPECT_EQ(meter.mobileSignalNameMap_, (StringMap{{"Ua", "Phase A"}}));
    // Reading the host's tables by subscript adds the signals it lacked.
    EXPECT_EQ(meter.levelMap_.count("Ub"), 1u);
    EXPECT_EQ(meter.valueMap_.count("Ub"), 1u);
    EXPECT_EQ(meter.levelMap_.count("Uc"), 0u);
    EXPECT_EQ(host.services.calls, std::vector<std::string>{"InitSetting"});
}

TEST_F(AlarmIdScheme, TablesWithoutMembersPrintOnlyTheMarkers) {
    const struct {
        const char* table;
        const char* output;
    } cases[] = {
        {"", "here 1\n"},          {"null", "here 1\n"},       {R"("text")", "here 1\nhere 2\n"},
        {"5", "here 1\nhere 2\n"}, {"[]", "here 1\nhere 2\n"}, {"{}", "here 1\nhere 2\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.table);
        EXPECT_EQ(Load(c.table), c.output);
        EXPECT_EQ(error, "");
        EXPECT_EQ(host.services.calls, std::vector<std::string>{"InitSetting"});
    }
    EXPECT_TRUE(meter.mobileAlarmIdMap_.empty());
}

TEST_F(AlarmIdScheme, LaterLoadsOverwriteAndKeep) {
    Load(R"({"Ua": {"ID": "I1", "SignalName": "A"}, "Ub": {"ID": "I2"}})");
    Load(R"({"Ua": {"ID": "J1"}})");
    EXPECT_EQ(meter.mobileAlarmIdMap_, (StringMap{{"Ua", ";J1;;"}, {"Ub", ";I2;;"}}));
    EXPECT_EQ(meter.mobileSignalNameMap_, (StringMap{{"Ua", "A"}}));
}

// Identifiers the JSON library cannot turn into text, and an array table,
// stop the loading; what was stored before stays, the host's settings are not
// read, and the device loads good settings afterwards.
TEST_F(AlarmIdScheme, UnreadableEntriesThrowAndLeaveTheDeviceUsable) {
    const struct {
        const char* table;
        const char* output;
        std::size_t stored;  // alarm id entries kept from before the error
    } cases[] = {
        {R"({"Ua": {"ID": "I1"}, "Ub": {"ID": {"x": 1}}})",
         "here 1\nhere 2\nhere Ua\n7 NMAlarmID is missing\n7 SignalNumber is missing\n"
         "mobile:Ua:;I1;; level:0 value:0\nhere Ub\n7 NMAlarmID is missing\n",
         1},
        {R"({"Ua": {"ID": "I1"}, "Ub": {"SignalName": ["x"]}})",
         "here 1\nhere 2\nhere Ua\n7 NMAlarmID is missing\n7 SignalNumber is missing\n"
         "mobile:Ua:;I1;; level:0 value:0\nhere Ub\n",
         1},
        {R"([{"ID": "I1"}])", "here 1\nhere 2\nhere \n", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.table);
        meter.mobileAlarmIdMap_.clear();
        meter.mobileSignalNameMap_.clear();
        EXPECT_EQ(Load(c.table), c.output);
        EXPECT_NE(error, "");
        EXPECT_TRUE(host.services.calls.empty());
        EXPECT_EQ(meter.mobileAlarmIdMap_.size(), c.stored);
        EXPECT_TRUE(meter.mobileSignalNameMap_.empty());

        Load(R"({"Uc": {"NMAlarmID": "N", "ID": "I", "SignalNumber": "S"}})");
        EXPECT_EQ(error, "");
        EXPECT_EQ(meter.mobileAlarmIdMap_.at("Uc"), "N;I;S;");
        EXPECT_EQ(host.services.calls, std::vector<std::string>{"InitSetting"});
    }
}

}  // namespace
