#include "lines/reopen.h"

#include <cerrno>

namespace vedhost {

bool deviceGone(int error) {
    switch (error) {
        case EIO:
        case ENXIO:
        case ENODEV:
        case EBADF:
        case EPIPE:
        case ECONNRESET:
            return true;
        default:
            return false;
    }
}

}  // namespace vedhost
