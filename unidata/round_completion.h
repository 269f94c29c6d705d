// Round completion and cache loading of UniDataDevice (included by
// unidata_device.h).
#pragma once

#include <boost/date_time/posix_time/posix_time.hpp>
#include <iostream>

#include "host/ttime.h"
#include "unidata/round_checks.h"

template <typename Data, typename Base, int TypeCode>
bool UniDataDevice<Data, Base, TypeCode>::LoadFromCache(const unsigned char* data, int length) {
    if (data == nullptr || length != kRecordSize) return false;
    {
        // A report may be built on another thread from the record.
        std::lock_guard<std::mutex> lock(jsonMutex_);
        std::memcpy(&data_, data, sizeof data_);
    }
    // Marks the data present, stamped with this round's time.
    RoundDone();
    return true;
}

template <typename Data, typename Base, int TypeCode>
void UniDataDevice<Data, Base, TypeCode>::RoundDone() {
    {
        // The stamp is taken under the report lock, so that a report built on
        // another thread sees a whole round time and record.
        std::lock_guard<std::mutex> lock(jsonMutex_);
        boost::posix_time::ptime now;
        try {
            now = unidata::localSecondTime(timeSource_());
        } catch (...) {
            unidata::storeShared(this->dataReady_, true);
            throw;
        }
        // The round time is published before the data are marked present: a
        // value lookup on another thread that sees data present never sees
        // the round time of before the first round.
        unidata::storeShared(this->roundTime_, now);
        unidata::storeShared(this->dataReady_, true);
        data_.update_time = get_ttime(now);
    }
    this->SendSP(TypeCode, recordBytes(), sizeof data_, false);
    this->Reset();
    this->roundAlarmFlag_ = false;
    this->alarmSerial_ = 1;
    RunCheckThreshold();

    switch (b_mode_) {
        case 1: {  // file scheme: the configured AI signals
            GenJsonData();
            std::lock_guard<std::mutex> lock(jsonMutex_);
            for (const auto& [key, signal] : aiSignalMap_) {
                const auto& [signalId, signalName] = signal;
                const std::string alarmId = unidata::alarmIdFor(signalId);
                // Inserting access: a key the report lacks stays in it as null.
                const Json::Value& member = jsonData_[key];
                // Null members, texts, flags and nested objects carry no
                // analog value.
                if (!member.isNumeric()) continue;
                float value = member.asFloat();
                this->CheckThreshold(alarmId, signalName, value, 1);
                CheckAOReport(alarmId, signalId, member.asFloat());
            }
            break;
        }
        case 5: {  // threshold scheme: the four limit maps
            GenJsonData();
            std::lock_guard<std::mutex> lock(jsonMutex_);
            CheckSignalThresholdMap(upThresholdMap_, true);
            CheckSignalThresholdMap(up2ThresholdMap_, true);
            CheckSignalThresholdMap(lowThresholdMap_, false);
            CheckSignalThresholdMap(low2ThresholdMap_, false);
            break;
        }
        default:  // alarm identification: the host evaluates the rules
            break;
    }

    std::cout << "rvSize is " << this->ruleBatch_.size() << std::endl;
    this->roundAlarmFlag_ = this->DoBatchCheckThreshold(this->ruleBatch_) || this->roundAlarmFlag_;
    this->SaveDeviceHistory(recordBytes(), sizeof data_);
    this->ruleBatch_.clear();
}

template <typename Data, typename Base, int TypeCode>
void UniDataDevice<Data, Base, TypeCode>::CheckSignalThresholdMap(ThresholdMap& map, bool upper) {
    const Json::Value& report = jsonData_;
    for (auto& [key, entry] : map) {
        auto& [alarmId, threshold, recovery, active, level] = entry;
        // One search per entry: the member, or null when the report lacks it.
        const Json::Value* member = report.find(key.data(), key.data() + key.size());
        if (member == nullptr || !member->isNumeric()) continue;

        const float value = member->asFloat();
        active = unidata::thresholdActive(upper, active, value, threshold, recovery);
        const std::string valueText = unidata::numberText(value);
        // The message names the threshold, also while the recovery value holds
        // the alarm.
        const std::string message =
            active ? unidata::thresholdMessage(valueText, unidata::numberText(threshold), upper)
                   : std::string();
        this->CheckThresholdBool(level, key, alarmId, valueText, message, active, 1);
    }
}

template <typename Data, typename Base, int TypeCode>
bool UniDataDevice<Data, Base, TypeCode>::CheckAOReport(const std::string& fallbackKey,
                                                        const std::string& key, float value) {
    auto& settings = this->aoSettingMap_;
    if (settings.empty()) return false;
    auto it = settings.find(key);
    if (it == settings.end()) {
        // A signal configured under its alarm id gets its own copy, last value
        // and time included; from then on the two evolve apart.
        const auto fallback = settings.find(fallbackKey);
        if (fallback == settings.end()) return false;
        it = settings.emplace(key, fallback->second).first;
    }
    SMDVDevice::BAOSetting& setting = it->second;
    const std::int64_t now = timeSource_();
    if (!unidata::aoReportDue(setting, value, now)) return false;
    setting.lastValue = value;
    setting.lastReportTime = static_cast<std::uint32_t>(now);
    // The host's own report, which this member hides.
    Base::CheckAOReport(key, value);
    return true;
}
