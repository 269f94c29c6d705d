// The line threads' sign of life the service watchdog reads, and the status
// line systemd shows.
#include "lines/heartbeat.h"

#include <gtest/gtest.h>

#include "service/service_notify.h"

namespace vedhost {
namespace {

using namespace std::chrono_literals;

TEST(Heartbeat, StuckOnlyWhenBusyWithoutABeatPastTheLimit) {
    const auto t0 = Heartbeat::Clock::now();
    const struct {
        const char* what;
        bool started;  // beaten or rested at t0
        bool resting;
        Heartbeat::Clock::duration age;
        bool stuck;
    } rows[] = {
        {"a thread not started", false, false, 1h, false},
        {"busy within the limit", true, false, 999ms, false},
        {"busy at the limit", true, false, 1000ms, false},
        {"busy just past the limit", true, false, 1001ms, true},
        {"waiting for its next round", true, true, 1h, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Heartbeat heart;
        if (row.started) row.resting ? heart.rest(t0) : heart.beat(t0);
        EXPECT_EQ(heart.stuck(1s, t0 + row.age), row.stuck);
    }
    // A beat after a long rest makes the thread busy from then on.
    Heartbeat heart;
    heart.rest(t0);
    heart.beat(t0 + 1h);
    EXPECT_FALSE(heart.stuck(1s, t0 + 1h + 1s));
    EXPECT_TRUE(heart.stuck(1s, t0 + 1h + 2s));
}

TEST(ServiceStatus, CountsTheMetersAnswering) {
    EXPECT_EQ(answeringStatus(3, 2), "2 of 3 meters answering");
    EXPECT_EQ(answeringStatus(1, 0), "0 of 1 meter answering");
}

}  // namespace
}  // namespace vedhost
