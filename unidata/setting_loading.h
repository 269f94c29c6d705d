// Setting loading of UniDataDevice (included by unidata_device.h).
#pragma once

template <typename Data, typename Base, int TypeCode>
int UniDataDevice<Data, Base, TypeCode>::InitSetting(const Json::Value& settings) {
    data_.data_id = this->DataId();
    // TODO(settings): b_mode_ and the three configuration schemes.
    return Base::InitSetting(settings);
}
