// A small tmpfs for a test, mounted under /tmp and gone with the test: a disk
// that can be filled to its last byte before a store opens on it, and given
// room again while the store runs. Mounting needs root; tests skip otherwise.
#pragma once

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace test {

class SmallDisk {
  public:
    SmallDisk() {
        char name[] = "/tmp/vedhost-small-disk-XXXXXX";
        if (geteuid() != 0 || mkdtemp(name) == nullptr) return;
        dir_ = name;
        mounted_ = ::mount("tmpfs", dir_.c_str(), "tmpfs", 0, "size=2m") == 0;
    }
    ~SmallDisk() {
        if (mounted_) ::umount2(dir_.c_str(), MNT_DETACH);
        if (!dir_.empty()) ::rmdir(dir_.c_str());
    }
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;

    bool mounted() const { return mounted_; }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }

    // Takes every byte left; true when the disk said it is full.
    bool fill() const {
        const int fd = ::open(filler().c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (fd < 0) return false;
        const std::string block(64 * 1024, 'x');
        for (std::size_t size = block.size(); size > 0; size /= 2)
            while (::write(fd, block.data(), size) == static_cast<ssize_t>(size)) {
            }
        const bool full = errno == ENOSPC;
        ::close(fd);
        return full;
    }
    // Room again: what fill() took is given back.
    void room() const { ::unlink(filler().c_str()); }

  private:
    std::string filler() const { return dir_ + "/filler"; }
    std::string dir_;
    bool mounted_ = false;
};

}  // namespace test
