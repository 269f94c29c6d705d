#include "ved96/ved96.h"

int ved96::InitSetting(const Json::Value& settings) {
    data_.data_id = DataId();
    return Ved96Base::InitSetting(settings);
}
