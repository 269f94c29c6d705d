#include <stdexcept>

#include "ved96/ved96.h"

// TODO(value lookup): tell no data / timed out / not supported apart.
float ved96::Get_Value(unsigned int, const std::string&) const {
    throw std::out_of_range("数据未就绪");
}
