// The week the supply is assessed over: from Monday 00:00 to the next Monday
// 00:00 in the controller's local time (TZ), so 168 hours, or 167 and 169 in
// the weeks the clocks change. Weeks are named as ISO 8601 does, "2026-W49":
// the year of the week's Thursday and the week's number in that year.
#pragma once

#include <cstdint>
#include <string>

namespace vedhost::quality {

struct Week {
    std::int64_t start = 0;  // unix seconds of its Monday 00:00, local time
    std::int64_t end = 0;    // of the next Monday 00:00
    int isoYear = 0, isoWeek = 0;

    std::string label() const;  // "2026-W49"
    std::int64_t hours() const { return (end - start) / 3600; }
};

// The week a unix time falls in.
Week weekOf(std::int64_t unixSeconds);
// The week after, and the one before.
Week nextWeek(const Week& week);
Week previousWeek(const Week& week);

// "2026-W49" (the week number 01 to 52 or 53, as that year has) as a week;
// false when the text is no week.
bool parseWeek(const std::string& text, Week& week);

}  // namespace vedhost::quality
