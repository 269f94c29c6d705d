// Settings read from the host's settings document: the text form of JSON
// values, the threshold scheme (four limit maps) and the alarm identification
// scheme (alarm id texts per signal, shown on the console).
#pragma once

#include <json/value.h>

#include <map>
#include <string>
#include <tuple>

// The same aliases as in unidata_device.h, so this header stands on its own.
// (alarm id, threshold, recovery value, alarm active, alarm level)
using ThresholdEntry = std::tuple<std::string, float, float, bool, int>;
using ThresholdMap = std::map<std::string, ThresholdEntry>;

// The member `key` of an object, or nullptr when the value is not an object or
// the member is missing or null.
const Json::Value* SettingMember(const Json::Value& object, const char* key);

// Text form of a setting: a string unchanged, an integer in decimal, a real
// number in the JSON library's text form, a boolean as "true" or "false".
// Throws Json::LogicError for an object or an array.
std::string SettingText(const Json::Value& value);

// Integer read from text as strtol in base 10 reads it (blanks and sign
// allowed, longest valid prefix, no digits give 0), held to the int range.
int SettingInt(const std::string& text);

// Number read from text as strtod reads it, rounded to single precision.
float SettingFloat(const std::string& text);

// The four maps of the threshold scheme; none may be null.
struct ThresholdMaps {
    ThresholdMap* up;    // upper limit, alarm id suffix "001"
    ThresholdMap* up2;   // second upper limit, "002"
    ThresholdMap* low;   // lower limit, "003"
    ThresholdMap* low2;  // second lower limit, "004"
};

// Loads one limit of one "thresholdSetting" element into map[signalName]:
// alarm id = id + suffix, threshold and recovery value from their keys, alarm
// not active, level from its key. Leaves the map alone unless all three keys
// are present, not null and have a non-empty text.
void LoadThresholdLimit(const Json::Value& element, const std::string& signalName,
                        const std::string& id, const char* thresholdKey, const char* recoveryKey,
                        const char* levelKey, const char* suffix, ThresholdMap& map);

// Threshold scheme: empties the four maps, then loads every object member of
// settings["thresholdSetting"] that has a non-empty "ID" and "SignalName".
// Prints nothing. JSON text conversion errors propagate; entries stored
// before them stay.
void LoadThresholdSettings(const Json::Value& settings, const ThresholdMaps& maps);

// Alarm identification scheme: for every member K of
// settings["thresholdSetting"], stores "NMAlarmID;ID;SignalNumber;" in
// alarmIds[K] and "SignalName" in signalNames[K], and prints each signal with
// the host's current level and value for it. levels and values are the host's
// tables; reading them by subscript adds K with 0 when absent.
void LoadAlarmIdSettings(const Json::Value& settings, unsigned int dataId,
                         std::map<std::string, int>& levels, std::map<std::string, float>& values,
                         std::map<std::string, std::string>& alarmIds,
                         std::map<std::string, std::string>& signalNames);
