// A serial device held for one host alone. Two masters on one RS-485 line
// corrupt each other's exchanges, so the host takes the device exclusively
// before it touches it: an flock(2) on a descriptor of its own, which every
// vedhost honours (and which names the holder when asked), then TIOCEXCL on
// the line's own descriptor once it is open, which keeps other programs from
// opening the device at all (root excepted, whom the flock still stops).
#pragma once

#include <string>

namespace vedhost {

class SerialLock {
  public:
    SerialLock() = default;
    ~SerialLock() { release(); }
    SerialLock(const SerialLock&) = delete;
    SerialLock& operator=(const SerialLock&) = delete;

    enum class Taken { Yes, Held, NotOpened };
    // Takes `path` for this process. Held: another process has it, and
    // `error` says which ("/dev/ttyUSB0 is held by process 812 (vedhost)");
    // NotOpened: `error` says why ("No such file or directory").
    Taken take(const std::string& path, std::string& error);
    // Keeps other programs from opening the terminal `fd` (the line's own
    // descriptor of the device taken); nothing for a device that is no
    // terminal.
    static void excludeOthers(int fd);
    void release();
    bool held() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
};

// The process holding an flock on the file `fd` is open on, from /proc/locks;
// 0 when none is listed.
long flockHolder(int fd);

}  // namespace vedhost
