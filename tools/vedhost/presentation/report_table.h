// The --show table: a meter's report laid out for a person. Each field shows
// the report's key, the signal's label (the user's, else its ASCII id) and its
// value as the presentation makes it (scaled, rounded, with its unit). Fields
// are grouped in sections and set in columns that fit the width in terminal
// columns (CJK characters count two); a line breaks only between fields.
// A signal the report lacks is left out.
#pragma once

#include <json/value.h>

#include <string>

#include "presentation/presentation.h"

namespace vedhost {

std::string reportTable(const Json::Value& report, unsigned dataId,
                        const Presentation& presentation, std::size_t width = 80);

}  // namespace vedhost
