// When a store tries again a file the storage refused (full, read-only,
// failing: history_sql::refusalOf): in a second, then each time twice as long
// as the last, at most every five seconds. A store's writer thread keeps one
// and waits no longer than due().
#pragma once

#include <algorithm>
#include <chrono>
#include <mutex>

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

    // Tries the file again with `open` (true once it opens) from the writer
    // that holds `queue`: the queue is let go meanwhile, so rounds go on
    // being queued, and the file is opened under `db`. A failure counts
    // towards the next wait.
    template <typename Open>
    bool tryAgain(std::unique_lock<std::mutex>& queue, std::mutex& db, Open open) {
        queue.unlock();
        bool opened;
        {
            std::lock_guard<std::mutex> lock(db);
            opened = open();
        }
        queue.lock();
        if (!opened) failed();
        return opened;
    }

  private:
    void at(Clock::duration delay) {
        delay_ = delay;
        due_ = Clock::now() + delay_;
    }
    Clock::duration delay_ = kFirst;
    Clock::time_point due_{};
};

}  // namespace vedhost
