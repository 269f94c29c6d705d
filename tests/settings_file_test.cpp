// Setting loading: the configuration scheme choice and the per-device INI or
// YAML configuration file.
#include <gtest/gtest.h>
#include <json/reader.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/fake_host.h"
#include "unidata/config_file.h"
#include "ved96/ved96.h"

namespace {

Json::Value Doc(const std::string& text) {
    Json::Value doc;
    std::string errors;
    std::istringstream in(text);
    EXPECT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &doc, &errors)) << errors;
    return doc;
}

// Each test runs in a fresh temporary working directory holding ./ini/vizize/.
class FileScheme : public testing::Test {
  protected:
    void SetUp() override {
        home_ = std::filesystem::current_path();
        char pattern[] = "/tmp/ved96-settings-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        std::filesystem::current_path(dir_);
        ResetIniDirectory();
        meter.dataId_ = 7;
    }
    void TearDown() override {
        std::filesystem::current_path(home_);
        std::filesystem::remove_all(dir_);
    }

    static void ResetIniDirectory() {
        std::filesystem::remove_all("ini");
        std::filesystem::create_directories("ini/vizize");
    }
    static void Write(const std::string& path, const std::string& text) {
        std::ofstream(path, std::ios::binary) << text;
    }

    // InitSetting with standard output captured; the message of an exception
    // out of InitSetting goes to error ("" when there was none).
    std::string Load(const Json::Value& settings = Json::Value()) {
        const fake::SettingsRun run = fake::initSetting(meter, settings);
        error = run.error;
        if (run.error.empty()) result = run.result;
        return run.console;
    }

    fake::Host host;
    ved96 meter;
    std::string error;
    int result = -1;

  private:
    std::filesystem::path home_, dir_;
};

TEST_F(FileScheme, NoFileFoundStillReadsTheHostSettings) {
    host.services.initSettingResult = 4;
    EXPECT_EQ(Load(), "data_id:7 model:ved96 b ini not found\nparse ini/yaml filename:\n");
    EXPECT_EQ(error, "");
    EXPECT_EQ(result, 4);
    EXPECT_EQ(meter.data_.data_id, 7u);
    EXPECT_EQ(host.services.calls, std::vector<std::string>{"InitSetting"});
}

TEST_F(FileScheme, IniFileFillsBothTablesAndListsTheSignals) {
    Write("ini/7.ini",
          "; meter 7\n[AI]\nUa = U1,A相电压\nIb=I2\n\n[ALARM]\n"
          "A相过压告警 = A1,extra\nA相欠压告警=A2\n[other]\nx=1\n");
    EXPECT_EQ(Load(),
              "parse ini/yaml filename:./ini/7.ini\n"
              "alarmSignalIdMap_ A相过压告警 : A1\n"
              "alarmSignalIdMap_ A相欠压告警 : A2\n"
              "AI 7\n"
              "first:Ib second:I2 name:I2\n"
              "first:Ua second:U1 name:A相电压\n");
    EXPECT_EQ(error, "");
    EXPECT_EQ(meter.alarmSignalIdMap_,
              (AlarmSignalIdMap{{"A相过压告警", "A1"}, {"A相欠压告警", "A2"}}));
    EXPECT_EQ(host.services.calls, std::vector<std::string>{"InitSetting"});
}

TEST_F(FileScheme, YamlFileReadsValuesAsWrittenWithoutAlarmLines) {
    Write("ini/7.yaml",
          "AI:\n  Ua: U1,a,b\n  Ub: X\n  Uc: \",name\"\n  Ud:\n  Ue: 007\n"
          "ALARM:\n  A相过压告警: A1,extra\n");
    EXPECT_EQ(Load(),
              "parse ini/yaml filename:./ini/7.yaml\n"
              "AI 7\n"
              "first:Ua second:U1 name:a,b\n"
              "first:Ub second:X name:X\n"
              "first:Uc second: name:name\n"
              "first:Ud second:null name:null\n"
              "first:Ue second:007 name:007\n");
    EXPECT_EQ(error, "");
    EXPECT_EQ(meter.alarmSignalIdMap_, (AlarmSignalIdMap{{"A相过压告警", "A1"}}));
}

TEST_F(FileScheme, LaterLoadsKeepEarlierEntries) {
    Write("ini/7.ini", "[AI]\nUa=U1,a\n[ALARM]\nA相过压告警=A1\n");
    Load();
    // The YAML file is found first now; it has no ALARM table and no Ua.
    Write("ini/7.yaml", "AI:\n  Ub: U2,b\n");
    EXPECT_EQ(Load(),
              "parse ini/yaml filename:./ini/7.yaml\nAI 7\n"
              "first:Ua second:U1 name:a\nfirst:Ub second:U2 name:b\n");
    EXPECT_EQ(error, "");
    EXPECT_EQ(meter.alarmSignalIdMap_, (AlarmSignalIdMap{{"A相过压告警", "A1"}}));
}

TEST_F(FileScheme, SearchOrder) {
    const struct {
        std::vector<std::string> present;
        std::string found;
    } cases[] = {
        {{"ini/7.ini", "ini/7.yaml"}, "./ini/7.yaml"},
        {{"ini/ved96.yaml", "ini/7.ini"}, "./ini/7.ini"},
        {{"ini/vizize/7.yaml", "ini/ved96.ini"}, "./ini/ved96.ini"},
        {{"ini/vizize/ved96.yaml", "ini/vizize/7.ini"}, "./ini/vizize/7.ini"},
        {{"ini/vizize/ved96.ini", "ini/70.ini", "ini/VED96.ini"}, "./ini/vizize/ved96.ini"},
        {{"ini/7.yml", "ini/7"}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.found);
        ResetIniDirectory();
        for (const auto& path : c.present) Write(path, "");
        EXPECT_EQ(FindConfigFile(7, "ved96"), c.found);
    }
}

TEST(ConfigValues, SplitAtTheFirstComma) {
    const struct {
        const char* value;
        const char* signalId;
        const char* name;
    } cases[] = {
        {"X", "X", "X"}, {"a,b,c", "a", "b,c"}, {",b", "", "b"}, {"a,", "a", ""}, {"", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(SplitAiValue(c.value),
                  std::make_pair(std::string(c.signalId), std::string(c.name)));
        EXPECT_EQ(AlarmSignalId(c.value), c.signalId);
    }
}

TEST_F(FileScheme, SchemeNumberFromAppSetting) {
    const struct {
        const char* settings;
        const char* output;
        int mode;
    } cases[] = {
        {R"({"appSetting": {"b_mode": 5}})", "InitSetting 7 b_mode_:5\n", 5},
        {R"({"appSetting": {"b_mode": "5"}})", "InitSetting 7 b_mode_:5\n", 5},
        {R"({"appSetting": {"b_mode": " -3 x"}})", "InitSetting 7 b_mode_:-3\n", -3},
        {R"({"appSetting": {"b_mode": "abc"}})", "InitSetting 7 b_mode_:0\n", 0},
        // 2^32 + 5 must not wrap around into the threshold scheme.
        {R"({"appSetting": {"b_mode": "4294967301"}})", "InitSetting 7 b_mode_:2147483647\n",
         2147483647},
        {R"({"appSetting": {"b_mode": null}})", "", 4},
        {R"({"appSetting": [4]})", "", 4},
        {R"([1])", "", 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.settings);
        meter.b_mode_ = 4;
        host.services.calls.clear();
        EXPECT_EQ(Load(Doc(c.settings)), c.output);
        EXPECT_EQ(error, "");
        EXPECT_EQ(meter.b_mode_, c.mode);
        EXPECT_EQ(host.services.calls, std::vector<std::string>{"InitSetting"});
    }
}

// A bad file or setting: the reader's exception leaves InitSetting, nothing
// else changes, and a later load with good input works.
TEST_F(FileScheme, BadInputThrowsAndLeavesTheDeviceUsable) {
    const struct {
        const char* path;
        std::string text;
        const char* settings;
        const char* message;
    } cases[] = {
        {"ini/7.ini", "[AI\nUa=1\n", "{}", "unmatched '['"},
        {"ini/7.ini", "[AI]\nUa\n[ALARM]\n", "{}", "'=' character not found"},
        {"ini/7.ini", "[AI]\nUa=1\nUa=2\n[ALARM]\n", "{}", "duplicate key name"},
        {"ini/7.yaml", "AI: [unclosed\n", "{}", "yaml-cpp"},
        {"ini/7.yaml", "a plain scalar\n", "{}", "operator[] call on a scalar"},
        {"ini/7.yaml", "AI:\n  - a\n", "{}", "invalid node"},
        {"ini/7.yaml", "AI:\n  Ua: {x: 1}\n", "{}", "bad conversion"},
        // Nesting far beyond the parser's depth guard (its error says "bad file").
        {"ini/7.yaml", "AI: " + std::string(100000, '['), "{}", "bad file"},
        {"ini/7.yaml",
         [] {
             std::string bomb = "AI:\n";
             for (int i = 1; i < 1000; ++i) bomb += std::string(i, ' ') + "k:\n";
             return bomb;
         }(),
         "{}", "bad file"},
        {nullptr, "", R"({"appSetting": {"b_mode": {"x": 5}}})", "not convertible to string"},
        {nullptr, "", R"({"appSetting": {"b_mode": [5]}})", "not convertible to string"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        ResetIniDirectory();
        if (c.path != nullptr) Write(c.path, c.text);
        meter.b_mode_ = 1;
        meter.aiSignalMap_ = {{"Uold", {"O1", "old"}}};
        meter.alarmSignalIdMap_ = {{"old", "O1"}};
        host.services.calls.clear();

        Load(Doc(c.settings));
        EXPECT_NE(error.find(c.message), std::string::npos) << error;
        EXPECT_EQ(meter.b_mode_, 1);
        EXPECT_EQ(meter.aiSignalMap_, (AiSignalMap{{"Uold", {"O1", "old"}}}));
        EXPECT_EQ(meter.alarmSignalIdMap_, (AlarmSignalIdMap{{"old", "O1"}}));
        EXPECT_TRUE(host.services.calls.empty());

        ResetIniDirectory();
        Write("ini/7.yaml", "AI:\n  Ua: U1\n");
        Load();
        EXPECT_EQ(error, "");
        EXPECT_EQ(meter.aiSignalMap_.count("Ua"), 1u);
        EXPECT_EQ(host.services.calls, std::vector<std::string>{"InitSetting"});
    }
}

TEST_F(FileScheme, IniWithoutAlarmFailsAfterStoringTheAiEntries) {
    Write("ini/7.ini", "[AI]\nUa=U1,a\n");
    EXPECT_EQ(Load(), "parse ini/yaml filename:./ini/7.ini\n");
    EXPECT_NE(error.find("No such node (ALARM)"), std::string::npos) << error;
    EXPECT_EQ(meter.aiSignalMap_, (AiSignalMap{{"Ua", {"U1", "a"}}}));
    EXPECT_TRUE(host.services.calls.empty());
}

// A section header that is there counts, empty or not; a missing one still
// fails.
TEST_F(FileScheme, EmptyIniSectionsArePresent) {
    const struct {
        const char* text;
        const char* console;
        AiSignalMap ai;
    } cases[] = {
        {"[AI]\n[ALARM]\n", "parse ini/yaml filename:./ini/7.ini\nAI 7\n", {}},
        {"[ AI ]\n; none yet\n\n[ALARM]", "parse ini/yaml filename:./ini/7.ini\nAI 7\n", {}},
        {"[AI]\nUa=U1,a\n[ALARM]\n",
         "parse ini/yaml filename:./ini/7.ini\nAI 7\nfirst:Ua second:U1 name:a\n",
         {{"Ua", {"U1", "a"}}}},
        {"[ALARM]\nA相过压告警=A1\n[AI]\n",
         "parse ini/yaml filename:./ini/7.ini\nalarmSignalIdMap_ A相过压告警 : A1\nAI 7\n",
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        meter.aiSignalMap_.clear();
        host.services.calls.clear();
        Write("ini/7.ini", c.text);
        EXPECT_EQ(Load(), c.console);
        EXPECT_EQ(error, "");
        EXPECT_EQ(meter.aiSignalMap_, c.ai);
        EXPECT_EQ(host.services.calls, std::vector<std::string>{"InitSetting"});
    }
    // Only a header line makes a section: the name elsewhere does not.
    Write("ini/7.ini", "[AI]\nALARM=x\n; [ALARM]\n");
    Load();
    EXPECT_NE(error.find("No such node (ALARM)"), std::string::npos) << error;
}

}  // namespace
