// A line thread's sign of life for the service watchdog. The thread beats
// whenever it gets somewhere (a meter's turn begins, an exchange ends) and
// rests while it waits for its next round, a wait that may be long and cannot
// hang. A thread that has been busy without a beat for longer than the
// watchdog allows is stuck: in a driver, a device or the plug-in, past any
// time-out of its own.
//
// Written by the line's thread, read by the thread that tells systemd.
#pragma once

#include <atomic>
#include <chrono>

namespace vedhost {

class Heartbeat {
  public:
    using Clock = std::chrono::steady_clock;

    void beat(Clock::time_point now = Clock::now()) {
        last_ = now.time_since_epoch().count();
        resting_ = false;
    }
    void rest(Clock::time_point now = Clock::now()) {
        last_ = now.time_since_epoch().count();
        resting_ = true;
    }
    // True when busy and the latest beat is older than `limit`. A thread
    // that has not started yet is resting.
    bool stuck(Clock::duration limit, Clock::time_point now = Clock::now()) const {
        return !resting_ && now - since() > limit;
    }
    // The latest beat or the start of the rest.
    Clock::time_point since() const { return Clock::time_point(Clock::duration(last_.load())); }

  private:
    // The beat is written before the state and read after it, so a reader
    // that sees the thread busy sees the beat that made it busy.
    std::atomic<Clock::rep> last_{0};
    std::atomic<bool> resting_{true};
};

}  // namespace vedhost
