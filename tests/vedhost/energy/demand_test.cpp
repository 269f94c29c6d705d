// Demand windows fed a minute at a time. The load is given as the counter's
// counts a minute (0.1 kWh each: 5 counts a minute is 0.5 kWh a minute, 30
// kW), and every answer is that arithmetic done by hand, window by window.
#include "energy/demand.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <vector>

#include "local_zone.h"

namespace vedhost::energy {
namespace {

using test::LocalZone;
using test::utc;

// 08:00 UTC: the windows of every length start here.
const std::int64_t kBase = utc("2024-05-01T08:00:00");

// 30 kW (5 counts a minute) but for minutes 10..19 at 60 kW (10 a minute).
int burst(int minute) { return minute >= 10 && minute < 20 ? 10 : 5; }

// Readings once a minute from `from` to `to` (minutes from 08:00): the
// counter as `rate` says, the power register reading `scale` times the
// load of the minute starting.
std::vector<DemandWindow> feed(Demand& d, int from, int to, const std::function<int(int)>& rate,
                               double scale = 1.0) {
    std::int64_t counts = 40000;
    std::vector<DemandWindow> closed;
    for (int k = from; k <= to; ++k) {
        if (k > from) counts += rate(k - 1);
        d.add((kBase + k * 60) * 1000, rate(k) * 6000.0 * scale, counts);
        for (const DemandWindow& w : d.takeClosed()) closed.push_back(w);
    }
    return closed;
}

struct WindowCase {
    int minutes;
    bool sliding;
    int endMinute;  // a closed window, by its end
    double kw;
    bool complete;
};

// Fixed windows hold: [-15, 0) 75 counts, 30 kW; [0, 15) 50 + 50 = 100,
// 40 kW; [15, 30) 50 + 50, 40 kW; 30-minute [0, 30) 50 + 100 + 50 = 200
// counts, 20 kWh in half an hour, 40 kW; the hour [0, 60) 350 counts, 35 kW.
// Sliding windows of 15 minutes: ending at 20, minutes 5..19 hold 25 + 100
// counts, 50 kW; ending at 26, 90 + 30 = 120 counts, 48 kW.
const WindowCase kWindows[] = {
    // Begun before the first reading at minute -20: five minutes of 30 kW
    // over the quarter hour, 10 kW; twenty over the half hour, 20 kW.
    {15, false, -15, 10, false}, {15, false, 0, 30, true},  {15, false, 15, 40, true},
    {15, false, 30, 40, true},   {15, false, 45, 30, true}, {30, false, 0, 20, false},
    {30, false, 30, 40, true},   {30, false, 60, 30, true}, {60, false, 60, 35, true},
    {15, true, 0, 30, true},     {15, true, 15, 40, true},  {15, true, 20, 50, true},
    {15, true, 25, 50, true},    {15, true, 26, 48, true},  {15, true, 30, 40, true},
    {15, true, 35, 30, true},    {60, true, 40, 35, true},  {60, true, 60, 35, true},
};

TEST(EnergyDemand, WindowsFixedAndSlidingAsWorkedOutByHand) {
    LocalZone zone("UTC");
    for (const WindowCase& c : kWindows) {
        SCOPED_TRACE(std::to_string(c.minutes) + (c.sliding ? " min sliding" : " min fixed") +
                     " ending at minute " + std::to_string(c.endMinute));
        Demand d({c.minutes, c.sliding});
        const auto closed = feed(d, -20, 60, burst);
        const DemandWindow* found = nullptr;
        for (const DemandWindow& w : closed)
            if (w.end == kBase + c.endMinute * 60) found = &w;
        ASSERT_NE(found, nullptr);
        EXPECT_EQ(found->start, found->end - c.minutes * 60);
        EXPECT_NEAR(found->kw, c.kw, 1e-9);
        EXPECT_EQ(found->complete, c.complete);
    }
}

TEST(EnergyDemand, TheSlidingMaximumIsHigherThanTheFixedOne) {
    LocalZone zone("UTC");
    double most[2] = {0, 0};
    for (bool sliding : {false, true}) {
        Demand d({15, sliding});
        for (const DemandWindow& w : feed(d, -20, 60, burst))
            if (w.complete) most[sliding] = std::max(most[sliding], w.kw);
    }
    // Fixed windows split the burst 50 counts to 50; a sliding one holds it all.
    EXPECT_NEAR(most[0], 40, 1e-9);
    EXPECT_NEAR(most[1], 50, 1e-9);
}

TEST(EnergyDemand, RunningValueAndProjection) {
    LocalZone zone("UTC");
    Demand d({15, false});
    // 30 kW until minute 20, when the load goes to 60 kW: five minutes into
    // [15, 30) the window holds 25 counts, 2.5 kWh: 30 kW so far; ten more
    // minutes at 60 kW bring 10 kWh more, 12.5 kWh over a quarter hour: 50 kW.
    feed(d, -20, 20, [](int m) { return m < 20 ? 5 : 10; });
    const DemandNow now = d.now();
    ASSERT_TRUE(now.valid);
    EXPECT_EQ(now.start, kBase + 15 * 60);
    EXPECT_EQ(now.end, kBase + 30 * 60);
    EXPECT_NEAR(now.runningKw, 30, 1e-9);
    EXPECT_NEAR(now.projectedKw, 50, 1e-9);
}

TEST(EnergyDemand, AWindowBegunBeforeTheFirstReading) {
    LocalZone zone("UTC");
    Demand d({15, false});
    // The host starts at 08:05 into 30 kW: at 08:10 the window [08:00, 08:15)
    // has five minutes seen, 25 counts, 2.5 kWh: 30 kW so far; its
    // projection takes 30 kW for the ten minutes gone and the present 30 kW
    // for the five to come: 30 kW.
    feed(d, 5, 10, [](int) { return 5; });
    const DemandNow now = d.now();
    EXPECT_EQ(now.start, kBase);
    EXPECT_NEAR(now.runningKw, 30, 1e-9);
    EXPECT_NEAR(now.projectedKw, 30, 1e-9);
}

TEST(EnergyDemand, TheCounterCorrectsAPowerRegisterThatReadsHigh) {
    LocalZone zone("UTC");
    // 4 kW: two counts every three minutes, 10 counts a quarter hour, while
    // the power register reads 4.4 kW. The windows hold what the counter
    // says, 1 kWh each: 4 kW, not 4.4.
    Demand d({15, false});
    std::int64_t counts = 1000;
    int previous = 0;
    std::vector<DemandWindow> closed;
    for (int k = -90; k <= 37; ++k) {
        const int total = static_cast<int>(std::floor((k + 90) * 2 / 3.0));
        counts += total - previous;
        previous = total;
        d.add((kBase + k * 60) * 1000, 4400, counts);
        for (const DemandWindow& w : d.takeClosed()) closed.push_back(w);
    }
    int checked = 0;
    for (const DemandWindow& w : closed)
        if (w.start >= kBase - 60 * 60) {
            EXPECT_NEAR(w.kw, 4.0, 1e-9) << w.start;
            ++checked;
        }
    EXPECT_EQ(checked, 6);
    // Seven minutes into [30, 45) the open window is scaled by the ratio the
    // ticks have shown, 10 counts to 11 counts' worth of power: about 4 kW.
    const DemandNow now = d.now();
    EXPECT_NEAR(now.runningKw, 4.0, 0.2);
    EXPECT_NEAR(now.projectedKw, 4.0 + (4.4 - 4.0) * 8 / 15.0, 0.2);
}

TEST(EnergyDemand, AGapLeavesItsWindowIncomplete) {
    LocalZone zone("UTC");
    Demand d({15, false});
    std::int64_t counts = 5000;
    std::vector<DemandWindow> closed;
    for (int k = -20; k <= 30; ++k) {
        counts += k > -20 ? 5 : 0;
        if (k > 3 && k < 11) continue;  // not read for seven minutes
        d.add((kBase + k * 60) * 1000, 30000, counts);
        for (const DemandWindow& w : d.takeClosed()) closed.push_back(w);
    }
    ASSERT_GE(closed.size(), 3u);
    const DemandWindow& gap = closed[closed.size() - 2];
    EXPECT_EQ(gap.start, kBase);
    EXPECT_FALSE(gap.complete);
    // The energy is all there, spread over the gap: 75 counts, 30 kW.
    EXPECT_NEAR(gap.kw, 30, 1e-9);
    EXPECT_TRUE(closed.back().complete);
    EXPECT_NEAR(closed.back().kw, 30, 1e-9);
}

}  // namespace
}  // namespace vedhost::energy
