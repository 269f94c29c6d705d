// Round completion and cache loading of UniDataDevice (included by
// unidata_device.h).
#pragma once

#include <iostream>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "host/ttime.h"

template <typename Data, typename Base, int TypeCode>
bool UniDataDevice<Data, Base, TypeCode>::LoadFromCache(const unsigned char* data, int length) {
    if (length != kRecordSize) return false;
    std::memcpy(&data_, data, sizeof data_);
    this->dataReady_ = true;
    RoundDone();
    return true;
}

template <typename Data, typename Base, int TypeCode>
void UniDataDevice<Data, Base, TypeCode>::RoundDone() {
    this->dataReady_ = true;
    // Local time at one-second resolution; Boost throws std::runtime_error
    // when the calendar time cannot be converted.
    this->roundTime_ = boost::posix_time::second_clock::local_time();
    data_.update_time = get_ttime(this->roundTime_);
    this->SendSP(TypeCode, recordBytes(), sizeof data_, false);
    this->Reset();
    this->roundAlarmFlag_ = false;
    this->alarmSerial_ = 1;
    RunCheckThreshold();

    // TODO(round checks): scheme 1 and scheme 5 report checks.

    std::cout << "rvSize is " << this->ruleBatch_.size() << std::endl;
    this->roundAlarmFlag_ = this->DoBatchCheckThreshold(this->ruleBatch_) || this->roundAlarmFlag_;
    this->SaveDeviceHistory(recordBytes(), sizeof data_);
    this->ruleBatch_.clear();
}

template <typename Data, typename Base, int TypeCode>
void UniDataDevice<Data, Base, TypeCode>::CheckSignalThresholdMap(ThresholdMap&, bool) {}

template <typename Data, typename Base, int TypeCode>
bool UniDataDevice<Data, Base, TypeCode>::CheckAOReport(const std::string&, const std::string&,
                                                        float) {
    return false;
}
