// The scheduler's bookkeeping of rounds: where a meter stands under --rounds,
// and the text of a write's outcome.
#include "lines/scheduler.h"

#include <gtest/gtest.h>

namespace vedhost {
namespace {

TEST(RoundsStanding, DoneAfterNCompletedFailedAfterNSilentInARow) {
    const struct {
        long completed, silentInARow;
        Standing standing;
    } rows[] = {
        {0, 0, Standing::Running}, {0, 2, Standing::Running},
        {0, 3, Standing::Failed},  // never answered: given up after 3 attempts
        {2, 0, Standing::Running}, {3, 0, Standing::Done},
        {4, 0, Standing::Done},    {1, 2, Standing::Running},  // may still recover
        {2, 1, Standing::Running},                             // recovered: runs on
        {1, 3, Standing::Failed},                              // fell silent for good
        {3, 3, Standing::Done},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(row.completed) + " completed, " +
                     std::to_string(row.silentInARow) + " silent");
        EXPECT_EQ(standing(row.completed, row.silentInARow, 3), row.standing);
    }
}

TEST(WriteOutcome, TextForEachResult) {
    EXPECT_EQ(writeOutcome(-1), "no reply");
    EXPECT_EQ(writeOutcome(1), "acknowledged");
    EXPECT_EQ(writeOutcome(3), "refused");
    EXPECT_EQ(writeOutcome(0), "unknown outcome 0");
}

}  // namespace
}  // namespace vedhost
