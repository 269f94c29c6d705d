// When a serial line whose device went away (a USB adapter unplugged or
// reset, a hang-up) is opened again: the first attempt a second after it
// went, each wait after a failed attempt twice the one before, at most 30 s;
// an attempt that opens it starts the count again. Every attempt opens the
// configured path anew, so a device that comes back under another name
// behind the same link (/dev/serial/by-id/...) is found.
#pragma once

#include <algorithm>
#include <chrono>

namespace vedhost {

class ReopenBackoff {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kFirst{1000};
    static constexpr std::chrono::milliseconds kLongest{30000};

    // The device went, or an attempt to open it failed, at `now`.
    void failed(Clock::time_point now) {
        wait_ = attempts_ == 0 ? kFirst : std::min<std::chrono::milliseconds>(kLongest, wait_ * 2);
        ++attempts_;
        next_ = now + wait_;
    }
    // It opened: the next time it goes starts at a second again.
    void opened() {
        attempts_ = 0;
        wait_ = kFirst;
    }
    // Whether an attempt is due (always, before anything failed).
    bool due(Clock::time_point now) const { return attempts_ == 0 || now >= next_; }
    // Failures since it last opened (the going included).
    int failures() const { return attempts_; }
    std::chrono::milliseconds wait() const { return wait_; }

  private:
    int attempts_ = 0;
    std::chrono::milliseconds wait_{kFirst};
    Clock::time_point next_{};
};

// Whether an error of a serial device's descriptor means the device itself
// is gone rather than a meter not answering: EIO, ENXIO, ENODEV, EBADF, EPIPE,
// and ECONNRESET, libmodbus's word for a read that found the line hung up.
bool deviceGone(int error);

}  // namespace vedhost
