// Setting loading of UniDataDevice (included by unidata_device.h).
//
// The host hands the device its settings document; "appSetting"/"b_mode"
// picks the configuration scheme, whose settings are loaded before the host
// reads its own. A reader error (JSON text conversion, INI, YAML) leaves this
// operation: what was stored before it stays, and the host's settings are not
// read for that document.
#pragma once

#include <iostream>

#include "unidata/config_file.h"
#include "unidata/threshold_settings.h"

template <typename Data, typename Base, int TypeCode>
int UniDataDevice<Data, Base, TypeCode>::InitSetting(const Json::Value& settings) {
    data_.data_id = this->DataId();

    if (const Json::Value* appSetting = SettingMember(settings, "appSetting")) {
        if (const Json::Value* mode = SettingMember(*appSetting, "b_mode")) {
            b_mode_ = SettingInt(SettingText(*mode));
            const unsigned int dataId = data_.data_id;  // the record is packed
            std::cout << "InitSetting " << dataId << " b_mode_:" << b_mode_ << std::endl;
        }
    }

    switch (b_mode_) {
        case 1:
            LoadConfigFile(this->DataId(), this->DeviceType(), aiSignalMap_, alarmSignalIdMap_);
            break;
        case 3:
            LoadAlarmIdSettings(settings, this->DataId(), this->levelMap_, this->valueMap_,
                                mobileAlarmIdMap_, mobileSignalNameMap_);
            break;
        case 5:
            LoadThresholdSettings(settings, {&upThresholdMap_, &up2ThresholdMap_, &lowThresholdMap_,
                                             &low2ThresholdMap_});
            break;
        default:
            break;
    }
    return Base::InitSetting(settings);
}
