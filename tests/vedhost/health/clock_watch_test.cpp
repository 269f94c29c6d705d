// What the operator reads of the wall clock's steps: one line each way, none
// for a clock that only moves with the monotonic one or is slewed.
#include "health/clock_watch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

namespace vedhost {
namespace {

constexpr std::int64_t kS = 1000;
constexpr std::int64_t kBase = 1796000000 * kS;

TEST(ClockWatch, OneLineForEachStepAndTheCount) {
    struct Case {
        const char* name;
        std::vector<ClockReading> readings;  // wall, mono
        std::vector<std::string> lines;      // what each reading adds, by hand
    } cases[] = {
        {"time passing, slewed by 4 s",
         {{kBase, 0}, {kBase + 100 * kS, 100 * kS}, {kBase + 204 * kS, 200 * kS}},
         {"", "", ""}},
        {"20 years ahead and back",
         {{kBase, 0},
          {kBase + 7300 * 86400 * kS + kS, kS},
          {kBase + 7300 * 86400 * kS + 16 * kS, 16 * kS},
          {kBase + 17 * kS, 17 * kS}},
         {"", "stepped 7300 days forward", "", "stepped 7300 days back"}},
        {"6 s back", {{kBase, 0}, {kBase + 4 * kS, 10 * kS}}, {"", "stepped 6 s back"}},
        {"a clock not set, then set",
         {{10 * kS, 0}, {20 * kS, 10 * kS}, {kBase, 11 * kS}},
         {"reads 1970-01-01", "", "stepped 20787 days forward"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ClockWatch watch(kBase - 86400 * kS);
        long steps = 0;
        for (std::size_t i = 0; i < c.readings.size(); ++i) {
            std::ostringstream out;
            watch.check(c.readings[i], out);
            const std::string text = out.str();
            const std::string& want = c.lines[i];
            if (want.empty()) {
                EXPECT_EQ(text, "") << "reading " << i;
            } else {
                EXPECT_NE(text.find(want), std::string::npos) << text;
                EXPECT_EQ(text.rfind("vedhost: clock: the wall clock ", 0), 0u) << text;
                EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1);
                steps += want.find("stepped") != std::string::npos;
            }
        }
        EXPECT_EQ(watch.steps(), steps);
    }
}

}  // namespace
}  // namespace vedhost
