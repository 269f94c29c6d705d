// English for the reference documents: what each signal means and what the
// report's fixed texts say. Keyed by signal id and by text; the generator
// refuses to write a reference with a signal or a text missing here.
#pragma once

#include <string>

namespace docgen {

// The meaning of a signal, or "" when none is written down.
std::string meaning(const std::string& id);

// The English of a report text ("告警" -> "alarm"); the text itself when it
// is already plain ASCII, "" when none is written down.
std::string english(const std::string& text);

}  // namespace docgen
