// Helpers for the option rows, and --help and the reference made from them.
#include "config/options.h"

#include <json/writer.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <sstream>

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

std::string valueText(const Json::Value& value) {
    std::string text = asciiJson(value);
    if (text.size() > 40) text = text.substr(0, 37) + "...";
    return text;
}

Json::Value textOrNull(const std::string& text) {
    return text.empty() ? Json::Value() : Json::Value(text);
}

}  // namespace vedhost
