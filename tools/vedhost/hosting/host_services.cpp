#include "hosting/host_services.h"

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
    bool replay = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Gathering& turn = turns_[&device];
        replay = turn.replay;
        turn.record.saved.push_back(
            {now, std::vector<unsigned char>(data, data != nullptr ? data + length : data),
             replay});
    }
    // The history sink stores what is not a replay; the store refuses a
    // record only when it is not open for writing, which the host never runs
    // with, so "stored" is known here, as the call is made.
    if (logging()) {
        Json::Value e = makeEvent("SaveDeviceHistory", device.DataId(), now);
        e["length"] = length;
        if (replay) e["replay"] = true;  // the host holds this record already
        e["stored"] = !replay && keepsHistory_;
        log(e);
    }
    return true;
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
    gather(device, AlarmCheckSeen{level, key, alarmId, valueText, message, active, serial});
    return false;
}

bool HostServices::CheckAOReport(SMDVDevice& device, const std::string& key, float value) {
    if (logging()) {
        Json::Value e = makeEvent("CheckAOReport", device.DataId());
        e["key"] = key;
        e["value"] = value;
        log(e);
    }
    gather(device, AnalogReportSeen{key, value});
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

void HostServices::gather(const SMDVDevice& device, Seen seen) {
    std::lock_guard<std::mutex> lock(mutex_);
    turns_[&device].record.seen.push_back(std::move(seen));
}

void HostServices::exchangeEnded(const SMDVDevice& device, Publisher::Exchange outcome) {
    gather(device, ExchangeSeen{outcome});
}

void HostServices::beginTurn(const SMDVDevice& device, bool replay) {
    std::lock_guard<std::mutex> lock(mutex_);
    turns_[&device].replay = replay;
}

TurnRecord HostServices::endTurn(const SMDVDevice& device) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = turns_.find(&device);
    if (it == turns_.end()) return {};
    TurnRecord record = std::move(it->second.record);
    turns_.erase(it);
    return record;
}

}  // namespace vedhost
