#include "lines/serial_port.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace vedhost {
namespace {

// The process holding an flock on the file `st` names, from /proc/locks
// ("1: FLOCK  ADVISORY  WRITE 812 00:19:5 0 EOF"); 0 when none is listed.
long lockHolder(const struct stat& st) {
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line);) {
        std::istringstream in(line);
        std::string id, kind, mode, access, where;
        long pid = 0;
        if (!(in >> id >> kind >> mode >> access >> pid >> where) || kind != "FLOCK") continue;
        unsigned devMajor = 0, devMinor = 0;
        unsigned long inode = 0;
        if (std::sscanf(where.c_str(), "%x:%x:%lu", &devMajor, &devMinor, &inode) != 3) continue;
        if (devMajor == major(st.st_dev) && devMinor == minor(st.st_dev) && inode == st.st_ino)
            return pid;
    }
    return 0;
}

std::string processName(long pid) {
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name.empty() ? "?" : name;
}

}  // namespace

SerialHold holdSerial(const std::string& path) {
    SerialHold hold;
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        hold.sysError = errno;
        // Busy: another program took the terminal exclusively.
        hold.held = errno == EBUSY;
        hold.error = hold.held ? path + " is in use by another program"
                               : "cannot open " + path + ": " + std::strerror(errno);
        return hold;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int why = errno;
        struct stat st {};
        const long holder = fstat(fd, &st) == 0 ? lockHolder(st) : 0;
        ::close(fd);
        hold.held = why == EWOULDBLOCK;
        hold.sysError = hold.held ? 0 : why;
        hold.error = why != EWOULDBLOCK ? "cannot lock " + path + ": " + std::strerror(why)
                     : holder > 0 ? path + " is held by process " + std::to_string(holder) + " (" +
                                        processName(holder) + ")"
                                  : path + " is held by another process";
        return hold;
    }
    hold.fd = fd;
    return hold;
}

bool excludeOtherOpeners(int fd, const std::string& path, std::string& error) {
    // Devices that are no terminals (a plain file in tests) need no TIOCEXCL.
    if (isatty(fd) && ioctl(fd, TIOCEXCL) != 0) {
        error = "cannot take " + path + " exclusively: " + std::strerror(errno);
        return false;
    }
    return true;
}

int openSerialExclusive(const std::string& path, std::string& error) {
    const SerialHold hold = holdSerial(path);
    if (hold.fd < 0) {
        error = hold.error;
        return -1;
    }
    if (!excludeOtherOpeners(hold.fd, path, error)) {
        ::close(hold.fd);
        return -1;
    }
    return hold.fd;
}

SerialLock::Taken SerialLock::take(const std::string& path, std::string& error) {
    release();
    const SerialHold hold = holdSerial(path);
    if (hold.fd >= 0) {
        fd_ = hold.fd;
        return Taken::Yes;
    }
    error = hold.held || hold.sysError == 0 ? hold.error : std::strerror(hold.sysError);
    return hold.held ? Taken::Held : Taken::NotOpened;
}

void SerialLock::excludeOthers(int fd, const std::string& path) {
    std::string ignored;  // a line open without it is still held by the flock
    if (fd >= 0) excludeOtherOpeners(fd, path, ignored);
}

void SerialLock::release() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool setSerialLine(int fd, int baud, char parity, int stopBits, std::string& error) {
    static const struct {
        int baud;
        speed_t speed;
    } kSpeeds[] = {{1200, B1200},   {2400, B2400},   {4800, B4800},   {9600, B9600},
                   {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200}};
    const speed_t* speed = nullptr;
    for (const auto& s : kSpeeds)
        if (s.baud == baud) speed = &s.speed;
    if (speed == nullptr) {
        error = "no serial speed " + std::to_string(baud);
        return false;
    }
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) {
        error = std::string("tcgetattr: ") + std::strerror(errno);
        return false;
    }
    cfmakeraw(&tio);
    cfsetispeed(&tio, *speed);
    cfsetospeed(&tio, *speed);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cflag &= ~(PARENB | PARODD | CSTOPB);
    if (parity != 'N') tio.c_cflag |= PARENB;
    if (parity == 'O') tio.c_cflag |= PARODD;
    if (stopBits == 2) tio.c_cflag |= CSTOPB;
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        error = std::string("tcsetattr: ") + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace vedhost
