#include "lines/serial_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace vedhost {
namespace {

std::string processName(long pid) {
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name.empty() ? "?" : name;
}

}  // namespace

long flockHolder(int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0) return 0;
    // "1: FLOCK  ADVISORY  WRITE 812 00:19:5 0 EOF"
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

SerialLock::Taken SerialLock::take(const std::string& path, std::string& error) {
    release();
    // Opened without waiting for a modem line and without becoming the
    // controlling terminal; nothing is read or written through it.
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        // Busy: another program took the terminal exclusively.
        const bool busy = errno == EBUSY;
        error = busy ? path + " is in use by another program" : std::strerror(errno);
        return busy ? Taken::Held : Taken::NotOpened;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int why = errno;
        const long holder = why == EWOULDBLOCK ? flockHolder(fd) : 0;
        ::close(fd);
        if (why != EWOULDBLOCK) {
            error = std::string("cannot lock it: ") + std::strerror(why);
            return Taken::NotOpened;
        }
        error = holder > 0 ? path + " is held by process " + std::to_string(holder) + " (" +
                                 processName(holder) + ")"
                           : path + " is held by another process";
        return Taken::Held;
    }
    fd_ = fd;
    return Taken::Yes;
}

void SerialLock::excludeOthers(int fd) {
    if (fd >= 0 && isatty(fd)) ioctl(fd, TIOCEXCL);
}

void SerialLock::release() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

}  // namespace vedhost
