// Helpers for the option rows: where a value came from and how a message
// shows it.
#include "config/option_rows.h"

#include <algorithm>

#include "common/json_file.h"
#include "common/json_text.h"

namespace vedhost {

const char* sourceName(Source source) {
    switch (source) {
        case Source::Environment:
            return "environment";
        case Source::Document:
            return "document";
        case Source::CommandLine:
            return "command line";
        case Source::Default:
            break;
    }
    return "default";
}

std::string Sources::spelled(const char* member, const char* flag) const {
    const auto it = given_.find(member);
    return it != given_.end() && it->second == Source::CommandLine ? flag : member;
}

bool Sources::givenInDocument(const std::string& prefix) const {
    return std::any_of(given_.begin(), given_.end(), [&](const auto& given) {
        return given.first.rfind(prefix, 0) == 0 && given.second == Source::Document;
    });
}

bool Sources::readNamedFile(const char* member, const char* flag, const std::string& path,
                            std::string& text, std::string& error) const {
    if (readFile(path, text, error)) return true;
    error = spelled(member, flag) + ": " + error;
    return false;
}

std::string valueText(const Json::Value& value) {
    std::string text = asciiJson(value);
    if (text.size() > 40) text = text.substr(0, 37) + "...";
    return text;
}

Json::Value textOrNull(const std::string& text) {
    return text.empty() ? Json::Value() : Json::Value(text);
}

}  // namespace vedhost
