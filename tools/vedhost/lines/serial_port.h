// A serial device opened for one program alone. Two masters on one RS-485
// line corrupt each other's exchanges, so whoever talks on a line holds it
// exclusively: an flock(2) that every vedhost honours (it names the holder
// when asked) and TIOCEXCL, which keeps other programs from opening the
// device at all (root excepted).
#pragma once

#include <string>

namespace vedhost {

// Opens `path` read-write, non-blocking, and takes it exclusively. The
// descriptor, or -1 with the reason in `error`: "/dev/ttyUSB0 is held by
// process 812 (vedhost)" when another process holds it.
int openSerialExclusive(const std::string& path, std::string& error);

// The first half of that: `path` opened and its flock taken, other programs
// still free to open it, for a line whose device libmodbus opens itself next.
struct SerialHold {
    int fd = -1;        // the descriptor holding the flock, or -1
    bool held = false;  // another process holds the device (`error` names it)
    int sysError = 0;   // the system's error when it could not be opened or locked
    std::string error;  // as openSerialExclusive says it
};
SerialHold holdSerial(const std::string& path);
// The second half: TIOCEXCL on a terminal's descriptor (nothing for a device
// that is no terminal); false with the reason.
bool excludeOtherOpeners(int fd, const std::string& path, std::string& error);

// A line's serial device held for as long as the line is open: the flock on
// a descriptor of its own, taken before libmodbus opens and sets up the
// device (so a device another host holds is never touched), and TIOCEXCL on
// libmodbus's descriptor once it has.
class SerialLock {
  public:
    SerialLock() = default;
    ~SerialLock() { release(); }
    SerialLock(const SerialLock&) = delete;
    SerialLock& operator=(const SerialLock&) = delete;

    enum class Taken { Yes, Held, NotOpened };
    // Held: another process has it, and `error` says which; NotOpened:
    // `error` says why ("No such file or directory").
    Taken take(const std::string& path, std::string& error);
    static void excludeOthers(int fd, const std::string& path);
    void release();

  private:
    int fd_ = -1;
};

// Raw 8-bit frames at `baud` with `parity` (N, E or O) and `stopBits`; false
// with the reason for a speed the system does not know.
bool setSerialLine(int fd, int baud, char parity, int stopBits, std::string& error);

}  // namespace vedhost
