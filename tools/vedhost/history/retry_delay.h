// When a store tries again a file the storage refused (full, read-only,
// failing: history_sql::refusalOf): in a second, then each time twice as long
// as the last, at most every five seconds. A store's writer thread keeps one
// and waits no longer than due().
#pragma once

#include <algorithm>
#include <chrono>

namespace vedhost {

class RetryDelay {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kFirst{1}, kLongest{5};

    // The file was refused (again).
    void start() { at(kFirst); }
    void failed() { at(std::min<Clock::duration>(2 * delay_, kLongest)); }
    Clock::time_point due() const { return due_; }
    bool isDue() const { return Clock::now() >= due_; }

  private:
    void at(Clock::duration delay) {
        delay_ = delay;
        due_ = Clock::now() + delay_;
    }
    Clock::duration delay_ = kFirst;
    Clock::time_point due_{};
};

}  // namespace vedhost
