#include "common/json_text.h"

#include <json/writer.h>

namespace vedhost {
namespace {

std::string writeJson(const Json::Value& value, bool utf8, int precision) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    if (utf8) builder["emitUTF8"] = true;
    if (precision > 0) builder["precision"] = precision;
    return Json::writeString(builder, value);
}

// Arrays and objects on one line with a space after each comma and colon.
std::string flatJson(const Json::Value& value) {
    if (value.empty() || (!value.isArray() && !value.isObject())) return presentedJson(value);
    std::string out = value.isArray() ? "[" : "{";
    for (auto it = value.begin(); it != value.end(); ++it) {
        if (it != value.begin()) out += ", ";
        if (value.isObject()) out += presentedJson(Json::Value(it.name())) + ": ";
        out += flatJson(*it);
    }
    return out + (value.isArray() ? "]" : "}");
}

// `column`: where on its line the value starts.
void writePretty(const Json::Value& value, std::size_t indent, std::size_t column,
                 std::string& out) {
    constexpr std::size_t kWidth = 80;
    const std::string flat = flatJson(value);
    if (column + flat.size() <= kWidth || value.empty() ||
        (!value.isArray() && !value.isObject())) {
        out += flat;
        return;
    }
    out += value.isArray() ? "[\n" : "{\n";
    for (auto it = value.begin(); it != value.end(); ++it) {
        if (it != value.begin()) out += ",\n";
        std::string lead(indent + 2, ' ');
        if (value.isObject()) lead += presentedJson(Json::Value(it.name())) + ": ";
        out += lead;
        writePretty(*it, indent + 2, lead.size(), out);
    }
    out += "\n" + std::string(indent, ' ') + (value.isArray() ? "]" : "}");
}

}  // namespace

std::string compactJson(const Json::Value& value) { return writeJson(value, true, 0); }

std::string presentedJson(const Json::Value& value) { return writeJson(value, true, 15); }

std::string asciiJson(const Json::Value& value) { return writeJson(value, false, 0); }

std::string prettyJson(const Json::Value& value) {
    std::string out;
    writePretty(value, 0, 0, out);
    return out + "\n";
}

}  // namespace vedhost
