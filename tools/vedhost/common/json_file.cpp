#include "common/json_file.h"

#include <json/reader.h>
#include <json/writer.h>

#include <algorithm>
#include <fstream>
#include <memory>

namespace vedhost {
namespace {

// True when a string anywhere in the document, member names included, holds a
// NUL: such a text would be cut short where it is used as a path or name.
bool holdsNul(const Json::Value& value) {
    if (value.isString()) {
        const char* begin = nullptr;
        const char* end = nullptr;
        value.getString(&begin, &end);
        return std::find(begin, end, '\0') != end;
    }
    if (value.isArray()) {
        for (const Json::Value& item : value)
            if (holdsNul(item)) return true;
    }
    if (value.isObject()) {
        for (auto it = value.begin(); it != value.end(); ++it) {
            const std::string name = it.name();
            if (name.find('\0') != std::string::npos || holdsNul(*it)) return true;
        }
    }
    return false;
}

}  // namespace

bool readFile(const std::string& path, std::string& text, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read " + path;
        return false;
    }
    // Read in pieces up to the limit, so that a device such as /dev/zero or an
    // endless pipe is refused instead of filling the memory.
    std::string content;
    char piece[65536];
    while (in.read(piece, sizeof piece) || in.gcount() > 0) {
        content.append(piece, static_cast<std::size_t>(in.gcount()));
        if (content.size() > kMaxFileBytes) {
            error = path + ": larger than 16 MiB";
            return false;
        }
    }
    if (in.bad()) {
        error = "cannot read " + path;
        return false;
    }
    text = std::move(content);
    return true;
}

std::string firstLine(const std::string& text) {
    return text.substr(0, text.find_first_of("\r\n"));
}

bool parseJson(const std::string& text, Json::Value& value, std::string& error) {
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    // One document and nothing after it; a repeated key is a mistake, not a
    // choice between two values.
    builder["failIfExtra"] = true;
    builder["rejectDupKeys"] = true;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    bool parsed = false;
    try {
        parsed = reader->parse(text.data(), text.data() + text.size(), &value, &errors);
    } catch (const Json::Exception& e) {
        // The reader throws for nesting beyond its stack limit.
        error = std::string("bad JSON: ") + e.what();
        return false;
    }
    if (!parsed) {
        // The reader's report spans lines; the first one names the place.
        error = "bad JSON: " + errors.substr(0, errors.find('\n'));
        std::size_t more = errors.find('\n');
        if (more != std::string::npos && more + 1 < errors.size()) {
            std::string next = errors.substr(more + 1);
            next = next.substr(0, next.find('\n'));
            next.erase(0, next.find_first_not_of(' '));
            error += " " + next;
        }
        return false;
    }
    if (holdsNul(value)) {
        error = "bad JSON: a NUL character inside a string";
        return false;
    }
    return true;
}

bool loadJsonObject(const std::string& what, const std::string& path, Json::Value& object,
                    std::string& error) {
    std::string text;
    if (!readFile(path, text, error)) return false;
    if (!parseJson(text, object, error)) {
        error = what + " " + path + ": " + error;
        return false;
    }
    if (!object.isObject()) {
        error = what + " " + path + ": expected a JSON object";
        return false;
    }
    return true;
}

std::string pathFrom(const std::string& folder, const std::string& name) {
    if (folder.empty() || name.empty() || name == "-" || name[0] == '/') return name;
    return folder.back() == '/' ? folder + name : folder + "/" + name;
}

std::string folderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

}  // namespace vedhost
