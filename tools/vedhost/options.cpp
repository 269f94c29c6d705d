// Helpers for the option rows, and --help and the reference made from them.
#include "options.h"

#include <json/writer.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <sstream>

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
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    std::string text = Json::writeString(builder, value);
    if (text.size() > 40) text = text.substr(0, 37) + "...";
    return text;
}

Json::Value textOrNull(const std::string& text) {
    return text.empty() ? Json::Value() : Json::Value(text);
}

bool parseLong(const std::string& text, long min, long max, long& value) {
    if (text.empty() || text.size() > 12) return false;
    const bool digits = std::all_of(text.begin(), text.end(),
                                    [](char c) { return (c >= '0' && c <= '9') || c == '-'; });
    if (!digits) return false;
    errno = 0;
    char* end = nullptr;
    const long n = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || n < min || n > max) return false;
    value = n;
    return true;
}

bool parseHostPort(const std::string& text, std::string& host, int& port) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    long n = 0;
    if (!parseLong(text.substr(colon + 1), 1, 65535, n)) return false;
    host = text.substr(0, colon);
    port = static_cast<int>(n);
    return true;
}

}  // namespace vedhost
