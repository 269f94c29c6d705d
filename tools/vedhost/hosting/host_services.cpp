#include "hosting/host_services.h"

#include <iostream>

namespace vedhost {

void HostServices::log(const Json::Value& event) {
    if (events_ != nullptr && events_->isOpen()) events_->writeLine(compactJson(event));
}

bool HostServices::SendSP(SMDVDevice& device, int type, const unsigned char*, unsigned int length,
                          bool urgent) {
    if (logging()) {
        Json::Value e = makeEvent("SendSP", device.DataId());
        e["type"] = type;
        e["length"] = length;
        e["urgent"] = urgent;
        log(e);
    }
    return true;
}

bool HostServices::SaveDeviceHistory(SMDVDevice& device, const unsigned char* data,
                                     unsigned int length) {
    const auto now = std::chrono::system_clock::now();
    // The event is made only for an open event log; the record is stored and
    // the round counted either way.
    const bool logged = logging();
    Json::Value e;
    if (logged) {
        e = makeEvent("SaveDeviceHistory", device.DataId(), now);
        e["length"] = length;
    }
    bool replay = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        replay = replaying_.count(&device) != 0;
    }
    bool stored = true;
    if (replay) {
        if (logged) e["replay"] = true;  // the host holds this record already
    } else if (history_ != nullptr) {
        std::string error;
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
        stored = history_->save(device.DataId(), ms, timestamp(now), data, length, error);
        if (!stored)
            std::cerr << "vedhost: data id " << device.DataId() << ": history not stored: " << error
                      << std::endl;
    }
    if (logged) {
        e["stored"] = !replay && history_ != nullptr && stored;
        log(e);
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++rounds_[&device];
    }
    return stored;
}

bool HostServices::CheckThreshold(SMDVDevice& device, const std::string& alarmId,
                                  const std::string& signalName, float& value, int flag) {
    if (logging()) {
        Json::Value e = makeEvent("CheckThreshold", device.DataId());
        e["alarm_id"] = alarmId;
        e["signal_name"] = signalName;
        e["value"] = value;
        e["flag"] = flag;
        log(e);
    }
    return false;
}

bool HostServices::CheckThresholdBool(SMDVDevice& device, int level, const std::string& key,
                                      const std::string& alarmId, const std::string& valueText,
                                      const std::string& message, bool active,
                                      unsigned short serial) {
    if (logging()) {
        Json::Value e = makeEvent("CheckThresholdBool", device.DataId());
        e["level"] = level;
        e["key"] = key;
        e["alarm_id"] = alarmId;
        e["value_text"] = valueText;
        e["message"] = message;
        e["active"] = active;
        e["serial"] = serial;
        log(e);
    }
    for (Publisher* p : publishers_)
        p->alarmCheck(device.DataId(), level, key, alarmId, valueText, message, active, serial);
    return false;
}

bool HostServices::CheckAOReport(SMDVDevice& device, const std::string& key, float value) {
    if (logging()) {
        Json::Value e = makeEvent("CheckAOReport", device.DataId());
        e["key"] = key;
        e["value"] = value;
        log(e);
    }
    for (Publisher* p : publishers_) p->analogReport(device.DataId(), key, value);
    return false;
}

bool HostServices::DoBatchCheckThreshold(SMDVDevice& device, const std::vector<rule_value>& batch) {
    if (logging()) {
        Json::Value e = makeEvent("DoBatchCheckThreshold", device.DataId());
        Json::Value rules(Json::arrayValue);
        for (const auto& rule : batch) {
            Json::Value r(Json::objectValue);
            r["rule_id"] = rule.ruleId;
            r["signal_id"] = rule.signalId;
            r["value"] = rule.value;
            r["level"] = rule.level;
            r["active"] = rule.active;
            rules.append(r);
        }
        e["batch"] = rules;
        log(e);
    }
    return false;
}

int HostServices::InitSetting(SMDVDevice& device, const Json::Value& settings) {
    if (logging()) {
        Json::Value e = makeEvent("InitSetting", device.DataId());
        e["settings"] = settings;
        log(e);
    }
    return 0;
}

int HostServices::DeviceIoControl(SMDVDevice& device, int code, const void* in, int inLen, void*,
                                  int outLen, int&) {
    // The host has no control codes of its own here: it records the request
    // and leaves the output (which may hold the device's write outcome) alone.
    if (logging()) {
        Json::Value e = makeEvent("DeviceIoControl", device.DataId());
        e["code"] = code;
        e["in_len"] = inLen;
        e["in"] = hexBytes(in, inLen > 0 ? static_cast<std::size_t>(inLen) : 0);
        e["out_len"] = outLen;
        log(e);
    }
    return -1;
}

void HostServices::Reset(SMDVDevice& device) {
    if (logging()) log(makeEvent("Reset", device.DataId()));
}

void HostServices::replayingCache(const SMDVDevice& device, bool replaying) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (replaying)
        replaying_.insert(&device);
    else
        replaying_.erase(&device);
}

void HostServices::roundReport(unsigned dataId, const Json::Value& report) {
    for (Publisher* p : publishers_) p->round(dataId, report);
}

void HostServices::meterAnswering(unsigned dataId, bool answering) {
    for (Publisher* p : publishers_) p->answering(dataId, answering);
}

void HostServices::exchangeEnded(unsigned dataId, Publisher::Exchange outcome) {
    for (Publisher* p : publishers_) p->exchange(dataId, outcome);
}

long HostServices::roundsCompleted(const SMDVDevice& device) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = rounds_.find(&device);
    return it == rounds_.end() ? 0 : it->second;
}

}  // namespace vedhost
