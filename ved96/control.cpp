#include "ved96/ved96.h"

// TODO(control): codes 206, 210, 310, 320, 801, 803.
int ved96::DeviceIoControl(int code, const void* in, int inLen, void* out, int outLen,
                           int& outLenRet) {
    return SPModbus::DeviceIoControl(code, in, inLen, out, outLen, outLenRet);
}
