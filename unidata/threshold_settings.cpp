#include "unidata/threshold_settings.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <iostream>

const Json::Value* SettingMember(const Json::Value& object, const char* key) {
    if (!object.isObject()) return nullptr;
    const Json::Value* member = object.find(key, key + std::strlen(key));
    return member != nullptr && !member->isNull() ? member : nullptr;
}

std::string SettingText(const Json::Value& value) { return value.asString(); }

int SettingInt(const std::string& text) {
    // strtol saturates at the long range; an int that wrapped around could
    // turn an absurd level or scheme number into a meaningful one.
    const long number = std::strtol(text.c_str(), nullptr, 10);
    if (number > INT_MAX) return INT_MAX;
    if (number < INT_MIN) return INT_MIN;
    return static_cast<int>(number);
}

float SettingFloat(const std::string& text) {
    return static_cast<float>(std::strtod(text.c_str(), nullptr));
}

namespace {

// The text of a member that is present and not null; empty otherwise.
std::string MemberText(const Json::Value& element, const char* key) {
    const Json::Value* member = SettingMember(element, key);
    return member != nullptr ? SettingText(*member) : std::string();
}

struct ThresholdLimit {
    const char* thresholdKey;
    const char* recoveryKey;
    const char* levelKey;
    const char* suffix;
    ThresholdMap* ThresholdMaps::*map;
};

// The four limit kinds, in the order each element is loaded.
constexpr ThresholdLimit kThresholdLimits[] = {
    {"UpValue", "UpReconverValue", "UpAlarmLevel", "001", &ThresholdMaps::up},
    {"Up2Value", "Up2ReconverValue", "Up2AlarmLevel", "002", &ThresholdMaps::up2},
    {"LowValue", "LowReconverValue", "LowAlarmLevel", "003", &ThresholdMaps::low},
    {"Low2Value", "Low2ReconverValue", "Low2AlarmLevel", "004", &ThresholdMaps::low2},
};

// The three identifiers joined into a signal's alarm identification text.
constexpr const char* kAlarmIdKeys[] = {"NMAlarmID", "ID", "SignalNumber"};

}  // namespace

void LoadThresholdLimit(const Json::Value& element, const std::string& signalName,
                        const std::string& id, const char* thresholdKey, const char* recoveryKey,
                        const char* levelKey, const char* suffix, ThresholdMap& map) {
    // All three keys must be there before any is converted: a limit left out
    // is skipped even when one of its values could not be read as text.
    const Json::Value* thresholdValue = SettingMember(element, thresholdKey);
    const Json::Value* recoveryValue = SettingMember(element, recoveryKey);
    const Json::Value* levelValue = SettingMember(element, levelKey);
    if (thresholdValue == nullptr || recoveryValue == nullptr || levelValue == nullptr) return;
    const std::string threshold = SettingText(*thresholdValue);
    const std::string recovery = SettingText(*recoveryValue);
    const std::string level = SettingText(*levelValue);
    if (threshold.empty() || recovery.empty() || level.empty()) return;
    map[signalName] = ThresholdEntry(id + suffix, SettingFloat(threshold), SettingFloat(recovery),
                                     false, SettingInt(level));
}

void LoadThresholdSettings(const Json::Value& settings, const ThresholdMaps& maps) {
    for (const ThresholdLimit& limit : kThresholdLimits) (maps.*limit.map)->clear();

    const Json::Value* table = SettingMember(settings, "thresholdSetting");
    if (table == nullptr || !table->isObject()) return;
    for (const Json::Value& element : *table) {
        if (!element.isObject()) continue;
        const std::string id = MemberText(element, "ID");
        if (id.empty()) continue;
        const std::string signalName = MemberText(element, "SignalName");
        if (signalName.empty()) continue;
        for (const ThresholdLimit& limit : kThresholdLimits)
            LoadThresholdLimit(element, signalName, id, limit.thresholdKey, limit.recoveryKey,
                               limit.levelKey, limit.suffix, *(maps.*limit.map));
    }
}

void LoadAlarmIdSettings(const Json::Value& settings, unsigned int dataId,
                         std::map<std::string, int>& levels, std::map<std::string, float>& values,
                         std::map<std::string, std::string>& alarmIds,
                         std::map<std::string, std::string>& signalNames) {
    std::cout << "here 1" << std::endl;
    const Json::Value* table = SettingMember(settings, "thresholdSetting");
    if (table == nullptr) return;
    std::cout << "here 2" << std::endl;
    // A string, number or boolean has no members; an array's members have no
    // names, so looking one up by name throws like any other malformed setting.
    for (auto it = table->begin(); it != table->end(); ++it) {
        const std::string key = it.name();
        std::cout << "here " << key << std::endl;
        const Json::Value& element = (*table)[key];
        if (!element.isObject()) continue;

        if (const Json::Value* name = SettingMember(element, "SignalName"))
            signalNames[key] = SettingText(*name);

        std::string text;
        for (const char* idKey : kAlarmIdKeys) {
            if (const Json::Value* id = SettingMember(element, idKey))
                text += SettingText(*id);
            else
                std::cout << dataId << ' ' << idKey << " is missing" << std::endl;
            text += ';';
        }
        std::cout << "mobile:" << key << ':' << text << " level:" << levels[key]
                  << " value:" << static_cast<double>(values[key]) << std::endl;
        alarmIds[key] = text;
    }
}
