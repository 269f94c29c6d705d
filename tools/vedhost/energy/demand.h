// Demand: the average active power over a window of 15, 30 or 60 minutes,
// as a supply contract bills its maximum. Windows are aligned to the local
// clock (15-minute windows start at :00, :15, :30 and :45); sliding, a window
// of the same length ends at every minute instead.
//
// The counter alone is too coarse for this (a count of 0.1 kWh is 0.4 kW over
// 15 minutes) and the power register alone drifts from what is billed, so the
// two are joined: the measured power is integrated between readings into
// minute slots, and each time the counter ticks, the slots since its previous
// tick are scaled so that together they hold exactly what the counter says.
// Slots after the latest tick are scaled by the ratio of counter to power
// over the last hour or so of ticks (kept within 0.5..2). The energy before the first tick seen is
// taken as the power gives it. Readings further apart than the gap integrate no power: the
// counter's energy is spread evenly over the gap and the windows it touches
// are incomplete (they are not a month's maximum).
//
// The open window's running value is its average power so far (since the
// first reading, in a window the host began in the middle of); its
// projection takes that average for the time gone by and the present power
// until the window's end, over the whole window.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

namespace vedhost::energy {

struct DemandRules {
    int windowMinutes = 15;  // 15, 30 or 60
    bool sliding = false;    // a window ending at every minute
    std::int64_t gapMs = 120000;
    // A window is complete when readings cover this share of it.
    double completeShare = 0.9;
};

struct DemandWindow {
    std::int64_t start = 0, end = 0;  // unix seconds
    double kw = 0;
    bool complete = false;
};

struct DemandNow {
    bool valid = false;  // a reading has been taken
    std::int64_t start = 0, end = 0;
    double runningKw = 0, projectedKw = 0;
};

class Demand {
  public:
    explicit Demand(DemandRules rules = {});

    // A round's active power (W) and the import counter's ledger total
    // (counts of 0.1 kWh) at `atMs`. Readings not after the previous one
    // only update the power.
    void add(std::int64_t atMs, double powerW, std::int64_t counts);

    // The window open at the latest reading.
    DemandNow now() const;

    // Windows the readings so far have closed, oldest first; each is handed
    // out once.
    std::vector<DemandWindow> takeClosed();

    const DemandRules& rules() const { return rules_; }

  private:
    struct Slot {
        std::int64_t start;        // unix seconds of the minute
        double fixedWh = 0;        // reconciled with the counter
        double provisionalWh = 0;  // from the power since the latest tick
        double coveredS = 0;       // seconds of it readings span
    };
    Slot* slotAt(std::int64_t minute);  // nullptr for a minute already dropped
    // Energy `wh` spread over [fromMs, toMs) into the minute slots, as
    // provisional or fixed; `cover` counts the span as read.
    void spread(double wh, std::int64_t fromMs, std::int64_t toMs, bool provisional, bool cover);
    void reconcile(std::int64_t atMs, std::int64_t counts);
    double slotWh(const Slot& s) const { return s.fixedWh + s.provisionalWh * factor_; }
    DemandWindow windowOf(std::int64_t start, std::int64_t end) const;
    std::int64_t windowStart(std::int64_t t) const;
    void closeWindows();

    DemandRules rules_;
    std::int64_t length_;     // seconds
    std::deque<Slot> slots_;  // minutes, rising, none missing between front and back
    bool started_ = false;
    std::int64_t firstMs_ = 0, lastMs_ = 0;
    double lastPowerW_ = 0;
    bool tickSeen_ = false;  // a tick's time is known: the next one reconciles
    std::int64_t tickMs_ = 0, tickCounts_ = 0;
    double provisionalSinceTick_ = 0;  // Wh, in slots kept or dropped
    double factor_ = 1;
    double counterWhSum_ = 0, powerWhSum_ = 0;  // decaying sums the factor is their ratio of
    std::int64_t nextClose_ = 0;                // the end of the next window to close
    std::vector<DemandWindow> closed_;
};

}  // namespace vedhost::energy
