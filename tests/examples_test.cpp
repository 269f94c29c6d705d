// The example files under examples/ that the reference documents show: each
// is loaded the way a user's copy would be, by a real meter device.
#include <gtest/gtest.h>
#include <json/reader.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "support/fake_host.h"
#include "ved96/signals.h"
#include "ved96/ved96.h"

namespace {

const std::filesystem::path kExamples = std::filesystem::path(VED_SOURCE_DIR) / "examples";

Json::Value settingsExample(const std::string& name) {
    std::ifstream in(kExamples / "settings" / name);
    Json::Value doc;
    std::string errors;
    EXPECT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &doc, &errors))
        << name << ": " << errors;
    return doc;
}

// Each test in a fresh working directory, where the meter looks for ./ini/.
class Examples : public testing::Test {
  protected:
    void SetUp() override {
        home_ = std::filesystem::current_path();
        char pattern[] = "/tmp/ved96-examples-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        std::filesystem::current_path(dir_);
        std::filesystem::create_directories("ini");
        meter.dataId_ = 7;
    }
    void TearDown() override {
        std::filesystem::current_path(home_);
        std::filesystem::remove_all(dir_);
    }
    fake::SettingsRun load(const std::string& name) {
        return fake::initSetting(meter, settingsExample(name));
    }

    fake::Host host;
    ved96 meter;

  private:
    std::filesystem::path home_, dir_;
};

TEST_F(Examples, ThresholdSchemeSettingsLoadTheirLimits) {
    const auto run = load("threshold-scheme.json");
    ASSERT_EQ(run.error, "");
    EXPECT_EQ(meter.b_mode_, 5);
    ASSERT_EQ(meter.upThresholdMap_.count("A相电压"), 1u);
    EXPECT_EQ(std::get<0>(meter.upThresholdMap_["A相电压"]), "A01001");
    EXPECT_EQ(std::get<1>(meter.lowThresholdMap_["A相电压"]), 2070.0f);
    EXPECT_EQ(std::get<0>(meter.low2ThresholdMap_["频率"]), "F01004");
    EXPECT_EQ(std::get<4>(meter.up2ThresholdMap_["频率"]), 3);
    EXPECT_EQ(meter.up2ThresholdMap_.count("A相电压"), 0u);
}

TEST_F(Examples, AlarmIdSchemeSettingsJoinTheIdentifiers) {
    const auto run = load("alarm-id-scheme.json");
    ASSERT_EQ(run.error, "");
    EXPECT_EQ(meter.mobileAlarmIdMap_["Ua"], "N1;I1;S1;");
    EXPECT_EQ(meter.mobileAlarmIdMap_["Ub"], ";I2;;");
    EXPECT_NE(run.console.find("7 NMAlarmID is missing"), std::string::npos) << run.console;
}

// The INI and YAML forms of the configuration file hold the same tables, and
// every key in them is one the report and the alarm check know.
TEST_F(Examples, IniAndYamlFilesGiveTheSameTables) {
    std::set<std::string> reportKeys;
    for (const auto& signal : ved96_report::signals()) reportKeys.insert(signal.key);

    AiSignalMap ai[2];
    AlarmSignalIdMap alarms[2];
    const char* files[] = {"7.ini", "7.yaml"};
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(files[i]);
        std::filesystem::remove_all("ini");
        std::filesystem::create_directories("ini");
        std::filesystem::copy_file(kExamples / "ini" / files[i],
                                   std::filesystem::path("ini") / files[i]);
        ved96 fresh;
        fresh.dataId_ = 7;
        const auto run = fake::initSetting(fresh, settingsExample("file-scheme.json"));
        ASSERT_EQ(run.error, "");
        EXPECT_NE(run.console.find(std::string("parse ini/yaml filename:./ini/") + files[i]),
                  std::string::npos)
            << run.console;
        ai[i] = fresh.aiSignalMap_;
        alarms[i] = fresh.alarmSignalIdMap_;
        EXPECT_EQ(ai[i].size(), 5u);
        EXPECT_EQ(alarms[i].size(), 6u);
        for (const auto& entry : ai[i]) EXPECT_EQ(reportKeys.count(entry.first), 1u) << entry.first;
        for (const auto& entry : alarms[i])
            EXPECT_EQ(reportKeys.count(entry.first), 1u) << entry.first;
    }
    EXPECT_EQ(ai[0], ai[1]);
    EXPECT_EQ(alarms[0], alarms[1]);
    EXPECT_EQ(ai[0]["A相电压"],
              std::make_pair(std::string("01101001001"), std::string("phase A voltage")));
    EXPECT_EQ(alarms[0]["C相欠压告警"], "01103006001");
}

TEST_F(Examples, FileSchemeSettingsWithoutAFileStillReachTheHost) {
    const auto run = load("file-scheme.json");
    ASSERT_EQ(run.error, "");
    EXPECT_EQ(meter.b_mode_, 1);
    EXPECT_NE(run.console.find("data_id:7 model:ved96 b ini not found\n"), std::string::npos);
    EXPECT_EQ(host.services.only("InitSetting").size(), 1u);
}

}  // namespace
