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

// Raw 8-bit frames at `baud` with `parity` (N, E or O) and `stopBits`; false
// with the reason for a speed the system does not know.
bool setSerialLine(int fd, int baud, char parity, int stopBits, std::string& error);

}  // namespace vedhost
