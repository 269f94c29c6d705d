// Reading vedhost's JSON files: the --config document, settings documents,
// presentation files. One strict reader for all of them, and a file reader
// that refuses endless or huge inputs.
#pragma once

#include <json/value.h>

#include <cstddef>
#include <string>

#include "common/json_text.h"

namespace vedhost {

// Parses one JSON document strictly: nothing may follow it, no key may repeat
// within an object, no string may hold a NUL, nesting stops at the reader's
// limit. `//` and `/* */` comments are allowed, so a person can explain a
// document inside it. False with a message starting "bad JSON" otherwise.
bool parseJson(const std::string& text, Json::Value& value, std::string& error);

// The largest file vedhost reads: far above any real settings or
// configuration document.
constexpr std::size_t kMaxFileBytes = 16u << 20;

// Reads a whole file of at most kMaxFileBytes; false with a reason when it
// cannot be read or is larger.
bool readFile(const std::string& path, std::string& text, std::string& error);
// The first line of a text, without its end: where a secret file keeps it.
std::string firstLine(const std::string& text);

// Reads a file holding one JSON object; the reason names the file.
// `what` says what the file is for ("settings").
bool loadJsonObject(const std::string& what, const std::string& path, Json::Value& object,
                    std::string& error);

// A file name from a document in `folder`: relative names are taken from the
// document's folder, absolute ones and "-" (stdout) as they are. An empty
// folder leaves the name as given (the command line's names are relative to
// the working directory).
std::string pathFrom(const std::string& folder, const std::string& name);

// The folder of a file, for pathFrom(): "/etc/ved96" for "/etc/ved96/a.json",
// "." for "a.json".
std::string folderOf(const std::string& path);

}  // namespace vedhost
