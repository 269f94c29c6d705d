#include "ved96/ved96.h"

ved96::ved96() {
    deviceType_ = "ved96";
    baudRate_ = 9600;
    isSPModbus_ = true;
}

ved96::~ved96() = default;
