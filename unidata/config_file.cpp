#include "unidata/config_file.h"

#include <unistd.h>
#include <yaml-cpp/yaml.h>

#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <fstream>
#include <iostream>
#include <locale>

namespace {

struct Candidate {
    const char* directory;
    bool byDataId;  // named by data id, else by device type
    const char* extension;
};

// Where a device's configuration file may be, in the order it is looked for.
constexpr Candidate kCandidates[] = {
    {"./ini/", true, ".yaml"},         {"./ini/", true, ".ini"},
    {"./ini/", false, ".yaml"},        {"./ini/", false, ".ini"},
    {"./ini/vizize/", true, ".yaml"},  {"./ini/vizize/", true, ".ini"},
    {"./ini/vizize/", false, ".yaml"}, {"./ini/vizize/", false, ".ini"},
};

bool EndsWith(const std::string& text, const std::string& ending) {
    return text.size() >= ending.size() &&
           text.compare(text.size() - ending.size(), ending.size(), ending) == 0;
}

// True when the INI file has a header line for the section `name`, read as
// the INI reader reads headers: a line that starts with '[' after blanks, the
// name up to the first ']', blanks around it trimmed.
bool HasIniSectionHeader(const std::string& path, const std::string& name) {
    std::ifstream in(path);
    const auto trim = [](const std::string& text) {
        const auto first = text.find_first_not_of(" \t\r\n");
        if (first == std::string::npos) return std::string();
        return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
    };
    for (std::string line; std::getline(in, line);) {
        line = trim(line);
        if (line.empty() || line[0] != '[') continue;
        const auto end = line.find(']');
        if (end != std::string::npos && trim(line.substr(1, end - 1)) == name) return true;
    }
    return false;
}

// A section of the INI tree. The reader drops sections without entries, yet
// a header that is there makes its section present, empty or not; a section
// without a header fails with the tree's "No such node". A copy: the file is
// read once per setting load, and the plug-in keeps no tree of its own that
// would be torn down at exit or unload.
boost::property_tree::ptree IniSection(const boost::property_tree::ptree& tree,
                                       const std::string& name, const std::string& path) {
    if (const auto section = tree.get_child_optional(name)) return *section;
    if (HasIniSectionHeader(path, name)) return {};
    return tree.get_child(name);
}

}  // namespace

std::pair<std::string, std::string> SplitAiValue(const std::string& value) {
    const std::string::size_type comma = value.find(',');
    if (comma == std::string::npos) return {value, value};
    return {value.substr(0, comma), value.substr(comma + 1)};
}

std::string AlarmSignalId(const std::string& value) { return value.substr(0, value.find(',')); }

std::vector<std::string> ConfigFileCandidates(unsigned int dataId, const std::string& deviceType) {
    const std::string id = std::to_string(dataId);
    std::vector<std::string> paths;
    for (const Candidate& candidate : kCandidates) {
        std::string path = candidate.directory;
        path += candidate.byDataId ? id : deviceType;
        path += candidate.extension;
        paths.push_back(std::move(path));
    }
    return paths;
}

std::string FindConfigFile(unsigned int dataId, const std::string& deviceType) {
    // Existence is enough; an unreadable file fails in its reader.
    for (const std::string& path : ConfigFileCandidates(dataId, deviceType))
        if (access(path.c_str(), F_OK) == 0) return path;
    return std::string();
}

void ReadIniConfig(const std::string& path, AiSignalMap& ai, AlarmSignalIdMap& alarms) {
    boost::property_tree::ptree tree;
    boost::property_tree::ini_parser::read_ini(path, tree, std::locale());
    for (const auto& entry : IniSection(tree, "AI", path))
        ai[entry.first] = SplitAiValue(entry.second.data());
    for (const auto& entry : IniSection(tree, "ALARM", path)) {
        const std::string& signalId = alarms[entry.first] = AlarmSignalId(entry.second.data());
        std::cout << "alarmSignalIdMap_ " << entry.first << " : " << signalId << std::endl;
    }
}

void ReadYamlConfig(const std::string& path, AiSignalMap& ai, AlarmSignalIdMap& alarms) {
    // yaml-cpp refuses nesting deeper than its depth guard with an exception,
    // so a hostile file cannot exhaust the stack.
    const YAML::Node root = YAML::LoadFile(path);
    const YAML::Node aiTable = root["AI"];
    if (aiTable.IsDefined()) {
        for (const auto& entry : aiTable)
            ai[entry.first.as<std::string>()] = SplitAiValue(entry.second.as<std::string>());
    }
    const YAML::Node alarmTable = root["ALARM"];
    if (alarmTable.IsDefined()) {
        for (const auto& entry : alarmTable)
            alarms[entry.first.as<std::string>()] = AlarmSignalId(entry.second.as<std::string>());
    }
}

void LoadConfigFile(unsigned int dataId, const std::string& deviceType, AiSignalMap& ai,
                    AlarmSignalIdMap& alarms) {
    const std::string path = FindConfigFile(dataId, deviceType);
    if (path.empty())
        std::cout << "data_id:" << dataId << " model:" << deviceType << " b ini not found"
                  << std::endl;
    std::cout << "parse ini/yaml filename:" << path << std::endl;
    if (path.empty()) return;

    if (EndsWith(path, ".yaml"))
        ReadYamlConfig(path, ai, alarms);
    else if (EndsWith(path, ".ini"))
        ReadIniConfig(path, ai, alarms);

    std::cout << "AI " << dataId << std::endl;
    for (const auto& [key, signal] : ai)
        std::cout << "first:" << key << " second:" << signal.first << " name:" << signal.second
                  << std::endl;
}
