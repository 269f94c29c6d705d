// JSON as text, in the few shapes vedhost writes it: on one line for the
// event log, reports and messages; on one line with numbers kept short for
// what a person or a broker reads; indented for a person reading a document.
#pragma once

#include <json/value.h>

#include <string>

namespace vedhost {

// One JSON document on one line, UTF-8 kept as it is, numbers to the 17
// significant digits that give a double back exactly; no trailing newline.
std::string compactJson(const Json::Value& value);

// The same with numbers to at most 15 significant digits, so that a scaled
// 230.1 does not come out as 230.09999999999999.
std::string presentedJson(const Json::Value& value);

// One line with anything but ASCII escaped (\u00e9), for messages that may
// reach a terminal of any encoding.
std::string asciiJson(const Json::Value& value);

// A document as a person reads it: two-space indents, `"key": value`, and
// arrays and objects that fit in 80 columns kept on one line. Numbers with
// at most 15 significant digits, UTF-8 as it is; ends with a newline.
std::string prettyJson(const Json::Value& value);

}  // namespace vedhost
