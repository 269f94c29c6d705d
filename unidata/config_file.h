// The per-device configuration file of the file scheme: an INI or YAML file
// under ./ini/ or ./ini/vizize/, named by data id or device type, carrying the
// AI table (report key -> "signal id,signal name") and the ALARM table
// (alarm name -> "signal id[,ignored]").
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

// The same alias as in unidata_device.h, so this header stands on its own.
// report key -> (signal id, signal name)
using AiSignalMap = std::map<std::string, std::pair<std::string, std::string>>;
using AlarmSignalIdMap = std::map<std::string, std::string>;

// Splits an AI value at its first comma into (signal id, signal name); the
// name may hold further commas. Without a comma both are the whole value.
std::pair<std::string, std::string> SplitAiValue(const std::string& value);

// The signal id of an ALARM value: the text before its first comma, or the
// whole value.
std::string AlarmSignalId(const std::string& value);

// The eight places a device's configuration file may be, in the order they
// are tried.
std::vector<std::string> ConfigFileCandidates(unsigned int dataId, const std::string& deviceType);

// The first existing configuration file, relative to the working directory:
// ./ini/ before ./ini/vizize/, data id before device type, .yaml before .ini.
// Empty when there is none.
std::string FindConfigFile(unsigned int dataId, const std::string& deviceType);

// Reads the AI and ALARM tables of an INI file. Both sections must be there.
// Prints one "alarmSignalIdMap_" line per ALARM entry. Reader errors
// propagate; entries stored before them stay.
void ReadIniConfig(const std::string& path, AiSignalMap& ai, AlarmSignalIdMap& alarms);

// Reads the optional AI and ALARM mappings of a YAML file. Reader errors
// (including too deep nesting) propagate; entries stored before them stay.
void ReadYamlConfig(const std::string& path, AiSignalMap& ai, AlarmSignalIdMap& alarms);

// File scheme: finds the device's configuration file, reads it into the two
// maps (which only grow or change values) and lists the AI map on the console.
void LoadConfigFile(unsigned int dataId, const std::string& deviceType, AiSignalMap& ai,
                    AlarmSignalIdMap& alarms);
